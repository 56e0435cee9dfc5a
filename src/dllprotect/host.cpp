#include "dllprotect/host.h"

#include "dllprotect/engine.h"
#include "dllprotect/reporter.h"
#include "winapi/win_error_category.h"

namespace dllprotect {

host_session::host_session(std::unique_ptr<dllprotect_reporter> reporter)
    : reporter_(std::move(reporter)), owns_engine_(true) {}

host_session::host_session(host_session&& other) noexcept
    : reporter_(std::move(other.reporter_)), owns_engine_(other.owns_engine_) {
    other.owns_engine_ = false;
}

host_session& host_session::operator=(host_session&& other) noexcept {
    if (this != &other) {
        release();
        reporter_ = std::move(other.reporter_);
        owns_engine_ = other.owns_engine_;
        other.owns_engine_ = false;
    }
    return *this;
}

host_session::~host_session() {
    release();
}

void host_session::release() noexcept {
    // The engine goes first: its worker delivers what is queued to the reporter, which must
    // outlive it.
    if (owns_engine_) {
        static_cast<void>(DllProtectEnd());
        owns_engine_ = false;
    }
    reporter_.reset();
}

host_outcome host_start(std::uint32_t options, std::wstring_view name) {
    auto reporter = std::make_unique<dllprotect_reporter>(std::wstring(name));
    if (!DllProtectSetEventsCbk(&host_callback, reporter.get())) {
        return stdext::unexpected(
            host_error{winapi::error_gen_failure, L"DllProtectSetEventsCbk failed"});
    }
    const std::wstring process_name(name);
    if (DllProtectStart(options, process_name.c_str()) == 1) {
        return host_session(std::move(reporter));
    }
    // A failed start leaves no interception, and its events machinery goes with this stop, before
    // the reporter it would call.
    static_cast<void>(DllProtectEnd());
    static_cast<void>(DllProtectSetEventsCbk(nullptr, nullptr));
    return stdext::unexpected(host_error{winapi::error_gen_failure, L"DllProtectStart failed"});
}

}  // namespace dllprotect
