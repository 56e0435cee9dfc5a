#include "fakes/fake_log_library.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <map>
#include <stdexcept>

namespace fakes {
namespace {

std::atomic<fake_log_library*> current{nullptr};

fake_log_library& instance() {
    auto* lib = current.load();
    if (lib == nullptr) {
        throw std::logic_error("fake log library called after it was destroyed");
    }
    return *lib;
}

std::wstring folder_of(const std::wstring& path) {
    const auto slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

template <class Fn>
void* as_export(Fn fn) {
    return reinterpret_cast<void*>(fn);
}

}  // namespace

fake_log_library::fake_log_library(fake_modules& modules)
    : fake_log_library(modules, folder_of(modules.self_path) + L"\\log.dll") {}

fake_log_library::fake_log_library(fake_modules& modules, std::wstring path,
                                   std::set<std::string> omit)
    : path_(std::move(path)) {
    fake_log_library* expected = nullptr;
    if (!current.compare_exchange_strong(expected, this)) {
        throw std::logic_error("only one fake log library may exist at a time");
    }
    std::map<std::string, void*> exports{
        {"LogInit", as_export(&log_init)},
        {"LogDeinit", as_export(&log_deinit)},
        {"LogWrite", as_export(&log_write)},
        {"LogUninitDeskMetrics", as_export(&log_uninit_desk_metrics)},
        {"LogRemoveModule", as_export(&log_remove_module)},
    };
    for (const char* name :
         {"LogApplySettings", "LogSetSettingsFile", "LogEnable", "LogSetLevel", "LogSetPath",
          "LogSetType", "LogSetMode", "LogSetMaxSize", "LogSetDepth", "LogIsEnabled",
          "LogMonitorSettings", "LogTrackEvent", "LogTrackEventData", "LogGetLevel"}) {
        exports.emplace(name, as_export(&log_unused));
    }
    for (const auto& name : omit) {
        exports.erase(name);
    }
    modules.add_library(path_, std::move(exports));
}

fake_log_library::~fake_log_library() {
    current.store(nullptr);
}

std::vector<fake_log_library::record> fake_log_library::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::vector<std::wstring> fake_log_library::texts() const {
    std::vector<std::wstring> out;
    for (const auto& r : lines()) {
        out.push_back(r.text);
    }
    return out;
}

bool fake_log_library::contains(std::int32_t level, std::wstring_view function,
                                std::wstring_view text) const {
    std::lock_guard lock(mutex_);
    return std::any_of(lines_.begin(), lines_.end(), [&](const record& r) {
        return r.level == level && r.function == function && r.text == text;
    });
}

bool fake_log_library::contains_text(std::wstring_view part) const {
    std::lock_guard lock(mutex_);
    return std::any_of(lines_.begin(), lines_.end(),
                       [&](const record& r) { return r.text.find(part) != std::wstring::npos; });
}

void fake_log_library::clear_lines() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

int fake_log_library::init_calls() const {
    const auto calls = lifecycle();
    return static_cast<int>(std::count(calls.begin(), calls.end(), "LogInit"));
}

int fake_log_library::deinit_calls() const {
    const auto calls = lifecycle();
    return static_cast<int>(std::count(calls.begin(), calls.end(), "LogDeinit"));
}

int fake_log_library::uninit_desk_metrics_calls() const {
    const auto calls = lifecycle();
    return static_cast<int>(std::count(calls.begin(), calls.end(), "LogUninitDeskMetrics"));
}

int fake_log_library::remove_module_calls() const {
    const auto calls = lifecycle();
    return static_cast<int>(std::count_if(calls.begin(), calls.end(), [](const std::string& c) {
        return c.rfind("LogRemoveModule(", 0) == 0;
    }));
}

std::vector<std::string> fake_log_library::lifecycle() const {
    std::lock_guard lock(mutex_);
    return lifecycle_;
}

void fake_log_library::note(std::string call) {
    std::lock_guard lock(mutex_);
    lifecycle_.push_back(std::move(call));
}

std::wstring fake_log_library::format(const wchar_t* format, va_list args) {
    std::wstring out;
    if (format == nullptr) {
        return out;
    }
    for (const wchar_t* p = format; *p != L'\0'; ++p) {
        if (*p != L'%' || p[1] == L'\0') {
            out += *p;
            continue;
        }
        switch (*++p) {
            case L's': {
                const wchar_t* s = va_arg(args, const wchar_t*);
                out += s == nullptr ? L"(null)" : s;
                break;
            }
            case L'd':
                out += std::to_wstring(va_arg(args, int));
                break;
            case L'%':
                out += L'%';
                break;
            default:
                out += L'%';
                out += *p;
        }
    }
    return out;
}

int fake_log_library::log_init() {
    instance().note("LogInit");
    return 0;
}

int fake_log_library::log_deinit() {
    instance().note("LogDeinit");
    return 0;
}

int fake_log_library::log_uninit_desk_metrics() {
    instance().note("LogUninitDeskMetrics");
    return 0;
}

int fake_log_library::log_remove_module(const char* name) {
    instance().note(std::string("LogRemoveModule(") + (name == nullptr ? "" : name) + ")");
    return 0;
}

int fake_log_library::log_write(std::int32_t kind, const std::int32_t* level,
                                winapi::hmodule module, const wchar_t* function,
                                const wchar_t* format_text, va_list args) {
    record r;
    r.kind = kind;
    r.level = level == nullptr ? 0 : *level;
    r.module = module;
    r.function = function == nullptr ? L"" : function;
    r.format = format_text == nullptr ? L"" : format_text;
    r.text = format(format_text, args);
    auto& lib = instance();
    std::lock_guard lock(lib.mutex_);
    lib.lines_.push_back(std::move(r));
    return 0;
}

int fake_log_library::log_unused() {
    return 0;
}

}  // namespace fakes
