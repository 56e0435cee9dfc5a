#include "logging/log.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "stdext/path.h"
#include "stdext/utf.h"
#include "winapi/clock.h"
#include "winapi/facility.h"

namespace logging {

const std::array<const char*, entry_point_count> entry_point_names = {
    "LogApplySettings",     "LogSetSettingsFile", "LogEnable",         "LogSetLevel",
    "LogSetPath",           "LogSetType",         "LogSetMode",        "LogSetMaxSize",
    "LogSetDepth",          "LogWrite",           "LogIsEnabled",      "LogMonitorSettings",
    "LogUninitDeskMetrics", "LogTrackEvent",      "LogTrackEventData", "LogRemoveModule",
    "LogGetLevel",
};

namespace {

// Stands in for "LogWrite" when the library or its export is missing.
int write_stub(std::int32_t, const std::int32_t*, winapi::hmodule, const wchar_t*, const wchar_t*,
               va_list) {
    return 0;
}

template <class Fn>
Fn as_function(void* p) noexcept {
    return reinterpret_cast<Fn>(p);
}

// The process-wide state: the lock guards the instance and the count; the count is also read
// without the lock by the is-active test, hence atomic.
std::atomic<std::int32_t> lock_flag{0};
CLogDLL* instance = nullptr;
std::atomic<std::int32_t> reference_count{0};

void sleep_one_ms() {
    if (auto* clock = winapi::facility<winapi::clock>::find()) {
        clock->sleep_ms(1);
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

class spin_lock_guard {
public:
    spin_lock_guard() {
        while (lock_flag.exchange(1, std::memory_order_acquire) == 1) {
            sleep_one_ms();
        }
    }
    ~spin_lock_guard() { lock_flag.exchange(0, std::memory_order_release); }
    spin_lock_guard(const spin_lock_guard&) = delete;
    spin_lock_guard& operator=(const spin_lock_guard&) = delete;
};

winapi::hmodule own_module() {
    auto* modules = winapi::facility<winapi::modules>::find();
    return modules == nullptr ? 0 : modules->self();
}

// "log.dll" as already loaded (with one more reference), else the file beside the program.
winapi::unique_module load_log_library(winapi::modules& modules) {
    if (auto loaded = modules.get_loaded(L"log.dll")) {
        return std::move(*loaded);
    }
    const auto path = modules.file_name(modules.self(), winapi::long_path_capacity);
    if (!path) {
        return {};
    }
    const auto folder = stdext::path::split(*path).folder;
    if (folder.empty()) {
        return {};
    }
    auto library = modules.load(stdext::path::join(folder, L"log.dll"), 0);
    return library ? std::move(*library) : winapi::unique_module();
}

std::uint32_t tick_now() {
    if (auto* clock = winapi::facility<winapi::clock>::find()) {
        return clock->tick_count();
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<std::uint32_t>(ms.count());
}

// Sends one line when logging is active; the reference taken around the call keeps the library
// loaded while "LogWrite" runs.
template <class... Args>
void send(std::int32_t kind, log_level level, const wchar_t* function, const wchar_t* format,
          Args... args) {
    if (!CLogDLL::is_active()) {
        return;
    }
    CLogDLL::acquire()->write(kind, level, function, format, args...);
    CLogDLL::release();
}

}  // namespace

CLogDLL::CLogDLL() : write_(write_stub) {
    auto* modules = winapi::facility<winapi::modules>::find();
    if (modules == nullptr) {
        return;
    }
    module_ = load_log_library(*modules);
    if (!module_) {
        return;
    }
    if (auto init = as_function<log_void_fn>(modules->find_export(module(), "LogInit"))) {
        init();
    }
    for (std::size_t i = 0; i < entry_point_count; ++i) {
        entries_[i] = modules->find_export(module(), entry_point_names[i]);
    }
    if (auto* w = entries_[static_cast<std::size_t>(entry_point::write)]) {
        write_ = as_function<log_write_fn>(w);
    }
}

CLogDLL::~CLogDLL() {
    auto* modules = winapi::facility<winapi::modules>::find();
    if (!module_ || modules == nullptr) {
        return;
    }
    if (auto deinit = as_function<log_void_fn>(modules->find_export(module(), "LogDeinit"))) {
        deinit();
    }
    if (auto uninit = as_function<log_void_fn>(find(entry_point::uninit_desk_metrics))) {
        uninit();
    }
    if (auto remove = as_function<log_remove_module_fn>(find(entry_point::remove_module))) {
        remove("logging::CLogDLL::~CLogDLL");
    }
    module_.reset();  // FreeLibrary, last
}

void* CLogDLL::find(entry_point which) const noexcept {
    if (which == entry_point::write) {
        return reinterpret_cast<void*>(write_);
    }
    return entries_[static_cast<std::size_t>(which)];
}

bool CLogDLL::has_write() const noexcept {
    return write_ != write_stub;
}

void CLogDLL::write(std::int32_t kind, log_level level, const wchar_t* function,
                    const wchar_t* format, ...) const {
    va_list args;
    va_start(args, format);
    const std::int32_t number = level_number(level);
    write_(kind, &number, own_module(), function, format, args);
    va_end(args);
}

CLogDLL* CLogDLL::acquire() {
    spin_lock_guard lock;
    if (reference_count.load(std::memory_order_relaxed) == 0) {
        delete instance;
        instance = nullptr;
        instance = new CLogDLL();
    }
    reference_count.fetch_add(1, std::memory_order_relaxed);
    return instance;
}

void CLogDLL::release() {
    spin_lock_guard lock;
    if (reference_count.load(std::memory_order_relaxed) >= 1) {
        reference_count.fetch_sub(1, std::memory_order_relaxed);
    }
    if (instance != nullptr && reference_count.load(std::memory_order_relaxed) == 0) {
        delete instance;
        instance = nullptr;
    }
}

bool CLogDLL::is_active() noexcept {
    return reference_count.load(std::memory_order_relaxed) > 0;
}

std::int32_t CLogDLL::references() noexcept {
    return reference_count.load(std::memory_order_relaxed);
}

logger_stream::logger_stream(log_level level, const wchar_t* function)
    : level_(level), function_(function) {}

logger_stream::~logger_stream() {
    if (!CLogDLL::is_active()) {
        return;
    }
    const std::wstring text = str();
    send(kind_message, level_, function_, L"%s", text.c_str());
}

function_scope_trace::function_scope_trace(std::wstring_view name) : start_(tick_now()) {
    const auto shown = std::min<std::size_t>(name.size(), name_capacity - 3);
    std::copy_n(name.data(), shown, display_name_);
    display_name_[shown] = L'(';
    display_name_[shown + 1] = L')';
    display_name_[shown + 2] = L'\0';

    const auto kept = std::min<std::size_t>(name.size(), name_capacity - 1);
    std::copy_n(name.data(), kept, function_name_);
    function_name_[kept] = L'\0';

    send(kind_entry, level_trace, function_name_, L"-> %s", display_name_);
}

function_scope_trace::~function_scope_trace() {
    const std::uint32_t elapsed = tick_now() - start_;
    send(kind_exit, level_trace, function_name_, L"<- %s [%d]", display_name_,
         static_cast<int>(elapsed));
}

scopped_log_init::scopped_log_init() {
    CLogDLL::acquire();
}

scopped_log_init::~scopped_log_init() {
    CLogDLL::release();
}

void log_failure(log_level level, const wchar_t* function, std::wstring_view name,
                 const stdext::error& failure) {
    logger_stream(level, function)
        << name << L" err=" << static_cast<std::uint32_t>(failure.code.value()) << L' '
        << stdext::utf8_to_wide(failure.text);
}

}  // namespace logging
