// The temporary folder, fresh files in it, and files written as raw bytes: where a download
// lands.
#pragma once

#include <memory>
#include <ostream>
#include <string>

#include "stdext/expected.h"

namespace winapi {

class temp_files {
public:
    virtual ~temp_files() = default;
    // GetTempPathW with a buffer of 261 characters, and again with the size it asks for when
    // the folder is longer. Ends with "\".
    [[nodiscard]] virtual stdext::expected<std::wstring> temp_folder() = 0;
    // GetTempFileNameW(folder, prefix, 0): creates an empty file named after the prefix, a
    // hexadecimal number and ".tmp", and returns its path.
    [[nodiscard]] virtual stdext::expected<std::wstring> unique_file(
        const std::wstring& folder, const std::wstring& prefix) = 0;
    // The file created, or truncated when it exists, as a byte stream without text translation.
    // The file is closed when the stream is dropped.
    [[nodiscard]] virtual stdext::expected<std::unique_ptr<std::ostream>> open_binary_output(
        const std::wstring& path) = 0;
    // DeleteFileW; a file that is not there is no error.
    [[nodiscard]] virtual stdext::expected<void> remove(const std::wstring& path) = 0;
};

}  // namespace winapi
