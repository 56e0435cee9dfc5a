// The texts the trace writes: lines with their tick and thread prefix, the log file's banners,
// and the UTF-8 form in which wide lines reach the file. All of it is built in caller-provided
// buffers.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "logging/dbg_trace/dbg_trace.h"
#include "logging/dbg_trace/host.h"

namespace logging::dbg_trace {

// A line's characters, its line feed and a terminator.
template <class Char>
struct line_buffer {
    Char text[line_capacity + 2];
    std::size_t size = 0;  // characters before the terminator, line feed included
};
using narrow_line = line_buffer<char>;
using wide_line = line_buffer<wchar_t>;

// "[%.10lu][%.6lu] x ", the tag's texts, then the formatted message (a null format means "%s");
// the whole cut at line_capacity characters, then a line feed.
void build_line(narrow_line& line, std::uint32_t tick, std::uint32_t thread,
                const detail::tag_parts& tag, const char* format, va_list args) noexcept;
void build_line(wide_line& line, std::uint32_t tick, std::uint32_t thread,
                const detail::tag_parts& tag, const wchar_t* format, va_list args) noexcept;

// The start and end banners of the log file, for the local time `now`, the system's up time
// `ticks` in milliseconds and the executable's version text. Return the length written.
std::size_t start_banner(char* out, std::size_t capacity, const calendar_time& now,
                         std::uint32_t ticks, const char* version) noexcept;
std::size_t end_banner(char* out, std::size_t capacity, const calendar_time& now,
                       std::uint32_t ticks) noexcept;
// "major.minor.build.revision".
void version_text(const unsigned (&parts)[4], char (&out)[48]) noexcept;

// Encodes wide text as UTF-8 into `out`, stopping before a character that does not fit;
// `consumed` tells how many wide characters were taken. Returns the bytes written.
std::size_t encode_utf8(const wchar_t* text, std::size_t chars, std::size_t& consumed, char* out,
                        std::size_t capacity) noexcept;

}  // namespace logging::dbg_trace
