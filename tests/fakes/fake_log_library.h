// A "log.dll" for unit tests, registered in a fake_modules with the entry points the logger calls:
// "LogWrite" records each call with its format filled in, and the lifecycle calls ("LogInit",
// "LogDeinit", "LogUninitDeskMetrics", "LogRemoveModule(<argument>)") are kept in order. The
// exports are plain functions, so only one instance may exist at a time; recording is guarded
// by a mutex, so several threads may log at once.
#pragma once

#include <algorithm>
#include <cstdarg>
#include <mutex>
#include <set>

#include "fakes/fake_modules.h"
#include "logging/level.h"

namespace fakes {

class fake_log_library {
public:
    struct record {
        std::int32_t kind = 0;  // 0 message, 1 function entry, -1 function exit
        logging::log_level level{};
        winapi::hmodule module = 0;
        std::wstring function;
        std::wstring format;
        std::wstring text;  // the format with its arguments (%s wide text, %d int) filled in
        bool operator==(const record&) const = default;
    };

    explicit fake_log_library(fake_modules& modules)
        : fake_log_library(
              modules, stdext::path::join(stdext::path::parent(modules.self_path), L"log.dll")) {}
    // A library at this path without the named exports (for example {"LogWrite"}).
    fake_log_library(fake_modules& modules, const std::wstring& path,
                     const std::set<std::string>& omit = {}) {
        current() = this;
        std::map<std::string, void*> exports{
            {"LogInit", fn(+[] { return note("LogInit"); })},
            {"LogDeinit", fn(+[] { return note("LogDeinit"); })},
            {"LogUninitDeskMetrics", fn(+[] { return note("LogUninitDeskMetrics"); })},
            {"LogRemoveModule", fn(+[](const char* name) {
                 return note("LogRemoveModule(" + std::string(name) + ")");
             })},
            {"LogWrite", fn(&write)}};
        std::erase_if(exports, [&](const auto& e) { return omit.count(e.first) != 0; });
        modules.add_library(path, std::move(exports));
    }
    ~fake_log_library() { current() = nullptr; }

    std::vector<record> lines() const {
        const std::lock_guard lock(mutex_);
        return lines_;
    }
    std::vector<std::string> lifecycle() const {
        const std::lock_guard lock(mutex_);
        return lifecycle_;
    }
    bool contains(logging::log_level level, std::wstring_view function,
                  std::wstring_view text) const {
        const auto all = lines();
        return std::any_of(all.begin(), all.end(), [&](const record& r) {
            return r.level == level && r.function == function && r.text == text;
        });
    }

private:
    static fake_log_library*& current();
    template <class F>
    static void* fn(F* f) {
        return reinterpret_cast<void*>(f);
    }
    static int note(const std::string& call);
    static int write(std::int32_t kind, const std::int32_t* level, winapi::hmodule module,
                     const wchar_t* function, const wchar_t* format, va_list args);

    mutable std::mutex mutex_;
    std::vector<record> lines_;
    std::vector<std::string> lifecycle_;
};

}  // namespace fakes
