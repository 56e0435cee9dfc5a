#include "stdext/utf.h"

#include <algorithm>

namespace stdext {
namespace {

constexpr char32_t replacement = 0xFFFD;

void append_code_point(std::wstring& out, char32_t cp) {
    if constexpr (sizeof(wchar_t) == 2) {
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
            return;
        }
    }
    out.push_back(static_cast<wchar_t>(cp));
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Decodes the wide string into code points, pairing UTF-16 surrogates where wchar_t is 16 bits.
template <class Sink>
void for_each_code_point(std::wstring_view wide, Sink sink) {
    for (std::size_t i = 0; i < wide.size(); ++i) {
        auto cp = static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(wide[i]));
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < wide.size()) {
            auto low =
                static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(wide[i + 1]));
            if (low >= 0xDC00 && low <= 0xDFFF) {
                sink(0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
            cp = replacement;
        }
        sink(cp);
    }
}

}  // namespace

std::wstring utf8_to_wide(std::string_view utf8) {
    std::wstring out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        std::size_t extra = 0;
        char32_t cp = 0;
        char32_t min = 0;
        if (lead < 0x80) {
            cp = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            cp = lead & 0x1F;
            min = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            cp = lead & 0x0F;
            min = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            cp = lead & 0x07;
            min = 0x10000;
        } else {
            append_code_point(out, replacement);
            ++i;
            continue;
        }
        std::size_t taken = 1;
        bool ok = true;
        for (; taken <= extra; ++taken) {
            if (i + taken >= utf8.size()) {
                ok = false;
                break;
            }
            const auto c = static_cast<unsigned char>(utf8[i + taken]);
            if ((c & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (c & 0x3F);
        }
        if (!ok || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            append_code_point(out, replacement);
            i += ok ? taken : std::max<std::size_t>(taken, 1);
            continue;
        }
        append_code_point(out, cp);
        i += taken;
    }
    return out;
}

std::string wide_to_utf8(std::wstring_view wide) {
    std::string out;
    out.reserve(wide.size());
    for_each_code_point(wide, [&](char32_t cp) { append_utf8(out, cp); });
    return out;
}

std::vector<std::uint8_t> wide_to_utf16le(std::wstring_view wide) {
    std::vector<std::uint8_t> out;
    out.reserve(wide.size() * 2);
    auto put = [&](char32_t unit) {
        out.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        out.push_back(static_cast<std::uint8_t>((unit >> 8) & 0xFF));
    };
    for_each_code_point(wide, [&](char32_t cp) {
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(0xD800 + (cp >> 10));
            put(0xDC00 + (cp & 0x3FF));
        } else {
            put(cp);
        }
    });
    return out;
}

std::wstring utf16le_to_wide(const std::uint8_t* data, std::size_t size) {
    std::wstring units;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        const auto unit = static_cast<char32_t>(data[i] | (data[i + 1] << 8));
        if (unit == 0) {
            break;
        }
        units.push_back(static_cast<wchar_t>(unit));
    }
    if constexpr (sizeof(wchar_t) == 2) {
        return units;
    } else {
        // Pair surrogates into single code points for 32-bit wchar_t.
        std::wstring out;
        out.reserve(units.size());
        for (std::size_t i = 0; i < units.size(); ++i) {
            auto cp = static_cast<char32_t>(units[i]);
            if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units.size()) {
                const auto low = static_cast<char32_t>(units[i + 1]);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    out.push_back(
                        static_cast<wchar_t>(0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00)));
                    ++i;
                    continue;
                }
            }
            out.push_back(static_cast<wchar_t>((cp >= 0xD800 && cp <= 0xDFFF) ? replacement : cp));
        }
        return out;
    }
}

std::wstring to_lower(std::wstring_view s, case_rule rule) {
    std::wstring out(s);
    for (auto& c : out) {
        c = to_lower(c, rule);
    }
    return out;
}

bool iequals(std::wstring_view a, std::wstring_view b, case_rule rule) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [rule](wchar_t x, wchar_t y) {
        return to_lower(x, rule) == to_lower(y, rule);
    });
}

std::string to_lower(std::string_view s) {
    std::string out(s);
    for (auto& c : out) {
        c = static_cast<char>(to_lower(static_cast<wchar_t>(c), case_rule::ascii));
    }
    return out;
}

bool iequals(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return to_lower(static_cast<wchar_t>(x), case_rule::ascii) ==
               to_lower(static_cast<wchar_t>(y), case_rule::ascii);
    });
}

}  // namespace stdext
