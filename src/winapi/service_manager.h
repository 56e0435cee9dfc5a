// The service control manager facility: open the manager and a service, read a service's
// status, start it. Handles are opaque numbers; every call returns the Windows error number.
#pragma once

#include <cstdint>
#include <string>

#include "winapi/facility_handle.h"

namespace winapi {

using sc_handle = std::uintptr_t;

inline constexpr std::uint32_t sc_manager_all_access = 0xF003F;
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

class service_manager {
public:
    virtual ~service_manager() = default;

    // OpenSCManagerW(local machine, active database, access).
    virtual std::uint32_t open_manager(std::uint32_t access, sc_handle& out) = 0;
    virtual std::uint32_t open_service(sc_handle manager, const std::wstring& name,
                                       std::uint32_t access, sc_handle& out) = 0;
    virtual std::uint32_t query_status(sc_handle service, service_status& out) = 0;
    // StartServiceW without arguments.
    virtual std::uint32_t start(sc_handle service) = 0;
    virtual bool close(sc_handle handle) = 0;
};

// Owner of one manager or service handle; closes it through the installed facility.
using unique_sc_handle = facility_handle<service_manager, sc_handle, &service_manager::close>;

}  // namespace winapi
