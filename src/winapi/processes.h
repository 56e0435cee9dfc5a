// The processes facility, at the level of the program's tasks: the process list, the session and
// image path of a process, a session user's token, starting, waiting for and ending processes,
// the terminal sessions and SeDebugPrivilege on the calling thread. Each operation that can fail
// returns the Windows error with a text naming the step that failed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "stdext/expected.h"
#include "stdext/unique_handle.h"
#include "winapi/facility.h"

namespace winapi {

// A process, thread or token handle, opaque.
enum class sys_handle : std::uintptr_t { null = 0 };

// Access rights of OpenProcess used by the program.
inline constexpr std::uint32_t process_query_information = 0x0400;
inline constexpr std::uint32_t process_vm_read = 0x0010;
// The wait result of a signalled process, and the time-out of a wait without limit.
inline constexpr std::uint32_t wait_object_0 = 0;
inline constexpr std::uint32_t infinite = 0xFFFFFFFF;
// The connection state of a logged-on, active session.
inline constexpr std::uint32_t wts_active = 0;

// The fields of a toolhelp process record that the program reads.
struct process_entry {
    std::uint32_t process_id = 0;
    std::wstring exe_file;
    bool operator==(const process_entry&) const = default;
};

struct session_entry {
    std::uint32_t session_id = 0;
    std::wstring station_name;
    std::uint32_t state = 0;  // WTS_CONNECTSTATE_CLASS; wts_active = logged on and active
};

// Owner of a process or token handle; closes it through the installed processes facility.
struct sys_handle_traits {
    using handle_type = sys_handle;
    [[nodiscard]] static constexpr sys_handle empty() noexcept { return sys_handle::null; }
    static void close(sys_handle h) noexcept;
};
using unique_sys_handle = stdext::unique_handle<sys_handle_traits>;

// The steps of a walk over the processes; a failure of for_each_process names its step.
enum class process_walk_step { snapshot = 1, first, next };
// The error text of a process list that could not be read past one of its entries.
inline constexpr const char* next_process_failed = "processes_iterator::increment failed";

class processes {
public:
    virtual ~processes() = default;

    // Visits the processes of a fresh snapshot of all sessions in the system's order until visit
    // returns false. Errors, by step: snapshot "CreateToolhelp32Snapshot failed", first
    // "Process32First failed" (also 18 for an empty list), and next (next_process_failed) for a
    // later entry that cannot be read, after the entries before it were visited.
    [[nodiscard]] virtual stdext::expected<void> for_each_process(
        const std::function<bool(const process_entry&)>& visit) = 0;
    // ProcessIdToSessionId.
    [[nodiscard]] virtual stdext::expected<std::uint32_t> session_of(std::uint32_t process_id) = 0;
    // The full path of the main module of process_id, opened with `access` and read with
    // K32GetModuleFileNameExW (32767 characters). Errors: "OpenProcess failed",
    // "GetModuleFileNameEx failed".
    [[nodiscard]] virtual stdext::expected<std::wstring> image_path(std::uint32_t process_id,
                                                                    std::uint32_t access) = 0;
    // OpenProcess(access) of process_id. Error: "OpenProcess failed".
    [[nodiscard]] virtual stdext::expected<unique_sys_handle> open(std::uint32_t process_id,
                                                                   std::uint32_t access) = 0;
    // The full path of the main module of an opened process, read with K32GetModuleFileNameExW
    // (32767 characters). Error: "GetModuleFileNameEx failed".
    [[nodiscard]] virtual stdext::expected<std::wstring> main_module_path(sys_handle process) = 0;
    // Opens process_id with terminate access and ends it with exit code 0. Errors:
    // "OpenProcess failed", "TerminateProcess failed".
    [[nodiscard]] virtual stdext::expected<void> terminate(std::uint32_t process_id) = 0;

    // A primary token for `session` duplicated from the token of process_id (a winlogon.exe),
    // with SeDebugPrivilege enabled. The error names the step as the caller logs it:
    // "OpenProcess pid=<id> failed", "OpenProcessToken pid=<id> failed", "LookupPrivilegeValue
    // failed", "DuplicateTokenEx failed", "SetTokenInformation failed", "AdjustTokenPrivileges
    // failed".
    [[nodiscard]] virtual stdext::expected<unique_sys_handle> session_token(
        std::uint32_t process_id, std::uint32_t session) = 0;
    // Starts command_line as the user of token, in its session, with an environment block made
    // for it (none when the block cannot be made), no window, normal priority and no inherited
    // handles. Error: "CreateProcessAsUser failed".
    [[nodiscard]] virtual stdext::expected<unique_sys_handle> start_as_user(
        sys_handle token, const std::wstring& command_line) = 0;
    // CreateProcessW with the caller's environment and current directory and no inherited
    // handles. Error: "CreateProcess failed".
    [[nodiscard]] virtual stdext::expected<unique_sys_handle> start(
        const std::wstring& command_line, std::uint32_t flags) = 0;
    // WaitForSingleObject: wait_object_0, or wait_timeout (258). Error: "WaitForSingleObject
    // failed".
    [[nodiscard]] virtual stdext::expected<std::uint32_t> wait(sys_handle process,
                                                               std::uint32_t timeout_ms) = 0;
    // GetExitCodeProcess: the exit code, or 259 (STILL_ACTIVE) while the process runs. Error:
    // "GetExitCodeProcess failed".
    [[nodiscard]] virtual stdext::expected<std::uint32_t> exit_code(sys_handle process) = 0;

    // The calling thread's token with privilege-adjust and query access; when the thread has none
    // it is made to impersonate the process first (that impersonation is not ended).
    [[nodiscard]] virtual stdext::expected<unique_sys_handle> thread_token() = 0;
    // Switches SeDebugPrivilege in token on or off, keeping its other attribute bits. Errors:
    // "LookupPrivilegeValue", "AdjustTokenPrivileges 1", "AdjustTokenPrivileges 2".
    [[nodiscard]] virtual stdext::expected<void> set_debug_privilege(sys_handle token,
                                                                     bool enable) = 0;

    // WTSGetActiveConsoleSessionId; WTSEnumerateSessionsW of the local server.
    [[nodiscard]] virtual std::uint32_t console_session() = 0;
    [[nodiscard]] virtual stdext::expected<std::vector<session_entry>> sessions() = 0;

    virtual void close(sys_handle handle) = 0;
};

inline void sys_handle_traits::close(sys_handle h) noexcept {
    if (processes* impl = facility<processes>::find()) {
        impl->close(h);
    }
}

}  // namespace winapi
