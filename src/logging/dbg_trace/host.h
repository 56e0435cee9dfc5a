// What the trace needs from the system, at the level of its own tasks. The Windows version lies
// in win/, a silent one for the host build in posix/, and the test capture brings its own. Every
// operation must be safe inside a loader hook: no lock, no library load, no allocation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "logging/level.h"

namespace logging::dbg_trace {

class settings_parser;

// A calendar time: the process start (UTC) or the wall clock (local).
struct calendar_time {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

class host {
public:
    // Opens `path` for reading with write sharing denied and feeds its bytes to `parser`; false
    // when the file cannot be opened.
    [[nodiscard]] virtual bool read_settings(const char* path,
                                             settings_parser& parser) noexcept = 0;
    // The executable's full path as narrow text; false when it needs more than `capacity` - 1
    // characters or cannot be had.
    [[nodiscard]] virtual bool executable_path(char* out, std::size_t capacity) noexcept = 0;

    [[nodiscard]] virtual std::uint64_t tick_count() noexcept = 0;
    [[nodiscard]] virtual std::uint32_t thread_id() noexcept = 0;
    [[nodiscard]] virtual std::int64_t performance_counter() noexcept = 0;
    [[nodiscard]] virtual std::int64_t performance_frequency() noexcept = 0;

    virtual void debugger_write(const char* line) noexcept = 0;
    virtual void debugger_write(const wchar_t* line) noexcept = 0;

    // The log file's location and banners.
    [[nodiscard]] virtual bool expand_environment(const char* text, char* out,
                                                  std::size_t capacity) noexcept = 0;
    // Errors are ignored: a folder that cannot be made shows when the file cannot be opened.
    virtual void create_folder(const char* path) noexcept = 0;
    virtual void mark_not_content_indexed(const char* path) noexcept = 0;
    [[nodiscard]] virtual bool process_start_utc(calendar_time& out) noexcept = 0;
    [[nodiscard]] virtual std::uint32_t process_id() noexcept = 0;
    [[nodiscard]] virtual bool local_time(calendar_time& out) noexcept = 0;
    // The executable's file version: major, minor, build, revision.
    [[nodiscard]] virtual bool file_version(unsigned (&parts)[4]) noexcept = 0;

    // The one log file of the process, written as bytes.
    [[nodiscard]] virtual bool file_open(const char* path) noexcept = 0;
    // The open file's final path (GetFinalPathNameByHandle, normally with "\\?\"); false when
    // it cannot be had or needs more than `capacity` - 1 characters.
    [[nodiscard]] virtual bool file_final_path(char* out, std::size_t capacity) noexcept = 0;
    virtual void file_write(const char* bytes, std::size_t size) noexcept = 0;
    virtual void file_flush() noexcept = 0;
    virtual void file_close() noexcept = 0;

    // The Process Monitor device: opened on demand, then sent the text without terminator.
    [[nodiscard]] virtual bool device_open() noexcept = 0;
    virtual void device_write(const wchar_t* text, std::size_t chars) noexcept = 0;

    // The ETW provider: bound once, then one event per line carrying the text and terminator.
    [[nodiscard]] virtual bool etw_bind() noexcept = 0;
    virtual void etw_write(const wchar_t* text, std::size_t chars) noexcept = 0;

    // Told about every line before it reaches the outputs; only the test capture looks.
    virtual void line_dispatched(log_level /*level*/, std::uint32_t /*outputs*/,
                                 const char* /*narrow*/, const wchar_t* /*wide*/,
                                 std::size_t /*size*/) noexcept {}

protected:
    host() = default;
    ~host() = default;
    host(const host&) = default;
    host& operator=(const host&) = default;
};

// The system's own host: Windows in win/, a silent one (no settings, no outputs) elsewhere.
[[nodiscard]] host& system_host() noexcept;

}  // namespace logging::dbg_trace
