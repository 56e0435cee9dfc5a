// The host build has no trace outputs: no settings file is ever found, so tracing stays off
// unless a test capture switches it on with its own host.
#include <chrono>

#include "logging/dbg_trace/host.h"

namespace logging::dbg_trace {

namespace {

class silent_host final : public host {
public:
    bool read_settings(const char*, settings_parser&) noexcept override { return false; }
    bool executable_path(char*, std::size_t) noexcept override { return false; }
    std::uint64_t tick_count() noexcept override {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now().time_since_epoch())
                                              .count());
    }
    std::uint32_t thread_id() noexcept override { return 0; }
    std::int64_t performance_counter() noexcept override {
        return std::chrono::steady_clock::now().time_since_epoch().count();
    }
    std::int64_t performance_frequency() noexcept override {
        return std::chrono::steady_clock::period::den / std::chrono::steady_clock::period::num;
    }
    void debugger_write(const char*) noexcept override {}
    void debugger_write(const wchar_t*) noexcept override {}
    bool expand_environment(const char*, char*, std::size_t) noexcept override { return false; }
    void create_folder(const char*) noexcept override {}
    void mark_not_content_indexed(const char*) noexcept override {}
    bool process_start_utc(calendar_time&) noexcept override { return false; }
    std::uint32_t process_id() noexcept override { return 0; }
    bool local_time(calendar_time&) noexcept override { return false; }
    bool file_version(unsigned (&)[4]) noexcept override { return false; }
    bool file_open(const char*) noexcept override { return false; }
    bool file_final_path(char*, std::size_t) noexcept override { return false; }
    void file_write(const char*, std::size_t) noexcept override {}
    void file_flush() noexcept override {}
    void file_close() noexcept override {}
    bool device_open() noexcept override { return false; }
    void device_write(const wchar_t*, std::size_t) noexcept override {}
    bool etw_bind() noexcept override { return false; }
    void etw_write(const wchar_t*, std::size_t) noexcept override {}
};

constinit silent_host silent;

}  // namespace

host& system_host() noexcept {
    return silent;
}

}  // namespace logging::dbg_trace
