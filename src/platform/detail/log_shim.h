// Temporary stand-in for logging::logger_stream until the logger lands; records the messages.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace logging {

struct shim_line {
    std::int32_t level;
    std::wstring function;
    std::wstring text;
};

inline std::vector<shim_line>& shim_lines() {
    static std::vector<shim_line> lines;
    return lines;
}

class logger_stream : public std::wostringstream {
public:
    logger_stream(std::int32_t level, const wchar_t* function)
        : level_(level), function_(function) {}
    ~logger_stream() override { shim_lines().push_back({level_, function_, str()}); }

private:
    std::int32_t level_;
    const wchar_t* function_;
};

}  // namespace logging
