#include "logging/dbg_trace/outputs.h"

#include <cstdio>
#include <cstring>
#include <thread>

#include "stdext/utf.h"

namespace logging::dbg_trace {

namespace {

constexpr int path_capacity = 520;

// Appends `text` to the path; false when it does not fit.
bool append(char (&path)[path_capacity], const char* text) noexcept {
    const std::size_t at = std::strlen(path);
    const std::size_t n = std::strlen(text);
    if (at + n + 1 > sizeof path) {
        return false;
    }
    std::memcpy(path + at, text, n + 1);
    return true;
}

bool make_root(host& system, ini_location location, char (&root)[path_capacity]) noexcept {
    root[0] = '\0';
    if (location == ini_location::drive_root) {
        if (!system.expand_environment("%programdata%\\VDLogging", root, sizeof root)) {
            return false;
        }
        if (std::strstr(root, "%programdata%") != nullptr &&
            !system.expand_environment("%ALLUSERSPROFILE%\\Application Data\\VDLogging", root,
                                       sizeof root)) {
            return false;
        }
        return true;
    }
    char exe[260];
    if (!system.executable_path(exe, sizeof exe) || std::strlen(exe) < 3) {
        return false;
    }
    std::memcpy(root, exe, 3);
    root[3] = '\0';
    if (!append(root, "ProgramData")) {
        return false;
    }
    system.create_folder(root);
    return append(root, "\\VDLogging");
}

void make_marked_folder(host& system, const char* path) noexcept {
    system.create_folder(path);
    system.mark_not_content_indexed(path);
}

wchar_t ascii_lower(char c) noexcept {
    return stdext::to_lower(static_cast<wchar_t>(c), stdext::case_rule::ascii);
}

// Whether the system's final path of the opened file ("\\?\C:\..." or "\\?\UNC\server\...")
// names path itself, letter case aside; one that went through a link or junction does not.
bool is_final_path_of(const char* final_path, const char* path) noexcept {
    if (std::strncmp(final_path, "\\\\?\\UNC\\", 8) == 0) {
        if (std::strncmp(path, "\\\\", 2) != 0) {
            return false;
        }
        final_path += 8;
        path += 2;
    } else if (std::strncmp(final_path, "\\\\?\\", 4) == 0) {
        final_path += 4;
    }
    for (; *final_path != '\0' && *path != '\0'; ++final_path, ++path) {
        if (ascii_lower(*final_path) != ascii_lower(*path)) {
            return false;
        }
    }
    return *final_path == *path;
}

// Waits, boundedly, for writers that are past their check of the file's state.
void wait_for_writers(const std::atomic<int>& writers) noexcept {
    for (int i = 0; i < 100000 && writers.load() != 0; ++i) {
        std::this_thread::yield();
    }
}

}  // namespace

std::uint32_t effective_outputs(std::uint32_t flags, log_level level,
                                ini_location location) noexcept {
    if (level == log_level::warning && location != ini_location::not_found) {
        flags |= output_file;
    }
    return flags;
}

bool open_log_file(host& system, ini_location location, const char* module_log_name,
                   char (&path)[path_capacity]) noexcept {
    char exe[260];
    calendar_time start;
    if (!make_root(system, location, path) || !system.executable_path(exe, sizeof exe) ||
        !system.process_start_utc(start)) {
        return false;
    }
    system.create_folder(path);
    if (!append(path, "\\CstLogs\\")) {
        return false;
    }
    make_marked_folder(system, path);
    const char* slash = std::strrchr(exe, '\\');
    if (!append(path, slash != nullptr ? slash + 1 : exe)) {
        return false;
    }
    make_marked_folder(system, path);
    char run[path_capacity];
    const int n = std::snprintf(run, sizeof run, "%s\\%.2d-%.2d-%.2d_%.2d_%.2d_%.2d__%.4d", path,
                                start.year, start.month, start.day, start.hour, start.minute,
                                start.second, static_cast<int>(system.process_id()));
    if (n < 0 || n >= path_capacity) {
        return false;
    }
    std::memcpy(path, run, static_cast<std::size_t>(n) + 1);
    make_marked_folder(system, path);
    if (!append(path, "\\") ||
        !append(path, module_log_name != nullptr ? module_log_name : "DLLPROTECT") ||
        !append(path, ".log")) {
        return false;
    }
    if (!system.file_open(path)) {
        return false;
    }
    // Whoever may create one of the folders on the way could have made it a junction to another
    // place; the trace writes nothing there.
    char final_path[path_capacity + 8];
    if (!system.file_final_path(final_path, sizeof final_path) ||
        !is_final_path_of(final_path, path)) {
        system.file_close();
        return false;
    }
    return true;
}

void log_file::emit(host& system, const output_settings& settings, const char* bytes,
                    std::size_t size) noexcept {
    char chunk[512];
    std::size_t used = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (used + 2 > sizeof chunk) {
            system.file_write(chunk, used);
            used = 0;
        }
        if (settings.scrambled) {
            chunk[used++] =
                static_cast<char>(static_cast<std::uint8_t>(bytes[i]) ^ settings.scramble);
        } else {
            if (bytes[i] == '\n') {
                chunk[used++] = '\r';
            }
            chunk[used++] = bytes[i];
        }
    }
    if (used > 0) {
        system.file_write(chunk, used);
    }
}

bool log_file::enter(host& system, const output_settings& settings) noexcept {
    if (state_.load() == unopened && open_attempts_.fetch_add(1) == 0) {
        char path[path_capacity];
        if (!open_log_file(system, settings.location, nullptr, path)) {
            state_.store(closed);
            return false;
        }
        char banner[512];
        char version[48] = "";
        unsigned parts[4];
        if (system.file_version(parts)) {
            version_text(parts, version);
        }
        calendar_time now;
        if (!system.local_time(now)) {
            now = calendar_time{};
        }
        const auto ticks = static_cast<std::uint32_t>(system.tick_count());
        emit(system, settings, banner, start_banner(banner, sizeof banner, now, ticks, version));
        state_.store(open);
    }
    writers_.fetch_add(1);
    if (state_.load() != open) {
        writers_.fetch_sub(1);
        return false;
    }
    return true;
}

void log_file::leave(host& system) noexcept {
    if (writers_.load() == 1) {
        system.file_flush();
    }
    writers_.fetch_sub(1);
}

void log_file::write(host& system, const output_settings& settings, const char* bytes,
                     std::size_t size) noexcept {
    if (!enter(system, settings)) {
        return;
    }
    emit(system, settings, bytes, size);
    leave(system);
}

void log_file::write(host& system, const output_settings& settings, const wchar_t* text,
                     std::size_t chars) noexcept {
    if (!enter(system, settings)) {
        return;
    }
    char chunk[256];
    while (chars > 0) {
        std::size_t used = 0;
        std::size_t consumed = 0;
        if (settings.scrambled) {
            // One byte per character: emit() XORs the low byte.
            for (; consumed < chars && used < sizeof chunk; ++consumed) {
                chunk[used++] = static_cast<char>(static_cast<std::uint8_t>(text[consumed]));
            }
        } else {
            used = encode_utf8(text, chars, consumed, chunk, sizeof chunk);
        }
        emit(system, settings, chunk, used);
        text += consumed;
        chars -= consumed;
    }
    leave(system);
}

void log_file::close(host& system, const output_settings& settings) noexcept {
    int expected = open;
    if (!state_.compare_exchange_strong(expected, closed)) {
        return;
    }
    wait_for_writers(writers_);
    calendar_time now;
    if (!system.local_time(now)) {
        now = calendar_time{};
    }
    char banner[512];
    const auto ticks = static_cast<std::uint32_t>(system.tick_count());
    emit(system, settings, banner, end_banner(banner, sizeof banner, now, ticks));
    system.file_close();
}

void log_file::reset() noexcept {
    open_attempts_.store(0);
    state_.store(unopened);
    writers_.store(0);
}

bool retry_gate::should_try(std::uint32_t now) noexcept {
    if (!tried_.exchange(true)) {
        last_.store(now);
        return true;
    }
    std::uint32_t last = last_.load();
    // Unsigned difference: right across the wrap of the 32-bit tick.
    return now - last >= interval_ms && last_.compare_exchange_strong(last, now);
}

void retry_gate::reset() noexcept {
    tried_.store(false);
    last_.store(0);
}

void device_output::write(host& system, const wchar_t* text, std::size_t chars) noexcept {
    if (state_.load(std::memory_order_acquire) != 2) {
        int expected = 0;
        if (!gate_.should_try(static_cast<std::uint32_t>(system.tick_count())) ||
            !state_.compare_exchange_strong(expected, 1)) {
            return;
        }
        state_.store(system.device_open() ? 2 : 0, std::memory_order_release);
        if (state_.load(std::memory_order_acquire) != 2) {
            return;
        }
    }
    system.device_write(text, chars);
}

void device_output::reset() noexcept {
    state_.store(0);
    gate_.reset();
}

void etw_output::write(host& system, const wchar_t* text, std::size_t chars) noexcept {
    int state = state_.load(std::memory_order_acquire);
    if (state == 0 && state_.compare_exchange_strong(state, 1)) {
        state = system.etw_bind() ? 2 : 3;
        state_.store(state, std::memory_order_release);
    }
    if (state == 2) {
        system.etw_write(text, chars);
    }
}

void etw_output::reset() noexcept {
    state_.store(0);
}

namespace {

template <class Char>
void scramble_in_place(line_buffer<Char>& line, std::uint8_t scramble) noexcept {
    for (std::size_t i = 0; i < line.size; ++i) {
        line.text[i] = static_cast<Char>(static_cast<std::uint8_t>(line.text[i]) ^ scramble);
    }
}

}  // namespace

// The file output scrambles by itself, so it is handed the plain line first; the other outputs
// get the line scrambled in place: one byte per character, the low byte XORed.
void dispatch(host& system, output_set& outputs, const output_settings& settings, log_level level,
              narrow_line& line) noexcept {
    const std::uint32_t targets = effective_outputs(settings.flags, level, settings.location);
    if ((targets & output_file) != 0) {
        outputs.file.write(system, settings, line.text, line.size);
    }
    if (settings.scrambled) {
        scramble_in_place(line, settings.scramble);
    }
    system.line_dispatched(level, targets, line.text, nullptr, line.size);
    if ((targets & output_debugger) != 0) {
        system.debugger_write(line.text);
    }
}

void dispatch(host& system, output_set& outputs, const output_settings& settings, log_level level,
              wide_line& line) noexcept {
    const std::uint32_t targets = effective_outputs(settings.flags, level, settings.location);
    if ((targets & output_file) != 0) {
        outputs.file.write(system, settings, line.text, line.size);
    }
    if (settings.scrambled) {
        scramble_in_place(line, settings.scramble);
    }
    system.line_dispatched(level, targets, nullptr, line.text, line.size);
    if ((targets & output_debugger) != 0) {
        system.debugger_write(line.text);
    }
    if ((targets & output_device) != 0) {
        outputs.device.write(system, line.text, line.size);
    }
    if ((targets & output_etw) != 0) {
        outputs.etw.write(system, line.text, line.size);
    }
}

}  // namespace logging::dbg_trace
