// Stand-in for the program logger while it is being built: composes a message and drops it.
// Replaced by logging/log.h.
#pragma once

#include <cstdint>
#include <sstream>

namespace logging {

class interim_logger_stream : public std::wostringstream {
public:
    interim_logger_stream(std::uint32_t level, const wchar_t* function)
        : level_(level), function_(function) {}
    std::uint32_t level() const { return level_; }
    const wchar_t* function() const { return function_; }

private:
    std::uint32_t level_;
    const wchar_t* function_;
};

using logger_stream = interim_logger_stream;

}  // namespace logging
