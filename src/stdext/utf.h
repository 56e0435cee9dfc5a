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

// Which letters lower-casing changes.
enum class case_rule {
    // A-Z only: what the C runtime's tolower and towlower do in the default locale, which the
    // program never changes. Paths the checks compare character by character use it.
    ascii,
    // A-Z and the Latin-1 capitals U+00C0-U+00DE but U+00D7: how the program compares the names
    // of files, processes and commands, as Windows does for the names it deals with.
    latin1,
};

[[nodiscard]] constexpr wchar_t to_lower(wchar_t c, case_rule rule) noexcept {
    if ((c >= L'A' && c <= L'Z') ||
        (rule == case_rule::latin1 && c >= 0xC0 && c <= 0xDE && c != 0xD7)) {
        return static_cast<wchar_t>(c + 32);
    }
    return c;
}
[[nodiscard]] std::wstring to_lower(std::wstring_view s, case_rule rule);
[[nodiscard]] bool iequals(std::wstring_view a, std::wstring_view b, case_rule rule);
// Narrow (UTF-8) text: A-Z only, every other byte is left as it is.
[[nodiscard]] std::string to_lower(std::string_view s);
[[nodiscard]] bool iequals(std::string_view a, std::string_view b);

}  // namespace stdext
