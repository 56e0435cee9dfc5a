// The processes facility: process snapshots, process and token handles, privileges, environment
// blocks, process creation and waits, and the list of terminal sessions. Thin wrappers of the
// Win32 calls; every call returns the Windows error number (0 on success) so a fake can make any
// of them fail.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "winapi/facility_handle.h"
#include "winapi/modules.h"

namespace winapi {

// A kernel object handle (process, thread, token, snapshot) or an environment block, opaque.
enum class sys_handle : std::uintptr_t { null = 0 };
// INVALID_HANDLE_VALUE: the empty value of a snapshot.
inline constexpr sys_handle invalid_handle = static_cast<sys_handle>(~std::uintptr_t{0});

// Access rights and flags used by the program.
inline constexpr std::uint32_t process_terminate = 0x0001;
inline constexpr std::uint32_t process_query_information = 0x0400;
inline constexpr std::uint32_t maximum_allowed = 0x02000000;
inline constexpr std::uint32_t token_adjust_privileges = 0x0020;
inline constexpr std::uint32_t token_query = 0x0008;
// ASSIGN_PRIMARY, DUPLICATE, QUERY, ADJUST_PRIVILEGES/GROUPS/DEFAULT/SESSIONID and READ_CONTROL.
inline constexpr std::uint32_t token_winlogon_access = 0x201EB;
inline constexpr std::uint32_t security_identification = 1;
inline constexpr std::uint32_t security_impersonation = 2;
inline constexpr std::uint32_t token_primary = 1;
inline constexpr std::uint32_t se_privilege_enabled = 0x00000002;
inline constexpr std::uint32_t normal_priority_class = 0x00000020;
inline constexpr std::uint32_t create_unicode_environment = 0x00000400;
inline constexpr std::uint32_t create_no_window = 0x08000000;
inline constexpr std::uint32_t wait_object_0 = 0;
inline constexpr std::uint32_t wait_failed = 0xFFFFFFFF;
inline constexpr std::uint32_t wts_active = 0;

// The fields of a toolhelp process record that the program reads.
struct process_entry {
    std::uint32_t process_id = 0;
    std::wstring exe_file;
    bool operator==(const process_entry&) const = default;
};

// One entry of a token privilege list; the identifier is the LUID as LowPart | HighPart << 32.
struct privilege {
    std::uint64_t luid = 0;
    std::uint32_t attributes = 0;
};

struct created_process {
    sys_handle process = sys_handle::null;
    sys_handle thread = sys_handle::null;
    std::uint32_t process_id = 0;
    std::uint32_t thread_id = 0;
};

struct session_entry {
    std::uint32_t session_id = 0;
    std::wstring station_name;
    std::uint32_t state = 0;  // WTS_CONNECTSTATE_CLASS; wts_active = logged on and active
};

class processes {
public:
    virtual ~processes() = default;

    // CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0); out is invalid_handle on failure.
    virtual std::uint32_t create_snapshot(sys_handle& out) = 0;
    // Process32FirstW / Process32NextW (ERROR_NO_MORE_FILES at the end).
    virtual std::uint32_t first_process(sys_handle snapshot, process_entry& out) = 0;
    virtual std::uint32_t next_process(sys_handle snapshot, process_entry& out) = 0;
    // ProcessIdToSessionId.
    virtual std::uint32_t process_session(std::uint32_t process_id, std::uint32_t& session) = 0;
    // OpenProcess(access, FALSE, pid).
    virtual std::uint32_t open_process(std::uint32_t access, std::uint32_t process_id,
                                       sys_handle& out) = 0;

    // Tokens and privileges.
    virtual std::uint32_t open_process_token(sys_handle process, std::uint32_t access,
                                             sys_handle& out) = 0;
    // OpenThreadToken of the calling thread.
    virtual std::uint32_t open_thread_token(std::uint32_t access, bool open_as_self,
                                            sys_handle& out) = 0;
    virtual std::uint32_t impersonate_self(std::uint32_t level) = 0;
    // LookupPrivilegeValueW(nullptr, name).
    virtual std::uint32_t lookup_privilege(const std::wstring& name, std::uint64_t& luid) = 0;
    virtual std::uint32_t duplicate_token(sys_handle token, std::uint32_t access,
                                          std::uint32_t impersonation_level,
                                          std::uint32_t token_type, sys_handle& out) = 0;
    // SetTokenInformation(TokenSessionId).
    virtual std::uint32_t set_token_session(sys_handle token, std::uint32_t session) = 0;
    // AdjustTokenPrivileges with one entry. With previous set, the previous state is asked for
    // in a buffer of one entry and copied there (left as it was when the system returns none).
    // Success is the call's result; a partial assignment is not reported.
    virtual std::uint32_t adjust_privileges(sys_handle token, const privilege& entry,
                                            privilege* previous) = 0;

    // CreateEnvironmentBlock / DestroyEnvironmentBlock.
    virtual std::uint32_t create_environment(sys_handle token, bool inherit, sys_handle& out) = 0;
    virtual void destroy_environment(sys_handle block) = 0;

    // CreateProcessAsUserW(token, no application name, command line, no security attributes, no
    // inherited handles, flags, environment (null: none), no current directory, an empty
    // start-up record).
    virtual std::uint32_t create_process_as_user(sys_handle token, const std::wstring& command_line,
                                                 std::uint32_t flags, sys_handle environment,
                                                 created_process& out) = 0;
    // CreateProcessW with the same arguments and the caller's environment.
    virtual std::uint32_t create_process(const std::wstring& command_line, std::uint32_t flags,
                                         created_process& out) = 0;
    // WaitForSingleObject; result is its return value, the error is set when it is wait_failed.
    virtual std::uint32_t wait(sys_handle handle, std::uint32_t timeout_ms,
                               std::uint32_t& result) = 0;
    virtual std::uint32_t terminate(sys_handle process, std::uint32_t exit_code) = 0;
    // K32GetModuleFileNameExW into `capacity` characters (module 0: the main module). Returns
    // the count written (0 on failure) and sets error to the thread's last error after the call.
    virtual std::uint32_t module_file_name(sys_handle process, hmodule module,
                                           std::uint32_t capacity, std::wstring& out,
                                           std::uint32_t& error) = 0;
    virtual bool close(sys_handle handle) = 0;

    // Sessions: WTSGetActiveConsoleSessionId; WTSEnumerateSessionsW (local server, reserved 0,
    // version 1), the list copied and freed with WTSFreeMemory.
    virtual std::uint32_t console_session() = 0;
    virtual std::uint32_t enumerate_sessions(std::vector<session_entry>& out) = 0;
};

// Owners of process, thread and token handles, of snapshots (empty value: invalid_handle) and of
// environment blocks; each is released through the installed processes facility.
using unique_sys_handle = facility_handle<processes, sys_handle, &processes::close>;
using unique_snapshot = facility_handle<processes, sys_handle, &processes::close, invalid_handle>;
using unique_environment = facility_handle<processes, sys_handle, &processes::destroy_environment>;

}  // namespace winapi
