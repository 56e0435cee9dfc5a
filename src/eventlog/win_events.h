// The agent service's recent history from the Windows event logs: the service control manager's
// events about the service from the System log, and the crash events of its executable from the
// Application log, newest first, within a window that reaches back a number of milliseconds from
// now. Errors are values: a Windows error number and a narrow text; nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "stdext/expected.h"

namespace eventlog {

// A rendered event value: absent, a text or an integer.
using event_value = std::optional<std::variant<std::wstring, std::int64_t>>;

// One System-log event: its id, its creation time in seconds since 1970-01-01 UTC and the
// EventData values named param1 to param4.
struct system_win_event_data {
    std::uint16_t id = 0;
    std::int64_t time = 0;
    event_value param1, param2, param3, param4;
    bool operator==(const system_win_event_data&) const = default;
};

// One Application-log event: its id, its creation time and every EventData value, in order.
struct app_win_event_data {
    std::uint16_t id = 0;
    std::int64_t time = 0;
    std::vector<std::wstring> data;
    bool operator==(const app_win_event_data&) const = default;
};

using win_event = std::variant<system_win_event_data, app_win_event_data>;

// The most events one query gives and the combined list holds.
inline constexpr std::size_t max_win_events = 25;
// The id of the Application log's crash events.
inline constexpr std::uint16_t app_crash_event_id = 1000;

// The query texts for a window of window_ms milliseconds.
[[nodiscard]] std::wstring system_events_query(std::int64_t window_ms);
[[nodiscard]] std::wstring app_events_query(std::int64_t window_ms);

// The newest events of the service control manager within the window that the filter accepts,
// at most 25. Events that cannot be rendered are skipped (logged at level 8); a failing fetch
// ends the walk with the events collected so far. Errors: the last error with
// "event_log::open failed" or "event_log::query failed".
[[nodiscard]] stdext::expected<std::vector<system_win_event_data>> get_system_win_events(
    std::int64_t window_ms, const std::function<bool(const system_win_event_data&)>& filter);

// The same for the crash events (id 1000 of "Application Error") of the Application log.
[[nodiscard]] stdext::expected<std::vector<app_win_event_data>> get_app_win_events(
    std::int64_t window_ms, const std::function<bool(const app_win_event_data&)>& filter);

// The System events whose param1 is exactly "CorvelService".
[[nodiscard]] stdext::expected<std::vector<system_win_event_data>>
get_corvelservice_system_win_events(std::int64_t window_ms);

// The crash events with a data text that names the agent executable beside the supervisor's
// folder ("<parent of the supervisor's folder>\CorvelService.exe"), letter case ignored.
[[nodiscard]] stdext::expected<std::vector<app_win_event_data>> get_corvelservice_app_win_events(
    std::int64_t window_ms);

// Both lists merged newest first, at most 25 events; on equal times the Application event comes
// first. A log that cannot be read is represented by a note event at the end of the other log's
// events (replacing the last of 25). Error 31 only when neither log can be read.
[[nodiscard]] stdext::expected<std::vector<win_event>> get_corvelservice_win_events(
    std::int64_t window_ms);

}  // namespace eventlog
