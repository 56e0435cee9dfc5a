// A "log.dll" for unit tests: registered in a fake_modules with the entry points the logger calls.
// Its "LogWrite" formats each call and records it; the lifecycle calls ("LogInit", "LogDeinit",
// "LogUninitDeskMetrics", "LogRemoveModule") are kept in order.
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
        bool operator==(const record&) const = default;
    };

    // "log.dll" in the folder of modules.self_path.
    explicit fake_log_library(fake_modules& modules);
    // A library at this path without the named exports (for example {"LogWrite"}).
    fake_log_library(fake_modules& modules, const std::wstring& path,
                     const std::set<std::string>& omit = {});
    ~fake_log_library();
    fake_log_library(const fake_log_library&) = delete;
    fake_log_library& operator=(const fake_log_library&) = delete;

    std::vector<record> lines() const;
    bool contains(std::int32_t level, std::wstring_view function, std::wstring_view text) const;
    // Lifecycle calls in order: "LogInit", "LogDeinit", "LogUninitDeskMetrics" and
    // "LogRemoveModule(<argument>)".
    std::vector<std::string> lifecycle() const;

    void write(record r);
    void note(std::string call);

private:
    mutable std::mutex mutex_;
    std::vector<record> lines_;
    std::vector<std::string> lifecycle_;
};

}  // namespace fakes
