// Where a finished line goes: the debugger, the per-run log file, the Process Monitor device and
// the ETW provider. Each output opens itself on first use, once, without a lock: a writer that
// finds another thread opening it skips its line rather than wait.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "logging/dbg_trace/host.h"
#include "logging/dbg_trace/line.h"
#include "logging/dbg_trace/settings.h"

namespace logging::dbg_trace {

// What the outputs need to know of the settings.
struct output_settings {
    std::uint32_t flags = 0;
    ini_location location = ini_location::not_found;
    bool scrambled = false;
    std::uint8_t scramble = 0;
};

// The outputs of a line of `level`: the flags, plus the file for warnings when a settings file
// was found.
[[nodiscard]] std::uint32_t effective_outputs(std::uint32_t flags, log_level level,
                                              ini_location location) noexcept;

// Makes the log file's folders and opens the file:
//   <root>\CstLogs\<exe name>\<creation time UTC>__<pid>\DLLPROTECT.log
// where <root> is "%programdata%\VDLogging" for a settings file at the drive root and
// "<exe drive>\ProgramData\VDLogging" for one beside the executable. A null `module_log_name`
// selects "DLLPROTECT". The path opened is left in `path`. A file whose final path is not that
// path (a folder on the way leads elsewhere through a link or junction) is closed unwritten.
[[nodiscard]] bool open_log_file(host& system, ini_location location, const char* module_log_name,
                                 char (&path)[520]) noexcept;

// The one log file of the process: opened by the first writer, with the start banner; flushed
// when a write ends with no other in progress; closed with the end banner.
class log_file {
public:
    // Bytes of a line; plain text has its line feeds written as "\r\n", scrambled text as is.
    void write(host& system, const output_settings& settings, const char* bytes,
               std::size_t size) noexcept;
    // A wide line: plain text in UTF-8, scrambled text one byte per character.
    void write(host& system, const output_settings& settings, const wchar_t* text,
               std::size_t chars) noexcept;
    void close(host& system, const output_settings& settings) noexcept;
    void reset() noexcept;

private:
    enum : int { unopened = 0, open = 1, closed = 2 };
    [[nodiscard]] bool enter(host& system, const output_settings& settings) noexcept;
    void leave(host& system) noexcept;
    void emit(host& system, const output_settings& settings, const char* bytes,
              std::size_t size) noexcept;

    std::atomic<int> open_attempts_{0};
    std::atomic<int> state_{unopened};
    std::atomic<int> writers_{0};
};

// Lets an open attempt through when none was made yet or the last one is `interval_ms` old.
class retry_gate {
public:
    static constexpr std::uint32_t interval_ms = 10000;
    [[nodiscard]] bool should_try(std::uint32_t now) noexcept;
    void reset() noexcept;

private:
    std::atomic<bool> tried_{false};
    std::atomic<std::uint32_t> last_{0};
};

class device_output {
public:
    void write(host& system, const wchar_t* text, std::size_t chars) noexcept;
    void reset() noexcept;

private:
    std::atomic<int> state_{0};  // 0 closed, 1 opening, 2 open
    retry_gate gate_;
};

class etw_output {
public:
    void write(host& system, const wchar_t* text, std::size_t chars) noexcept;
    void reset() noexcept;

private:
    std::atomic<int> state_{0};  // 0 unbound, 1 binding, 2 bound, 3 unavailable
};

struct output_set {
    log_file file;
    device_output device;
    etw_output etw;
    void reset() noexcept {
        file.reset();
        device.reset();
        etw.reset();
    }
};

// Scrambles the line when a key is set and sends it to its outputs. The device and ETW take
// wide lines only.
void dispatch(host& system, output_set& outputs, const output_settings& settings, log_level level,
              narrow_line& line) noexcept;
void dispatch(host& system, output_set& outputs, const output_settings& settings, log_level level,
              wide_line& line) noexcept;

}  // namespace logging::dbg_trace
