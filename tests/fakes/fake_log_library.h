// A "log.dll" for unit tests: registered in a fake_modules with every entry point the logger
// looks up. Its "LogWrite" formats each call and records it; the lifecycle calls ("LogInit",
// "LogDeinit", "LogUninitDeskMetrics", "LogRemoveModule") are counted and kept in order.
//
//     fakes::fake_modules modules;
//     winapi::scoped_facility<winapi::modules> use(modules);
//     fakes::fake_log_library log(modules);
//     { logging::scopped_log_init hold; run_something(); }
//     EXPECT_TRUE(log.contains(16, L"repair", L"success start service"));
//
// The exports are plain functions, so they reach the library through one process-wide pointer
// to the current instance: only one fake_log_library may exist at a time. Recording is guarded
// by a mutex, so several threads may log at once.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fakes/fake_modules.h"

namespace fakes {

class fake_log_library {
public:
    struct record {
        std::int32_t kind = 0;  // 0 message, 1 function entry, -1 function exit
        std::int32_t level = 0;
        winapi::hmodule module = 0;  // the module handle the caller passed
        std::wstring function;
        std::wstring format;
        std::wstring text;  // the format with its arguments filled in
    };

    // "log.dll" in the folder of modules.self_path.
    explicit fake_log_library(fake_modules& modules);
    // A library at this path without the named exports (for example {"LogWrite"}).
    fake_log_library(fake_modules& modules, std::wstring path, std::set<std::string> omit = {});
    ~fake_log_library();
    fake_log_library(const fake_log_library&) = delete;
    fake_log_library& operator=(const fake_log_library&) = delete;

    const std::wstring& path() const noexcept { return path_; }

    std::vector<record> lines() const;
    // The texts of all messages (every kind) in order.
    std::vector<std::wstring> texts() const;
    bool contains(std::int32_t level, std::wstring_view function, std::wstring_view text) const;
    // A message of any level or function whose text contains the given part.
    bool contains_text(std::wstring_view part) const;
    void clear_lines();

    int init_calls() const;
    int deinit_calls() const;
    int uninit_desk_metrics_calls() const;
    int remove_module_calls() const;
    // Lifecycle calls in order: "LogInit", "LogDeinit", "LogUninitDeskMetrics" and
    // "LogRemoveModule(<argument>)".
    std::vector<std::string> lifecycle() const;

    // Fills a format the way the logger uses it: %s takes a wide string, %d an int, %% is a
    // percent sign; anything else is copied as it stands.
    static std::wstring format(const wchar_t* format, va_list args);

private:
    static int log_init();
    static int log_deinit();
    static int log_uninit_desk_metrics();
    static int log_remove_module(const char* name);
    static int log_write(std::int32_t kind, const std::int32_t* level, winapi::hmodule module,
                         const wchar_t* function, const wchar_t* format, va_list args);
    static int log_unused();

    void note(std::string call);

    std::wstring path_;
    mutable std::mutex mutex_;
    std::vector<record> lines_;
    std::vector<std::string> lifecycle_;
};

}  // namespace fakes
