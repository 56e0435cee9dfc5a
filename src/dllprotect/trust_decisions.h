// The decisions the interception asks for each library: where the requested name really resolves
// to, whether that place is trusted, whether the file is blacklisted, whether ordinary users could
// have planted it, and whether it carries a valid embedded signature. A library is acceptable in
// the Windows folders, in the program's own folder under Program Files, in a folder ordinary users
// cannot write, or when it is signed; anything else is a VULNERABLE_PATH.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "dllprotect/protect_types.h"
#include "stdext/expected.h"
#include "winapi/file_identity.h"

namespace dllprotect {

// The folders whose libraries need no further check, captured once at process start.
struct trusted_dirs {
    std::wstring system_dir;
    std::wstring windows_dir;
    std::wstring program_files_dir;  // empty without the "ProgramFiles" variable
    std::wstring exe_dir;            // ends with "\"
};

// One drive letter and the NT device name behind it, ending with "\".
struct nt_device {
    std::wstring device;
    wchar_t letter = L'\0';
};

// A folder whose canonical form and identity were found once, so that the comparisons of every
// load need not open it again.
struct known_folder {
    std::wstring path;       // as given
    std::wstring canonical;  // its final path without the "\\?\" prefix
    std::size_t elements = 0;
    winapi::file_id id;
};

// What the engine's checks and events read on every load. It is filled before the engine intercepts
// anything and only read afterwards, so the hooks share it without a lock.
struct decision_state {
    std::uint32_t options = 0;
    trusted_dirs dirs;
    std::vector<nt_device> devices;
    // Lower-case path suffixes; a path ending with one of them is refused.
    std::set<std::wstring> blacklist;
    // The trusted folders that exist, found when they were captured.
    std::vector<known_folder> known_folders;
    // Where events go when there is no consumer; empty: nowhere.
    std::wstring dump_file_path;
};

// The process's one state.
[[nodiscard]] decision_state& decisions() noexcept;

// The system, Windows, Program Files and executable folders, with the canonical form and
// identity of each.
void capture_trusted_dirs();
// The device name of every drive letter that has one.
void build_nt_device_table();
// Fills the blacklist from "dllblacklist.json" beside the executable. A missing or malformed file
// leaves it empty; entries that are not strings are skipped.
void readBlacklistJson();

// The path with a "\\?\" prefix when it is 200 characters or longer and has none yet.
[[nodiscard]] std::wstring to_extended_path(const std::wstring& path);

// Whether the file lies in the folder or below it; the folder is compared by identity, so links
// and other spellings of it count. A file or folder that is missing or of the other kind is a
// "no"; one that cannot be examined is an error.
[[nodiscard]] stdext::expected<bool> is_inside_dir(const std::wstring& file,
                                                   const std::wstring& folder);

namespace helpers {
// In the system or Windows folder, or in the executable's folder when that lies under Program
// Files.
[[nodiscard]] bool is_trusted_path(const std::wstring& path);
}  // namespace helpers

// Whether the lower-cased path ends with a blacklist entry.
[[nodiscard]] bool is_blacklisted(std::wstring path);

// The embedded signature verifies (catalogs are not consulted).
[[nodiscard]] bool VerifyEmbeddedSignature(const std::wstring& path);

// The DOS path of a file known by its NT path: opened directly when ntdll allows it, otherwise
// through the drive-letter table and the long form of the result.
[[nodiscard]] stdext::expected<std::wstring> get_module_path_extended(const std::wstring& nt_path);

// The checks of one library, in their fixed order; the first that decides wins. `load_path` is
// where the library resolved to, `error_info` explains a finding.
[[nodiscard]] ProtectResult PerformSecurityChecks(const std::wstring& requested_name,
                                                  std::uint32_t flags, std::wstring& load_path,
                                                  std::string& error_info);

}  // namespace dllprotect
