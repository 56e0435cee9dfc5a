// The local update: the agent stages a newer version in a version folder beside the current one
// and announces it with the update record ".\update.json" in the product folder. The supervisor
// hands over by running the staged "CorvelService.exe update_ready" and waiting for its exit
// code; 0 means the staged version took over.
//
// Attempts are paced by the "local_update" section of the state file: a staged version is tried
// on every run until three attempts have failed, then at most one series of three attempts is
// made per three hours.
//
//     if (supervision::try_local_update(sources)) { /* the check-and-repair run is skipped */ }
//
// The program folder is the current directory; the product folder is its parent. Nothing here
// raises: failures are logged and become false or nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "supervision/storage/storage.h"
#include "telemetry/m_agent_repaired.h"

namespace supervision {

// Failed attempts for one staged version after which the next attempt waits, and how long, in
// seconds since the last failed attempt.
inline constexpr std::uint32_t local_update_attempts = 3;
inline constexpr std::int64_t local_update_window = 10800;

// The update record when one is staged and differs from the version record in its version or
// its path (or the version record cannot be read); nothing otherwise.
[[nodiscard]] std::optional<storage::update_record> need_local_update();

// Runs the staged "CorvelService.exe update_ready" of record's version folder and waits for it
// without a limit. True when it exited with code 0.
[[nodiscard]] bool run_update(const storage::update_record& record);

// Removes ".\update.json" from the product folder; a failure is logged.
void delete_update_json();

// The one-line JSON text that the report of a local update carries: the record's values as they
// are, without escaping.
[[nodiscard]] std::wstring local_update_run_record(const storage::update_record& record);

// One paced attempt at the staged update, reported before it is run. True when the staged
// version took over; the update record is then removed and the attempt record cleared.
[[nodiscard]] bool try_local_update(const telemetry::repair_event_sources& sources);

}  // namespace supervision
