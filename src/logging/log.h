// The program's logger. It formats and stores nothing itself: every finished message goes to the
// product's logging library "log.dll", which lies beside the program and decides where and how it
// is written. Logging is active while somebody holds a reference (scopped_log_init for the whole
// run); messages outside that window are dropped without loading anything.
//
//     logging::logger_stream(logging::level_info, L"repair") << L"running=" << L"true";
//     logging::function_scope_trace trace(L"check_agent");
#pragma once

#include <array>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string_view>

#include "logging/level.h"
#include "stdext/expected.h"
#include "winapi/modules.h"

namespace logging {

// The first argument of "LogWrite".
inline constexpr std::int32_t kind_message = 0;
inline constexpr std::int32_t kind_entry = 1;
inline constexpr std::int32_t kind_exit = -1;

// "LogWrite": kind, level, the program's module, function name, format, the format's arguments.
// Its result is never looked at.
using log_write_fn = int (*)(std::int32_t kind, const std::int32_t* level, winapi::hmodule module,
                             const wchar_t* function, const wchar_t* format, va_list args);
using log_void_fn = int (*)();
using log_remove_module_fn = int (*)(const char* name);

// The entry points of "log.dll" that the binding looks up, in the order of the table.
enum class entry_point : std::size_t {
    apply_settings,
    set_settings_file,
    enable,
    set_level,
    set_path,
    set_type,
    set_mode,
    set_max_size,
    set_depth,
    write,
    is_enabled,
    monitor_settings,
    uninit_desk_metrics,
    track_event,
    track_event_data,
    remove_module,
    get_level,
};
inline constexpr std::size_t entry_point_count = 17;
extern const std::array<const char*, entry_point_count> entry_point_names;

// The binding to "log.dll". One instance exists at a time, created by acquire() when the first
// reference is taken and destroyed when the last one is dropped.
class CLogDLL {
public:
    // Finds and loads "log.dll" (an already loaded one first, else the file beside the program)
    // and looks up its entry points. A missing library or "LogWrite" leaves a stub that does
    // nothing in the "LogWrite" slot.
    CLogDLL();
    // Calls "LogDeinit", "LogUninitDeskMetrics" and "LogRemoveModule" when exported and frees
    // the library.
    ~CLogDLL();
    CLogDLL(const CLogDLL&) = delete;
    CLogDLL& operator=(const CLogDLL&) = delete;

    [[nodiscard]] winapi::hmodule module() const noexcept { return module_.get(); }
    // The looked-up entry point, or null. For write this is the stub when the library lacks it.
    [[nodiscard]] void* find(entry_point which) const noexcept;
    // True when "LogWrite" is the library's own and not the stub.
    [[nodiscard]] bool has_write() const noexcept;

    // Calls "LogWrite" with the format's arguments (wide strings for %s, int for %d).
    void write(std::int32_t kind, log_level level, const wchar_t* function, const wchar_t* format,
               ...) const;

    // Takes a reference and returns the binding; the first reference after the count was zero
    // binds the library anew. Never null.
    static CLogDLL* acquire();
    // Drops a reference (never below zero); the last one unbinds the library.
    static void release();
    // True while the reference count is above zero. Read without the lock: a message that races
    // with the last release may be dropped.
    [[nodiscard]] static bool is_active() noexcept;
    [[nodiscard]] static std::int32_t references() noexcept;

private:
    winapi::unique_module module_;
    std::array<void*, entry_point_count> entries_{};
    log_write_fn write_ = nullptr;
};

// One message: insert the text with <<; the destructor hands it to "LogWrite" with kind 0 and
// format "%s". The function name must outlive the stream (normally a literal).
class logger_stream : public std::wostringstream {
public:
    logger_stream(log_level level, const wchar_t* function);
    ~logger_stream() override;
    logger_stream(const logger_stream&) = delete;
    logger_stream& operator=(const logger_stream&) = delete;

    [[nodiscard]] log_level level() const noexcept { return level_; }
    [[nodiscard]] const wchar_t* function() const noexcept { return function_; }

private:
    log_level level_;
    const wchar_t* function_;
};

// Logs a failed step at `level` under `function` as its name, " err=", the error number, one
// space and the error's text: "name err=5 failed open file".
void log_failure(log_level level, const wchar_t* function, std::wstring_view name,
                 const stdext::error& failure);

// Logs "-> name()" when constructed and "<- name() [ms]" when destroyed, both at level 32.
class function_scope_trace {
public:
    static constexpr std::size_t name_capacity = 260;

    explicit function_scope_trace(std::wstring_view name);
    ~function_scope_trace();
    function_scope_trace(const function_scope_trace&) = delete;
    function_scope_trace& operator=(const function_scope_trace&) = delete;

    [[nodiscard]] const wchar_t* display_name() const noexcept { return display_name_; }
    [[nodiscard]] const wchar_t* function_name() const noexcept { return function_name_; }

private:
    std::uint32_t start_;
    wchar_t display_name_[name_capacity];   // name cut to 257 characters, then "()"
    wchar_t function_name_[name_capacity];  // name cut to 259 characters
};

// Keeps logging bound from construction to destruction.
class scopped_log_init {
public:
    scopped_log_init();
    ~scopped_log_init();
    scopped_log_init(const scopped_log_init&) = delete;
    scopped_log_init& operator=(const scopped_log_init&) = delete;
};

}  // namespace logging
