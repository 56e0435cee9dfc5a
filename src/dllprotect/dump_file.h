// The engine's fallback sink: with no events queue, each event is appended, encrypted, to the
// dump file (decisions().dump_file_path) on the thread that raised it. Every failure is traced and
// swallowed; a failed write leaves the file as it was before the record.
#pragma once

#include <cstdint>
#include <string>

#include "dllprotect/protect_types.h"
#include "winapi/append_file.h"

namespace dllprotect {

// Past this size the file starts again from empty before the next record.
inline constexpr std::uint64_t dump_file_size_limit = 0xA00000;
// Opens that meet a sharing violation are tried this many more times, this far apart.
inline constexpr int dump_open_retries = 10;
inline constexpr std::uint32_t dump_open_retry_ms = 10;

// Appends the event to the dump file; false when there is no path or the file cannot be opened.
bool DumpDllProtEvent(DllProtectInfo info);

// Writes one record: the plaintext text, encrypted, behind its length. False when encrypting or
// either write failed; the caller then cuts the file back.
bool DumpEventToFile(winapi::append_handle file, const std::string& text);

}  // namespace dllprotect
