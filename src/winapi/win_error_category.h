// The error category of every Windows error number carried in an error code or a system_error.
#pragma once

#include <cstdint>
#include <string>
#include <system_error>

namespace winapi {
namespace details {

class win_error_category : public std::error_category {
public:
    const char* name() const noexcept override;
    // The system's text for the code exactly as received (with its line break), or
    // "unknown error " and the code as an unsigned decimal number.
    std::string message(int code) const override;
};

}  // namespace details

const std::error_category& win_error_category() noexcept;

inline std::error_code make_win_error(std::uint32_t code) noexcept {
    return {static_cast<int>(code), win_error_category()};
}

// A system_error in the win_error category; its what() is message, ": " and the system's text.
inline std::system_error win_system_error(std::uint32_t code, const std::string& message) {
    return std::system_error(make_win_error(code), message);
}

[[noreturn]] inline void throw_win_error(std::uint32_t code, const std::string& message) {
    throw win_system_error(code, message);
}

}  // namespace winapi
