// The concrete fixes the check-and-repair run applies to an installed agent, and the two registry
// flags it consults or sets:
// - the three symbolic links by which the product folder points into the program folder;
// - the copy of "CorvelUI.exe" in the product folder;
// - the discovery component "PeerScout.exe" from the program folder: running, else installed
//   and started;
// - whether an agent update is in progress (a registry key exists);
// - the volatile "repaired" key set after a reinstall.
// The program folder is the current directory (the supervisor's own folder); its parent is the
// product folder. Every failure is logged and turned into a false, empty or zero result, except
// the system errors named with each operation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "stdext/expected.h"
#include "winapi/processes.h"

namespace supervision {

inline constexpr wchar_t ui_executable_name[] = L"CorvelUI.exe";
inline constexpr wchar_t discovery_executable_name[] = L"PeerScout.exe";

// One link to restore: where it must be (in the product folder, as built), what it must point
// at (in link_target_normal_form) and whether it is a folder link.
struct link_entry {
    std::wstring path;
    std::wstring target;
    bool is_directory = false;
};

// The form in which a link's target is stored and compared: one trailing separator dropped,
// A-Z in lower case, then the lexically normal form with backslashes.
[[nodiscard]] std::wstring link_target_normal_form(std::wstring_view path);

// The links "settings", "apps_data" (folders) and "CorvelDP.dll" (a file) of the product folder,
// each pointing at the item of the same name in the program folder.
class symlinks {
public:
    // Builds the list from the current directory when the product folder's version record can be
    // read; otherwise (logged) the list is absent.
    symlinks();

    // Puts every link of the list in place: a missing one is created, a link with another target
    // and anything else in its place are removed first. A failed entry does not stop the others.
    // True when every entry is in place; false without a list.
    [[nodiscard]] bool restore();

    [[nodiscard]] const std::optional<std::vector<link_entry>>& entries() const;

private:
    std::optional<std::vector<link_entry>> entries_;
};

// Copies "CorvelUI.exe" from the program folder into the product folder unless a regular file of
// that name is there already. True when the product folder holds the file afterwards.
[[nodiscard]] bool restore_corvelui();

// The registry path whose existence says an agent update is in progress: the product registry
// path of "IServConfig.dll" followed by "Install\AgentUpdating".
class agent_updating {
public:
    // Throws std::runtime_error "failed load IServConfig.dll" or "failed get
    // SZ_REG_PATH_PRODUCT".
    agent_updating();
    [[nodiscard]] const std::wstring& path() const;

private:
    std::wstring path_;
};

namespace agent_kit {
// True when the updating key exists under HKEY_LOCAL_MACHINE in the 64-bit view; false when it
// does not or its path cannot be had (logged).
[[nodiscard]] bool is_updating();
}  // namespace agent_kit

// "PeerScout.exe" in the folder of the supervisor's executable.
[[nodiscard]] stdext::expected<std::wstring> build_process_path();

// Runs the discovery component with "install" and waits for it without a limit. True when it
// exited with code 0. A failed wait raises its system_error "WaitForSingleObject failed".
[[nodiscard]] bool install_upnp_component();
// Starts the discovery component without waiting for it; true when it was started.
[[nodiscard]] bool start_upnp_srv();
// Whether the discovery component of the supervisor's folder runs, looked up with
// SeDebugPrivilege enabled on the calling thread. Raises as get_peerscout.
[[nodiscard]] bool is_upnp_srv_started();
// The id of the first running "PeerScout.exe" whose executable lies in the supervisor's folder,
// 0 when none does. A process list that cannot be read raises its system_error.
[[nodiscard]] std::uint32_t get_peerscout();
// Whether entry is a "PeerScout.exe" (ignoring case) whose executable lies in folder (the same
// folder, whatever the spelling). A process that cannot be opened or read is not (logged).
[[nodiscard]] bool is_peerscout(const std::wstring& folder, const winapi::process_entry& entry);

// The registry path of the repaired marker: the product key (setting 6) followed by "repaired";
// none when the settings table lacks the product key.
[[nodiscard]] std::optional<std::wstring> repaired_marker_path();
// Creates (or opens) the marker key as a volatile key in the 32-bit view and closes it at once.
// The system error code, 0 on success; 31 for an empty path.
[[nodiscard]] std::uint32_t SetIsRepaired(const std::wstring& marker_path);

}  // namespace supervision
