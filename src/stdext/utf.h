// Conversions between the program's narrow (UTF-8) and wide texts, and the UTF-16LE byte form
// that Windows stores (registry values, files). wchar_t is 16 bits on Windows and 32 bits on
// Linux; these functions are correct for both and never reinterpret wide strings as bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace stdext {

// Invalid input sequences become U+FFFD, as the system converter does with code page 65001.
[[nodiscard]] std::wstring utf8_to_wide(std::string_view utf8);
[[nodiscard]] std::string wide_to_utf8(std::wstring_view wide);

// UTF-16LE bytes, without any terminating zero.
[[nodiscard]] std::vector<std::uint8_t> wide_to_utf16le(std::wstring_view wide);
// Reads UTF-16LE bytes up to the first zero code unit (or the end); an odd last byte is ignored.
[[nodiscard]] std::wstring utf16le_to_wide(const std::uint8_t* data, std::size_t size);

// Letter-case-insensitive comparison as Windows does it for file and command names
// (ASCII letters and the Latin-1 range; enough for the names this program compares).
[[nodiscard]] bool iequals(std::wstring_view a, std::wstring_view b);
[[nodiscard]] std::wstring to_lower(std::wstring_view s);

}  // namespace stdext
