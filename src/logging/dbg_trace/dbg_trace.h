// The load-protection engine's own trace, apart from the program's logger. It is off unless a
// "dbg_trace.ini" at the root of the current drive or beside the executable switches it on; when
// on, each line carries the tick count and the thread id and goes to any of four outputs: the
// debugger, a per-run log file, the Process Monitor device and an ETW provider.
//
// It is called from inside the loader hooks, so it is built to be harmless there: when off, a
// call costs one load and one test of the flags word; when on, a line is built in a stack buffer
// and written without taking a lock, loading a library (apart from the one-time ETW binding) or
// allocating.
//
//     DLLPROTECT_TRACE(logging::level_info, "path=[%s] result=%d", path, result);
//     DLLPROTECT_TRACEW(logging::level_trace, L"path=[%ls]", wide_path);
//     DLLPROTECT_TRACE_SCOPE(logging::level_trace);
#pragma once

#include <atomic>
#include <cstdint>

#include "logging/level.h"

// printf checking of the trace formats: GCC calls the standard archetype gnu_printf (its plain
// printf archetype is the Microsoft one on mingw); clang knows only printf.
#if defined(__clang__)
#define DBG_TRACE_FORMAT(format_index, first_argument) \
    [[gnu::format(printf, format_index, first_argument)]]
#else
#define DBG_TRACE_FORMAT(format_index, first_argument) \
    [[gnu::format(gnu_printf, format_index, first_argument)]]
#endif

namespace logging::dbg_trace {

// The bits of the flags word: which outputs a line goes to.
inline constexpr std::uint32_t output_debugger = 0x1;
inline constexpr std::uint32_t output_file = 0x2;
inline constexpr std::uint32_t output_device = 0x4;  // wide lines only
inline constexpr std::uint32_t output_etw = 0x8;     // wide lines only

// A line holds at most this many characters before its line feed.
inline constexpr int line_capacity = 8191;

namespace detail {

// The flags word starts with a value no settings file can produce, so the first call reads the
// settings and every later call is one test.
inline constexpr std::uint32_t flags_not_read = 0xFFFFFFFFu;
extern std::atomic<std::uint32_t> flags_word;
// Reads the settings once for the whole process; true when tracing is on.
[[nodiscard]] bool read_settings_once() noexcept;

inline constexpr char engine_tag[] = "[DLLPROTECT] :: ";

// The engine's forms: the tag is "[DLLPROTECT] :: " + function + "() - ".
DBG_TRACE_FORMAT(3, 4)
void engine_message(log_level level, const char* function, const char* format, ...) noexcept;
void engine_wmessage(log_level level, const char* function, const wchar_t* format, ...) noexcept;

// A tag made of up to three texts, written one after the other into the line.
struct tag_parts {
    const char* first = "";
    const char* second = "";
    const char* third = "";
};

}  // namespace detail

// True when tracing is on; one relaxed load of the flags word once the settings have been read.
[[nodiscard]] inline bool on() noexcept {
    const std::uint32_t flags = detail::flags_word.load(std::memory_order_relaxed);
    if (flags == 0) [[likely]] {
        return false;
    }
    if (flags != detail::flags_not_read) {
        return true;
    }
    return detail::read_settings_once();
}

// printf-style lines; `tag` is the whole tag text written between the line's prefix and the
// message. Narrow formats use %s for char strings, wide formats %ls for wchar_t strings. A null
// format means "%s". Warning lines also go to the log file when a settings file was found.
DBG_TRACE_FORMAT(3, 4)
void message(log_level level, const char* tag, const char* format, ...) noexcept;
void wmessage(log_level level, const char* tag, const wchar_t* format, ...) noexcept;

// Writes the enter text when constructed and, when destroyed, a leave line under the leave text
// with the extra text and the seconds spent: "<leave><extra>\n[> 0.000125 <]". Nothing happens
// when tracing was off at construction. The texts must outlive the scope (normally literals).
class trace_scope {
public:
    trace_scope(const char* enter, const char* leave, log_level level,
                const char* extra = "") noexcept
        : level_(level), extra_(extra) {
        if (on()) {
            begin(detail::tag_parts{enter}, detail::tag_parts{leave});
        }
    }
    // The engine's form: "[DLLPROTECT] :: <function> -> " and "[DLLPROTECT] :: <function> <- ".
    struct engine_t {};
    trace_scope(engine_t, const char* function, log_level level) noexcept : level_(level) {
        if (on()) {
            begin(detail::tag_parts{detail::engine_tag, function, " -> "},
                  detail::tag_parts{detail::engine_tag, function, " <- "});
        }
    }
    ~trace_scope() {
        if (active_) {
            end();
        }
    }
    trace_scope(const trace_scope&) = delete;
    trace_scope& operator=(const trace_scope&) = delete;

private:
    void begin(detail::tag_parts enter, detail::tag_parts leave) noexcept;
    void end() noexcept;

    std::int64_t start_ = 0;
    detail::tag_parts leave_{};
    log_level level_;
    const char* extra_ = "";
    bool active_ = false;
};

}  // namespace logging::dbg_trace

// The engine's forms. Nothing, arguments included, is evaluated when tracing is off.
#define DLLPROTECT_TRACE(level, ...)                                                      \
    do {                                                                                  \
        if (::logging::dbg_trace::on()) {                                                 \
            ::logging::dbg_trace::detail::engine_message((level), __func__, __VA_ARGS__); \
        }                                                                                 \
    } while (0)
#define DLLPROTECT_TRACEW(level, ...)                                                      \
    do {                                                                                   \
        if (::logging::dbg_trace::on()) {                                                  \
            ::logging::dbg_trace::detail::engine_wmessage((level), __func__, __VA_ARGS__); \
        }                                                                                  \
    } while (0)
// The same under the name of the operation a helper writes for, not the helper's own.
#define DLLPROTECT_TRACE_FOR(operation, level, ...)                                          \
    do {                                                                                     \
        if (::logging::dbg_trace::on()) {                                                    \
            ::logging::dbg_trace::detail::engine_message((level), (operation), __VA_ARGS__); \
        }                                                                                    \
    } while (0)
#define DLLPROTECT_TRACEW_FOR(operation, level, ...)                                          \
    do {                                                                                      \
        if (::logging::dbg_trace::on()) {                                                     \
            ::logging::dbg_trace::detail::engine_wmessage((level), (operation), __VA_ARGS__); \
        }                                                                                     \
    } while (0)
#define DLLPROTECT_TRACE_SCOPE_CAT2(a, b) a##b
#define DLLPROTECT_TRACE_SCOPE_CAT(a, b) DLLPROTECT_TRACE_SCOPE_CAT2(a, b)
#define DLLPROTECT_TRACE_SCOPE(level) DLLPROTECT_TRACE_SCOPE_FOR(__func__, level)
#define DLLPROTECT_TRACE_SCOPE_FOR(operation, level)                                           \
    ::logging::dbg_trace::trace_scope DLLPROTECT_TRACE_SCOPE_CAT(dllprotect_trace_, __LINE__)( \
        ::logging::dbg_trace::trace_scope::engine_t{}, (operation), (level))
