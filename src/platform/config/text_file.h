// Whole-file reads for the configuration files, through the file-system facility.
#pragma once

#include <optional>
#include <string>

namespace platform::config {

// The file's bytes, or nothing when it cannot be opened or read.
std::optional<std::string> read_file_bytes(const std::wstring& path);

}  // namespace platform::config
