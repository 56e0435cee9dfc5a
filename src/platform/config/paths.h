// The installation folder, the settings file path and the Windows path rules they are built
// with. The rules are implemented here rather than taken from std::filesystem because the
// program's paths are Windows paths on every build (drive letters, UNC names, backslashes).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform::config {

// The settings file path for an installation folder and the "path" member of its version
// record (when the record could be read).
[[nodiscard]] std::wstring settings_path_for(std::wstring_view folder,
                                             const std::optional<std::string>& record_path);

// The folder of the running executable with its trailing backslash, empty when the program's
// path cannot be had. Computed once, on first use.
[[nodiscard]] const std::wstring& install_folder();
// The product settings file ("settings\Corvel.json" under the folder the version record names),
// as fix_start_paths fixed it; without that, the one directly under install_folder.
[[nodiscard]] const std::wstring& settings_file_path();

// Fixes both paths for the rest of the run, with the "path" member of the agent's version record
// when it could be read. The program does so before its entry point does anything else, so the
// settings file is the one named by the version record the program started with, even when a
// local update rewrites that record later in the run. The path is fixed once, by the first call
// of this or of settings_file_path; later calls change nothing.
void fix_start_paths(const std::optional<std::string>& record_path);

}  // namespace platform::config
