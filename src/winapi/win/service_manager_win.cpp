#include <windows.h>

#include "winapi/win/handles.h"
#include "winapi/win/system_facilities.h"

namespace winapi {
namespace {

SC_HANDLE native(sc_handle h) {
    return to_native<SC_HANDLE>(h);
}

class windows_service_manager final : public service_manager {
public:
    std::uint32_t open_manager(std::uint32_t access, sc_handle& out) override {
        SC_HANDLE h = ::OpenSCManagerW(nullptr, nullptr, access);
        out = from_native(h);
        return h ? 0 : ::GetLastError();
    }

    std::uint32_t open_service(sc_handle manager, const std::wstring& name, std::uint32_t access,
                               sc_handle& out) override {
        SC_HANDLE h = ::OpenServiceW(native(manager), name.c_str(), access);
        out = from_native(h);
        return h ? 0 : ::GetLastError();
    }

    std::uint32_t query_status(sc_handle service, service_status& out) override {
        SERVICE_STATUS status{};
        if (!::QueryServiceStatus(native(service), &status)) {
            return ::GetLastError();
        }
        out = {status.dwCurrentState, status.dwWaitHint};
        return 0;
    }

    std::uint32_t start(sc_handle service) override {
        return ::StartServiceW(native(service), 0, nullptr) ? 0 : ::GetLastError();
    }

    bool close(sc_handle handle) override {
        last_error_guard keep;
        return ::CloseServiceHandle(native(handle)) != FALSE;
    }
};

}  // namespace

service_manager& windows_service_manager_instance() {
    static windows_service_manager instance;
    return instance;
}

}  // namespace winapi
