// Whole-file reads for the configuration files. Paths are wide Windows paths on Windows and
// the test's own paths on other systems.
#pragma once

#include <optional>
#include <string>

namespace config {

// The file's bytes, or nothing when it cannot be opened or read.
std::optional<std::string> read_file_bytes(const std::wstring& path);

}  // namespace config
