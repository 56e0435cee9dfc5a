// Whole-file reads for the configuration files, through the file-system facility.
#pragma once

#include <string>

#include "stdext/expected.h"

namespace platform::config {

// The file's bytes; fails when it cannot be opened or read.
stdext::expected<std::string> read_file_bytes(const std::wstring& path);

}  // namespace platform::config
