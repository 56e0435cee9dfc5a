// The service control manager facility: open the manager and a service, read a service's
// status, start it. Handles are opaque numbers; each operation that can fail returns the Windows
// error with a text naming the call.
#pragma once

#include <cstdint>
#include <string>

#include "stdext/expected.h"
#include "stdext/unique_handle.h"
#include "winapi/facility.h"

namespace winapi {

using sc_handle = std::uintptr_t;

inline constexpr std::uint32_t service_query_status = 0x0004;
inline constexpr std::uint32_t service_all_access = 0xF01FF;

// Service states.
inline constexpr std::uint32_t service_stopped = 1;
inline constexpr std::uint32_t service_start_pending = 2;
inline constexpr std::uint32_t service_stop_pending = 3;
inline constexpr std::uint32_t service_running = 4;
inline constexpr std::uint32_t service_paused = 7;

// The two fields of SERVICE_STATUS the program reads.
struct service_status {
    std::uint32_t current_state = 0;
    std::uint32_t wait_hint = 0;
};

class service_manager;
// Owner of one manager or service handle; closes it through the installed facility.
struct sc_handle_traits {
    using handle_type = sc_handle;
    static constexpr sc_handle empty() noexcept { return 0; }
    static void close(sc_handle h) noexcept;
};
using unique_sc_handle = stdext::unique_handle<sc_handle_traits>;

class service_manager {
public:
    virtual ~service_manager() = default;

    // OpenSCManagerW(local machine, active database, all access). Error: "OpenSCManager failed".
    virtual stdext::expected<unique_sc_handle> open_manager() = 0;
    // OpenServiceW. Error: "OpenService failed".
    virtual stdext::expected<unique_sc_handle> open_service(sc_handle manager,
                                                            const std::wstring& name,
                                                            std::uint32_t access) = 0;
    // Error: "QueryServiceStatus failed".
    virtual stdext::expected<service_status> query_status(sc_handle service) = 0;
    // StartServiceW without arguments. Error: "StartService failed".
    virtual stdext::expected<void> start(sc_handle service) = 0;
    virtual void close(sc_handle handle) = 0;
};

inline void sc_handle_traits::close(sc_handle h) noexcept {
    if (service_manager* impl = facility<service_manager>::find()) {
        impl->close(h);
    }
}

}  // namespace winapi
