// The error category of every Windows error number carried in an error code or a system_error.
#pragma once

#include <cstdint>
#include <string>
#include <system_error>
#include <type_traits>

#include "stdext/expected.h"

namespace winapi {

// Windows error numbers used by the program's own error records.
inline constexpr std::uint32_t error_success = 0;
inline constexpr std::uint32_t error_file_not_found = 2;
inline constexpr std::uint32_t error_access_denied = 5;
inline constexpr std::uint32_t error_not_enough_memory = 8;
inline constexpr std::uint32_t error_invalid_data = 13;
inline constexpr std::uint32_t error_outofmemory = 14;
inline constexpr std::uint32_t error_path_not_found = 3;
inline constexpr std::uint32_t error_no_more_files = 18;
inline constexpr std::uint32_t error_gen_failure = 31;
inline constexpr std::uint32_t error_file_exists = 80;
inline constexpr std::uint32_t error_invalid_parameter = 87;
inline constexpr std::uint32_t error_insufficient_buffer = 122;
inline constexpr std::uint32_t error_mod_not_found = 126;
inline constexpr std::uint32_t error_proc_not_found = 127;
inline constexpr std::uint32_t error_dir_not_empty = 145;
inline constexpr std::uint32_t error_already_exists = 183;
inline constexpr std::uint32_t error_envvar_not_found = 203;
inline constexpr std::uint32_t error_more_data = 234;
inline constexpr std::uint32_t wait_timeout = 258;
inline constexpr std::uint32_t error_no_token = 1008;
inline constexpr std::uint32_t error_not_found = 1168;
inline constexpr std::uint32_t error_not_a_reparse_point = 4390;

namespace details {

class win_error_category : public std::error_category {
public:
    [[nodiscard]] const char* name() const noexcept override;
    // The system's text for the code exactly as received (with its line break), or
    // "unknown error " and the code as an unsigned decimal number.
    [[nodiscard]] std::string message(int code) const override;
};

}  // namespace details

[[nodiscard]] const std::error_category& win_error_category() noexcept;

[[nodiscard]] inline std::error_code make_win_error(std::uint32_t code) noexcept {
    return {static_cast<int>(code), win_error_category()};
}

// The error record of a failed Windows call or step: its number and a text naming it.
[[nodiscard]] inline stdext::error win_failure(std::uint32_t code, std::string text) {
    return {make_win_error(code), std::move(text)};
}

// The same, for a step its callers decide on.
template <class Step>
requires std::is_enum_v<Step>
[[nodiscard]] stdext::error win_failure(std::uint32_t code, std::string text, Step step) {
    return {make_win_error(code), std::move(text), static_cast<int>(step)};
}

}  // namespace winapi
