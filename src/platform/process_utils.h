// Processes and sessions: the session in which programs are started for the interactive user,
// starting a program there with a token taken from that session's "winlogon.exe", switching
// SeDebugPrivilege on the calling thread, and the system's process list.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "winapi/processes.h"

namespace platform {

// The session to start programs in: the console session when it is active, otherwise the last
// active session of the enumeration, otherwise the console session.
[[nodiscard]] std::uint32_t get_target_session();
// The first active session of the enumeration, or the console session.
[[nodiscard]] std::uint32_t get_first_active_session();

// The id of the process named `name` (ignoring case) that runs in `session`; 0 when there is
// none or the process list cannot be read (logged).
[[nodiscard]] std::uint32_t GetProcessPid(const std::wstring& name, std::uint32_t session);

// A primary token for `session` (0: the first active session), duplicated from the session's
// "winlogon.exe", with SeDebugPrivilege enabled; empty on failure (logged).
[[nodiscard]] winapi::unique_sys_handle GetUserToken(std::uint32_t session);

// Starts `path` with `arguments` in `session` as that session's user, without waiting for it.
// Returns 0, or the Windows error (31 when no token could be had).
[[nodiscard]] std::uint32_t ExecuteProcessInSession(const std::wstring& path, std::uint32_t session,
                                                    const std::optional<std::wstring>& arguments);

// Enables or disables SeDebugPrivilege in `token`, keeping its other attribute bits.
[[nodiscard]] bool set_privilege(winapi::sys_handle token, bool enable);

// SeDebugPrivilege on the calling thread for the scope's lifetime. The thread is made to
// impersonate the process when it has no token of its own; that impersonation is kept after the
// scope ends.
class privilege_scope {
public:
    privilege_scope();
    ~privilege_scope();
    privilege_scope(const privilege_scope&) = delete;
    privilege_scope& operator=(const privilege_scope&) = delete;

    [[nodiscard]] bool active() const noexcept { return static_cast<bool>(token_); }

private:
    winapi::unique_sys_handle token_;
};

// Visits the processes of all sessions; raises a system_error naming the failed step when the list
// cannot be read, after visiting the entries before it. An empty list is no error.
void for_each_process(const std::function<void(const winapi::process_entry&)>& visit);
// The first process in the system's order for which match is true, or none; the entries after
// it are not looked at. Raises as for_each_process.
[[nodiscard]] std::optional<winapi::process_entry> find_process(
    const std::function<bool(const winapi::process_entry&)>& match);

}  // namespace platform
