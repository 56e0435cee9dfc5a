// A debug-trace host that keeps everything in memory: settings files by path, the folders made
// and marked, the log file's bytes, and what reached the debugger, the device and ETW. Every
// operation that can fail on Windows can be made to fail through the fault plan.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "fakes/kit.h"
#include "logging/dbg_trace/host.h"
#include "logging/dbg_trace/line.h"
#include "logging/dbg_trace/settings.h"

namespace fakes {

class fake_trace_host final : public logging::dbg_trace::host, public fake_base {
public:
    bool read_settings(const char* path,
                       logging::dbg_trace::settings_parser& parser) noexcept override {
        const auto found = settings_files.find(path);
        if (check("read_settings") || found == settings_files.end()) {
            return false;
        }
        parser.feed(found->second.data(), found->second.size());
        return true;
    }
    bool executable_path(char* out, std::size_t capacity) noexcept override {
        return !check("executable_path") && exe.size() < capacity &&
               std::snprintf(out, capacity, "%s", exe.c_str()) > 0;
    }
    std::uint64_t tick_count() noexcept override { return tick; }
    std::uint32_t thread_id() noexcept override { return 7; }
    std::int64_t performance_counter() noexcept override { return 0; }
    std::int64_t performance_frequency() noexcept override { return 0; }
    void debugger_write(const char* line) noexcept override { debugger.push_back(line); }
    void debugger_write(const wchar_t* line) noexcept override {
        debugger.push_back(to_utf8(line, std::wcslen(line)));
    }
    bool expand_environment(const char* text, char* out, std::size_t capacity) noexcept override {
        std::string expanded = text;
        for (const auto& [name, value] : environment) {
            if (const auto at = expanded.find(name); at != std::string::npos) {
                expanded.replace(at, name.size(), value);
            }
        }
        return !check("expand_environment") &&
               std::snprintf(out, capacity, "%s", expanded.c_str()) > 0;
    }
    void create_folder(const char* path) noexcept override { folders.push_back(path); }
    void mark_not_content_indexed(const char* path) noexcept override { marked.push_back(path); }
    bool process_start_utc(logging::dbg_trace::calendar_time& out) noexcept override {
        out = {2026, 1, 2, 3, 4, 5};
        return !check("process_start_utc");
    }
    std::uint32_t process_id() noexcept override { return 42; }
    bool local_time(logging::dbg_trace::calendar_time& out) noexcept override {
        out = {2026, 12, 6, 8, 9, 10};
        return !check("local_time");
    }
    bool file_version(unsigned (&parts)[4]) noexcept override {
        parts[0] = 1, parts[1] = 2, parts[2] = 3, parts[3] = 4;
        return !check("file_version");
    }
    bool file_open(const char* path) noexcept override {
        file_path = path;
        return !check("file_open");
    }
    bool file_final_path(char* out, std::size_t capacity) noexcept override {
        const std::string final_path =
            "\\\\?\\" + (final_path_of_file.empty() ? file_path : final_path_of_file);
        return !check("file_final_path") &&
               std::snprintf(out, capacity, "%s", final_path.c_str()) > 0 &&
               final_path.size() < capacity;
    }
    void file_write(const char* bytes, std::size_t size) noexcept override {
        file.append(bytes, size);
    }
    void file_flush() noexcept override { ++flushes; }
    void file_close() noexcept override { ++closes; }
    bool device_open() noexcept override {
        ++device_opens;
        return !check("device_open");
    }
    void device_write(const wchar_t* text, std::size_t chars) noexcept override {
        device.push_back(to_utf8(text, chars));
    }
    bool etw_bind() noexcept override {
        ++etw_binds;
        return !check("etw_bind");
    }
    void etw_write(const wchar_t* text, std::size_t chars) noexcept override {
        etw.push_back(to_utf8(text, chars));
    }

    static std::string to_utf8(const wchar_t* text, std::size_t chars) {
        std::string out(chars * 4, '\0');
        std::size_t consumed = 0;
        out.resize(logging::dbg_trace::encode_utf8(text, chars, consumed, out.data(), out.size()));
        return out;
    }

    std::map<std::string, std::string> settings_files;
    std::map<std::string, std::string> environment;
    std::string exe = "D:\\Apps\\Corvel\\Wardex.exe";
    std::uint64_t tick = 0;
    std::vector<std::string> debugger, folders, marked, device, etw;
    std::string file_path, file;
    std::string final_path_of_file;  // where the opened file really is; empty: its own path
    int flushes = 0, closes = 0, device_opens = 0, etw_binds = 0;
};

}  // namespace fakes
