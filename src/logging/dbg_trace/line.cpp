#include "logging/dbg_trace/line.h"

#include <cstdio>
#include <cwchar>

namespace logging::dbg_trace {

namespace {

// Copies `text` to out[at...] without passing `limit`; returns the new end.
template <class Char>
std::size_t append(Char* out, std::size_t at, std::size_t limit, const char* text) noexcept {
    for (; text != nullptr && *text != '\0' && at < limit; ++text) {
        out[at++] = static_cast<Char>(static_cast<unsigned char>(*text));
    }
    return at;
}

template <class Char>
std::size_t head(Char* out, std::uint32_t tick, std::uint32_t thread,
                 const detail::tag_parts& tag) noexcept {
    char prefix[48];
    const int n =
        std::snprintf(prefix, sizeof prefix, "[%.10lu][%.6lu] x ", static_cast<unsigned long>(tick),
                      static_cast<unsigned long>(thread));
    std::size_t at = append(out, 0, line_capacity, n > 0 ? prefix : "");
    at = append(out, at, line_capacity, tag.first);
    at = append(out, at, line_capacity, tag.second);
    return append(out, at, line_capacity, tag.third);
}

template <class Char>
void close_line(line_buffer<Char>& line, std::size_t at) noexcept {
    line.text[at] = '\n';
    line.text[at + 1] = '\0';
    line.size = at + 1;
}

constexpr char banner_line[] = " ----------------------------- \n";

struct up_time {
    unsigned days, hours, minutes, seconds, milliseconds;
};

up_time split_up_time(std::uint32_t t) noexcept {
    up_time u{};
    u.days = t / 86400000u;
    u.hours = t / 3600000u - 24u * u.days;
    u.minutes = t / 60000u - 60u * (t / 3600000u);
    u.seconds = t / 1000u - 60u * (t / 60000u);
    u.milliseconds = t % 1000u;
    return u;
}

std::size_t clamp_length(int written, std::size_t capacity) noexcept {
    if (written < 0 || capacity == 0) {
        return 0;
    }
    return static_cast<std::size_t>(written) < capacity ? static_cast<std::size_t>(written)
                                                        : capacity - 1;
}

}  // namespace

void build_line(narrow_line& line, std::uint32_t tick, std::uint32_t thread,
                const detail::tag_parts& tag, const char* format, va_list args) noexcept {
    std::size_t at = head(line.text, tick, thread, tag);
    if (at < line_capacity) {
        // Room for the rest of the line plus the formatter's terminator.
        const std::size_t room = line_capacity - at + 1;
        int n = 0;
        if (format == nullptr) {
            const char* text = va_arg(args, const char*);
            n = std::snprintf(line.text + at, room, "%s", text != nullptr ? text : "");
        } else {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
            n = std::vsnprintf(line.text + at, room, format, args);
#pragma GCC diagnostic pop
        }
        at += clamp_length(n, room);
    }
    close_line(line, at);
}

void build_line(wide_line& line, std::uint32_t tick, std::uint32_t thread,
                const detail::tag_parts& tag, const wchar_t* format, va_list args) noexcept {
    std::size_t at = head(line.text, tick, thread, tag);
    if (at < line_capacity) {
        const std::size_t room = line_capacity - at + 1;
        line.text[at] = L'\0';
        line.text[line_capacity] = L'\0';
        if (format == nullptr) {
            const wchar_t* text = va_arg(args, const wchar_t*);
            std::swprintf(line.text + at, room, L"%ls", text != nullptr ? text : L"");
        } else {
            std::vswprintf(line.text + at, room, format, args);
        }
        // Wide formatters differ on what they return for a cut text; the terminator tells.
        at += std::wcslen(line.text + at);
    }
    close_line(line, at);
}

std::size_t start_banner(char* out, std::size_t capacity, const calendar_time& now,
                         std::uint32_t ticks, const char* version) noexcept {
    const up_time u = split_up_time(ticks);
    const int n = std::snprintf(out, capacity,
                                "%s>Started at : %.4d-%.2d-%.2d %.2d:%.2d:%.2d\n"
                                ">UpTime     : %u Days %.2uh %.2um %.2us :: %u ms (%u)\n"
                                ">Version    : %s\n%s",
                                banner_line, now.year, now.month, now.day, now.hour, now.minute,
                                now.second, u.days, u.hours, u.minutes, u.seconds, u.milliseconds,
                                static_cast<unsigned>(ticks), version, banner_line);
    return clamp_length(n, capacity);
}

std::size_t end_banner(char* out, std::size_t capacity, const calendar_time& now,
                       std::uint32_t ticks) noexcept {
    const up_time u = split_up_time(ticks);
    const int n = std::snprintf(out, capacity,
                                "%s>Closed  at : %.4d-%.2d-%.2d %.2d:%.2d:%.2d\n"
                                ">UpTime     : %u Days %.2uh %.2um %.2us :: %u ms (%u)\n%s%s",
                                banner_line, now.year, now.month, now.day, now.hour, now.minute,
                                now.second, u.days, u.hours, u.minutes, u.seconds, u.milliseconds,
                                static_cast<unsigned>(ticks), "", banner_line);
    return clamp_length(n, capacity);
}

void version_text(const unsigned (&parts)[4], char (&out)[48]) noexcept {
    std::snprintf(out, sizeof out, "%u.%u.%u.%u", parts[0], parts[1], parts[2], parts[3]);
}

std::size_t encode_utf8(const wchar_t* text, std::size_t chars, std::size_t& consumed, char* out,
                        std::size_t capacity) noexcept {
    std::size_t at = 0;
    std::size_t i = 0;
    while (i < chars) {
        auto code = static_cast<std::uint32_t>(text[i]);
        std::size_t used = 1;
        // A high surrogate followed by a low one is one character. Windows' wide text is UTF-16;
        // joining pairs whatever the width of wchar_t keeps one behaviour on every build.
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < chars) {
            const auto low = static_cast<std::uint32_t>(text[i + 1]);
            if (low >= 0xDC00 && low < 0xE000) {
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                used = 2;
            }
        }
        if ((code >= 0xD800 && code < 0xE000) || code > 0x10FFFF) {
            code = 0xFFFD;  // a lone surrogate or no character at all
        }
        char bytes[4];
        std::size_t n = 0;
        if (code < 0x80) {
            bytes[n++] = static_cast<char>(code);
        } else if (code < 0x800) {
            bytes[n++] = static_cast<char>(0xC0 | (code >> 6));
            bytes[n++] = static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            bytes[n++] = static_cast<char>(0xE0 | (code >> 12));
            bytes[n++] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            bytes[n++] = static_cast<char>(0x80 | (code & 0x3F));
        } else {
            bytes[n++] = static_cast<char>(0xF0 | (code >> 18));
            bytes[n++] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            bytes[n++] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            bytes[n++] = static_cast<char>(0x80 | (code & 0x3F));
        }
        if (at + n > capacity) {
            break;
        }
        for (std::size_t k = 0; k < n; ++k) {
            out[at++] = bytes[k];
        }
        i += used;
    }
    consumed = i;
    return at;
}

}  // namespace logging::dbg_trace
