// What the check-and-repair run records when the agent is unhealthy: the repair log file and the
// listing of the installed files written into it, file digests, the service's start stages and
// its recent Windows events as JSON text. None of these stops the run: failures give a closed
// stream, a shorter listing line, an empty text or "[]", with a log line.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "eventlog/win_events.h"
#include "stdext/expected.h"

namespace supervision {

// The folder of the repair logs when the common application data folder cannot be had.
inline constexpr wchar_t fallback_log_folder[] = L"c:\\temp\\Wardex\\";

// A wide output stream on a new repair log file "<date> <time with dots>.<ms> .log" in
// "<common application data>\VDLogging\Wardex\repair\"; never null. When the folder cannot be
// created, the file cannot be opened, or its name leads through a link or junction to another
// file, the stream is in a failed state and drops everything.
[[nodiscard]] std::unique_ptr<std::wostream> get_log_file();

// Writes "START enum files", one line per regular file under the current directory (a tab, the
// path, then " version=", " size=" and " md5=" parts as far as they can be had) and
// "END enum files", each line flushed. A folder that cannot be listed raises a
// std::filesystem::filesystem_error after the lines written so far.
void log_installed_files(std::wostream& out);

// The MD5 digest of the file as 32 lowercase hexadecimal digits; the error's code is the
// Windows error of the failed step.
[[nodiscard]] stdext::expected<std::string> get_file_md5(const std::wstring& path);

// "ServiceStages" (REG_SZ) of the product key under HKEY_LOCAL_MACHINE; empty when it cannot be
// read.
[[nodiscard]] std::wstring read_service_stages();

// The events since the last report (at most 720 hours back) as JSON text, "[]" when the events
// cannot be had.
[[nodiscard]] std::wstring get_service_win_events_log();

// The events as a JSON array: "[]" when there are none, else the events separated by ", ".
// Texts are written as they are, without escaping.
[[nodiscard]] std::wstring win_events_json(const std::vector<eventlog::win_event>& events);

// The window of the event queries in milliseconds: the time since the last report, or 720
// hours when that report is 720 hours or more back, in the future or never happened (0).
[[nodiscard]] std::int64_t event_window_ms(std::uint64_t now, std::uint64_t last_report_time);

}  // namespace supervision
