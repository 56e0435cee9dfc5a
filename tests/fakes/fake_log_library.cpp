#include "fakes/fake_log_library.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <map>
#include <stdexcept>

#include "stdext/path.h"

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

// Fills a format the way the logger uses it: %s takes a wide string, %d an int.
std::wstring fill(const wchar_t* format, va_list args) {
    std::wstring out;
    for (const wchar_t* p = format; *p != L'\0'; ++p) {
        if (p[0] == L'%' && p[1] == L's') {
            out += va_arg(args, const wchar_t*);
        } else if (p[0] == L'%' && p[1] == L'd') {
            out += std::to_wstring(va_arg(args, int));
        } else {
            out += *p;
            continue;
        }
        ++p;
    }
    return out;
}

int log_write(std::int32_t kind, const std::int32_t* level, winapi::hmodule module,
              const wchar_t* function, const wchar_t* format, va_list args) {
    instance().write({kind, *level, module, function, format, fill(format, args)});
    return 0;
}

int noted(const std::string& call) {
    instance().note(call);
    return 0;
}

template <class Fn>
void* as_export(Fn* fn) {
    return reinterpret_cast<void*>(fn);
}

}  // namespace

fake_log_library::fake_log_library(fake_modules& modules)
    : fake_log_library(modules,
                       stdext::path::join(stdext::path::parent(modules.self_path), L"log.dll")) {}

fake_log_library::fake_log_library(fake_modules& modules, const std::wstring& path,
                                   const std::set<std::string>& omit) {
    fake_log_library* expected = nullptr;
    if (!current.compare_exchange_strong(expected, this)) {
        throw std::logic_error("only one fake log library may exist at a time");
    }
    std::map<std::string, void*> exports{
        {"LogInit", as_export(+[] { return noted("LogInit"); })},
        {"LogDeinit", as_export(+[] { return noted("LogDeinit"); })},
        {"LogUninitDeskMetrics", as_export(+[] { return noted("LogUninitDeskMetrics"); })},
        {"LogRemoveModule", as_export(+[](const char* name) {
             return noted("LogRemoveModule(" + std::string(name) + ")");
         })},
        {"LogWrite", as_export(&log_write)},
    };
    for (const auto& name : omit) {
        exports.erase(name);
    }
    modules.add_library(path, std::move(exports));
}

fake_log_library::~fake_log_library() {
    current.store(nullptr);
}

std::vector<fake_log_library::record> fake_log_library::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

bool fake_log_library::contains(std::int32_t level, std::wstring_view function,
                                std::wstring_view text) const {
    const auto all = lines();
    return std::any_of(all.begin(), all.end(), [&](const record& r) {
        return r.level == level && r.function == function && r.text == text;
    });
}

std::vector<std::string> fake_log_library::lifecycle() const {
    std::lock_guard lock(mutex_);
    return lifecycle_;
}

void fake_log_library::write(record r) {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(r));
}

void fake_log_library::note(std::string call) {
    std::lock_guard lock(mutex_);
    lifecycle_.push_back(std::move(call));
}

}  // namespace fakes
