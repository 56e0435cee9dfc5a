// The supervisor's start-up, command and tear-down. Everything the process acquires on the way
// is released in reverse order on every path, and the exit code is always 0: the program is
// started by its scheduled task and has nobody to report to but its log.
#pragma once

#include <optional>
#include <string>

#include "app/commands.h"
#include "app/startup_parts.h"

namespace app {

// Runs the whole process once: checks, logging, the command of the command line, tear-down.
int run_entry(startup_parts& parts, const command_table& commands);

// Makes the folder of the running program the current directory, so that the program's relative
// paths resolve against its installation folder.
void enter_module_folder();

// Path helpers, with the rules of the Windows shell functions the program relies on.
// The folder part of a path, as PathRemoveFileSpecW leaves it ("C:\a\b.exe" -> "C:\a",
// "C:\b.exe" -> "C:\").
std::wstring remove_file_spec(const std::wstring& path);
// The path with one trailing backslash, as PathAddBackslashW makes it.
std::wstring add_backslash(const std::wstring& path);

// The full path of the running program; nothing when it cannot be had completely.
std::optional<std::wstring> module_path();
// The folder of the running program without a trailing backslash.
std::optional<std::wstring> module_folder();

// The "Program Files" folder of the machine's native architecture.
std::optional<std::wstring> program_files_folder();

// True when `folder`, or its parent folder, is the same file-system object as `target`.
bool is_folder_or_child_of(const std::wstring& folder, const std::wstring& target);

}  // namespace app
