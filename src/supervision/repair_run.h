// One check of the agent and the ladder of remedies it climbs when the agent is unhealthy:
//
//   1. nothing while an agent update is in progress;
//   2. a running service with intact settings gets the small fixes only (links, the UI
//      executable, the discovery component);
//   3. a stopped service with intact settings is started, at most three times in a row;
//   4. anything else, or a small fix or start that fails, reinstalls the agent;
//   5. after three reinstalls, the last less than three hours ago, a remote update comes first.
//
// A run that goes beyond step 2 writes a section into the repair log, keeps its counters in the
// state file and sends a paced report with a JSON record of what it saw.
//
//     supervision::check_and_repair(supervision::update::exec, sources);
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "stdext/expected.h"
#include "supervision/agent_service.h"
#include "telemetry/m_agent_repaired.h"

namespace supervision {

// The settings files of the agent, relative to the supervisor's folder, in the order tested.
inline constexpr const wchar_t* settings_files[] = {L"vdnc.ini", L"settings\\Corvel.json"};

// Repair count from which a remote update is tried, while the last repair is younger than
// remote_update_window seconds.
inline constexpr std::uint32_t repairs_before_update = 3;
inline constexpr std::uint64_t remote_update_window = 10800;
// Start count from which a stopped service is reinstalled instead of started.
inline constexpr std::uint32_t starts_before_repair = 3;
// Least seconds between two reports; the elapsed time assumed when the last one lies ahead.
inline constexpr std::uint64_t report_interval = 1800;
inline constexpr std::uint64_t report_elapsed_when_ahead = 1801;

// The action words of the report.
inline constexpr const wchar_t* action_start_service = L"start_service";
inline constexpr const wchar_t* action_repair = L"repair";
inline constexpr const wchar_t* action_json_update = L"json_update";

// What a run found out about the agent.
struct check_results {
    bool valid_settings = false;
    bool service_running = false;
    std::optional<bool> symlinks;  // absent when the links were not tested
    std::optional<bool> agent_ui;  // absent when the UI executable was not tested
};

// Whether the agent service runs; false (logged) when it cannot be asked.
[[nodiscard]] bool is_service_running();

// Whether file matches the MD5 digest on the first line of its ".md5" companion.
[[nodiscard]] bool has_valid_checksum(const std::wstring& file);

// The one-line JSON record of a run. A stopped service's record also carries its registry values
// (or the error of reading them), its stages text and its events text, each as given.
[[nodiscard]] std::wstring compose_run_record(
    const check_results& results, const stdext::expected<service_reg_values>& reg_values,
    const std::wstring& service_stages, const std::wstring& win_events_log);
// The registry text as a JSON string body: backslashes doubled, then double quotes escaped.
[[nodiscard]] std::wstring escape_reg_text(const std::wstring& text);

// Sends the repair event with record and action unless the last report is less than 30 minutes
// old; the report time is kept only for an event that was submitted. The event's settings,
// identifiers and device facts come from sources.
void report_agent_repair(const std::wstring& record, const std::wstring& action,
                         const telemetry::repair_event_sources& sources);

// The remote update; true when it took over.
using remote_update = std::function<bool()>;

// One check-and-repair run. Raises std::runtime_error "ExecuteProcessInSession failed" when the
// installer cannot be started, and whatever the service control manager's opening raises.
void check_and_repair(const remote_update& update, const telemetry::repair_event_sources& sources);

}  // namespace supervision
