// Control of the agent's Windows service: whether it runs, its registry values, and bringing it
// up the way the product's installer does (the agent executable with "install" and "enable",
// then a start through the service control manager with bounded waits for pending states).
#pragma once

#include <cstdint>
#include <string>

#include "stdext/expected.h"
#include "winapi/processes.h"
#include "winapi/service_manager.h"

namespace supervision {

inline constexpr wchar_t agent_service_name[] = L"CorvelService";
inline constexpr wchar_t agent_executable_name[] = L"CorvelService.exe";
inline constexpr wchar_t agent_service_key[] =
    L"SYSTEM\\CurrentControlSet\\Services\\CorvelService";
// Time-out of the pending-state waits and of the agent commands.
inline constexpr std::uint32_t agent_timeout_ms = 60000;

// Success, or the error with the text the start reports.
using status_result = stdext::expected<void>;

// The agent service behind an open service control manager.
class agent_service {
public:
    // Opens the manager; throws a system_error "OpenSCManager failed" when it cannot.
    agent_service();

    // True unless the service is stopped; false (logged) when it cannot be asked.
    bool is_running() const noexcept;

    // Runs the agent executable with "install" and "enable", then starts the service. Failures
    // of the two commands are reported only when the start fails as well.
    status_result start_agent_service() const;

    winapi::sc_handle manager() const noexcept { return manager_.get(); }

private:
    winapi::unique_sc_handle manager_;
};

namespace service {

// The agent service opened with `access`.
stdext::expected<winapi::unique_sc_handle> open(winapi::sc_handle manager, std::uint32_t access);

// The pause between two status queries of a pending state: a tenth of the wait hint, kept
// within 1..10 seconds.
std::uint32_t pending_pause(std::uint32_t wait_hint);

// Starts a stopped service. A stop that is still pending is waited for; once it has hung for
// longer than `timeout_ms` the agent's processes from the supervisor's folder are terminated
// on every further pass. A start that stays pending longer than `timeout_ms` is an error.
status_result start_service(winapi::sc_handle service, std::uint32_t timeout_ms);

}  // namespace service

// Runs "<parent of the supervisor's folder>\CorvelService.exe" with `word` and waits up to 60
// seconds for it; its exit code is not looked at.
status_result run_agent_command(const std::wstring& word);

// The service's registry values, numbers as unsigned decimal text.
struct service_reg_values {
    std::wstring image_path;
    std::wstring start;
    std::wstring type;
};
stdext::expected<service_reg_values> read_agent_reg_values();

// Starts command_line with the caller's environment and current directory; the process handle,
// or the Windows error.
stdext::expected<winapi::unique_sys_handle> create_process(const std::wstring& command_line,
                                                           std::uint32_t flags);

// The result of waiting for `process` (0 signalled, 258 timed out); throws a system_error
// "WaitForSingleObject failed" when the wait itself fails.
std::uint32_t wait_process(winapi::sys_handle process, std::uint32_t timeout_ms);

// The image path a process of the agent executable is expected to run from.
struct agent_image {
    std::wstring path;
};

// True when `entry` is a "CorvelService.exe" process whose image is `image` (ignoring case).
// A process whose image cannot be read does not match (logged).
bool operator==(const winapi::process_entry& entry, const agent_image& image);

}  // namespace supervision
