// A file's version resource and the file version it declares.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stdext/expected.h"
#include "winapi/diagnostics.h"

namespace winapi::version {

// The version resource bytes of the file; the error code is the system's.
[[nodiscard]] stdext::expected<std::vector<std::uint8_t>> get_file_info(const std::wstring& path);

// The file version of a resource that get_file_info gave.
[[nodiscard]] stdext::expected<fixed_file_version> get_fixed_file_version(
    const std::vector<std::uint8_t>& file_info);

// "a.b.c.d": the high and low 16 bits of the most significant word, then of the least
// significant word, in decimal.
[[nodiscard]] std::wstring to_wstring(const fixed_file_version& version);

}  // namespace winapi::version
