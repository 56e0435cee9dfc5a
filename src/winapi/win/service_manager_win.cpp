#include <windows.h>

#include "winapi/win/handles.h"
#include "winapi/win/system_facilities.h"

namespace winapi {
namespace {

using unique_service_handle = unique_released_by<SC_HANDLE, &::CloseServiceHandle>;

SC_HANDLE native(sc_handle h) {
    return to_native<SC_HANDLE>(h);
}

stdext::expected<unique_sc_handle> give(SC_HANDLE h, const char* step) {
    if (h == nullptr) {
        return stdext::unexpected(win_failure(::GetLastError(), step));
    }
    return unique_sc_handle(from_native(h));
}

class windows_service_manager final : public service_manager {
public:
    stdext::expected<unique_sc_handle> open_manager() override {
        return give(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS),
                    "OpenSCManager failed");
    }

    stdext::expected<unique_sc_handle> open_service(sc_handle manager, const std::wstring& name,
                                                    std::uint32_t access) override {
        return give(::OpenServiceW(native(manager), name.c_str(), access), "OpenService failed");
    }

    stdext::expected<service_status> query_status(sc_handle service) override {
        SERVICE_STATUS status{};
        if (!::QueryServiceStatus(native(service), &status)) {
            return stdext::unexpected(win_failure(::GetLastError(), "QueryServiceStatus failed"));
        }
        return service_status{status.dwCurrentState, status.dwWaitHint};
    }

    stdext::expected<void> start(sc_handle service) override {
        if (!::StartServiceW(native(service), 0, nullptr)) {
            return stdext::unexpected(win_failure(::GetLastError(), "StartService failed"));
        }
        return {};
    }

    void close(sc_handle handle) override { unique_service_handle closing(native(handle)); }
};

}  // namespace

service_manager& windows_service_manager_instance() {
    static windows_service_manager instance;
    return instance;
}

}  // namespace winapi
