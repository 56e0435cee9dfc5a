// The levels of the program's log messages and of the load-protection engine's trace lines. A
// level is its own type, so a bare number cannot stand for one; the number itself is taken only
// where it leaves the program, in the call of the logging library.
#pragma once

#include <cstdint>

namespace logging {

enum class log_level : std::int32_t {
    error = 4,    // failures that end an operation
    warning = 8,  // tolerated failures, caught exceptions
    info = 16,    // progress and results
    trace = 32,   // function traces, logging start and stop
};

inline constexpr log_level level_error = log_level::error;
inline constexpr log_level level_warning = log_level::warning;
inline constexpr log_level level_info = log_level::info;
inline constexpr log_level level_trace = log_level::trace;

// The level's number as the logging library takes it (and as tests print it).
[[nodiscard]] constexpr std::int32_t level_number(log_level level) noexcept {
    return static_cast<std::int32_t>(level);
}

}  // namespace logging
