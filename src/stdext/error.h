// The error record of the storage, file, update and repair operations: a standard error code
// and a narrow text. Callers log it as the number, one space and the text.
#pragma once

#include <cstdint>
#include <string>
#include <system_error>

#include "stdext/expected.h"

namespace stdext {

struct error_record {
    std::error_code code;
    std::string text;
};

template <class T>
using result = expected<T, error_record>;

}  // namespace stdext

namespace winapi {

// Windows error numbers used by the program's own error records.
inline constexpr std::uint32_t error_success = 0;
inline constexpr std::uint32_t error_file_not_found = 2;
inline constexpr std::uint32_t error_access_denied = 5;
inline constexpr std::uint32_t error_not_enough_memory = 8;
inline constexpr std::uint32_t error_invalid_data = 13;
inline constexpr std::uint32_t error_outofmemory = 14;
inline constexpr std::uint32_t error_no_more_files = 18;
inline constexpr std::uint32_t error_gen_failure = 31;
inline constexpr std::uint32_t error_insufficient_buffer = 122;
inline constexpr std::uint32_t error_more_data = 234;
inline constexpr std::uint32_t wait_timeout = 258;
inline constexpr std::uint32_t error_no_token = 1008;
inline constexpr std::uint32_t error_not_found = 1168;

}  // namespace winapi
