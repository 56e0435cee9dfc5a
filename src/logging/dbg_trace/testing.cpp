#include "logging/dbg_trace/testing.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "logging/dbg_trace/core.h"
#include "logging/dbg_trace/line.h"

namespace logging::dbg_trace::testing {

namespace {

std::string to_utf8(const wchar_t* text, std::size_t chars) {
    std::string out;
    char chunk[256];
    while (chars > 0) {
        std::size_t consumed = 0;
        out.append(chunk, encode_utf8(text, chars, consumed, chunk, sizeof chunk));
        text += consumed;
        chars -= consumed;
    }
    return out;
}

}  // namespace

// A host that keeps everything in memory: no settings file, a log file of bytes, fixed clocks.
class capture::recorder final : public host {
public:
    bool read_settings(const char*, settings_parser&) noexcept override { return false; }
    bool executable_path(char* out, std::size_t capacity) noexcept override {
        return std::snprintf(out, capacity, "C:\\Program Files\\Corvel\\Wardex.exe") > 0;
    }
    std::uint64_t tick_count() noexcept override { return tick.load(); }
    std::uint32_t thread_id() noexcept override { return thread.load(); }
    std::int64_t performance_counter() noexcept override { return counter.load(); }
    std::int64_t performance_frequency() noexcept override { return 1000000; }
    void debugger_write(const char*) noexcept override {}
    void debugger_write(const wchar_t*) noexcept override {}
    bool expand_environment(const char*, char* out, std::size_t capacity) noexcept override {
        return std::snprintf(out, capacity, "C:\\ProgramData\\VDLogging") > 0;
    }
    void create_folder(const char*) noexcept override {}
    void mark_not_content_indexed(const char*) noexcept override {}
    bool process_start_utc(calendar_time& out) noexcept override {
        out = calendar_time{2026, 1, 2, 3, 4, 5};
        return true;
    }
    std::uint32_t process_id() noexcept override { return 42; }
    bool local_time(calendar_time& out) noexcept override { return process_start_utc(out); }
    bool file_version(unsigned (&)[4]) noexcept override { return false; }
    bool file_open(const char* path) noexcept override {
        std::snprintf(opened, sizeof opened, "%s", path);
        return true;
    }
    bool file_final_path(char* out, std::size_t capacity) noexcept override {
        const int n = std::snprintf(out, capacity, "\\\\?\\%s", opened);
        return n > 0 && static_cast<std::size_t>(n) < capacity;
    }
    void file_write(const char* bytes, std::size_t size) noexcept override {
        const std::lock_guard lock(mutex);
        file.append(bytes, size);
    }
    void file_flush() noexcept override {}
    void file_close() noexcept override {}
    bool device_open() noexcept override { return true; }
    void device_write(const wchar_t*, std::size_t) noexcept override {}
    bool etw_bind() noexcept override { return true; }
    void etw_write(const wchar_t*, std::size_t) noexcept override {}
    void line_dispatched(log_level level, std::uint32_t outputs, const char* narrow,
                         const wchar_t* wide, std::size_t size) noexcept override {
        captured_line line{level, outputs, wide != nullptr, {}};
        if (wide == nullptr) {
            line.text.assign(narrow, size);
        } else if (scrambled) {
            for (std::size_t i = 0; i < size; ++i) {
                line.text.push_back(static_cast<char>(static_cast<std::uint8_t>(wide[i])));
            }
        } else {
            line.text = to_utf8(wide, size);
        }
        const std::lock_guard lock(mutex);
        lines.push_back(std::move(line));
    }

    std::atomic<std::uint64_t> tick{0};
    std::atomic<std::uint32_t> thread{1};
    std::atomic<std::int64_t> counter{0};
    bool scrambled = false;
    mutable std::mutex mutex;
    std::vector<captured_line> lines;
    std::string file;
    char opened[600] = "";
};

capture::capture(std::uint32_t flags, std::array<std::uint8_t, 4> key, bool ini_found)
    : recorder_(std::make_unique<recorder>()) {
    recorder_->scrambled = !key_is_zero(key);
    trace_settings settings;
    settings.flags = flags;
    settings.key = key;
    settings.location = ini_found ? ini_location::executable_folder : ini_location::not_found;
    detail::install(*recorder_, settings);
}

capture::~capture() {
    detail::uninstall();
}

std::vector<captured_line> capture::lines() const {
    const std::lock_guard lock(recorder_->mutex);
    return recorder_->lines;
}

std::vector<std::string> capture::texts() const {
    std::vector<std::string> out;
    for (const auto& line : lines()) {
        out.push_back(line.text);
    }
    return out;
}

bool capture::contains(std::string_view part) const {
    for (const auto& line : lines()) {
        if (line.text.find(part) != std::string::npos) {
            return true;
        }
    }
    return false;
}

std::string capture::file_bytes() const {
    const std::lock_guard lock(recorder_->mutex);
    return recorder_->file;
}

void capture::set_tick(std::uint64_t tick) {
    recorder_->tick = tick;
}
void capture::set_thread(std::uint32_t thread) {
    recorder_->thread = thread;
}
void capture::set_counter(std::int64_t counter) {
    recorder_->counter = counter;
}

}  // namespace logging::dbg_trace::testing
