// The facility behind the repair log and its listing of the installed files: where the common
// application data lives, a recursive walk of a folder's files, a file's version resource, size
// and MD5 digest, and the log file opened as a wide stream that others may read and write.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "stdext/expected.h"

namespace winapi {

// The file version of a fixed file information block (VS_FIXEDFILEINFO).
struct fixed_file_version {
    std::uint32_t most_significant = 0;   // dwFileVersionMS
    std::uint32_t least_significant = 0;  // dwFileVersionLS
    bool operator==(const fixed_file_version&) const = default;
};

using md5_digest = std::array<std::uint8_t, 16>;

class diagnostics {
public:
    virtual ~diagnostics() = default;

    // SHGetFolderPathW(CSIDL_COMMON_APPDATA, no token, flags 0) into 32767 characters.
    [[nodiscard]] virtual stdext::expected<std::wstring> common_app_data_folder() = 0;

    // Walks folder and all its subfolders, depth first in the order the system lists each
    // folder, and hands every regular file's path (folder joined with the names below it) to
    // on_file as it is met. Links to folders are not followed. Fails when a folder cannot be
    // listed; the files met before stay handed out.
    [[nodiscard]] virtual stdext::expected<void> walk_files(
        const std::wstring& folder,
        const std::function<void(const std::wstring& path)>& on_file) = 0;

    // The version resource: GetFileVersionInfoSizeW (0 is an error with the last error), then
    // GetFileVersionInfoW into that many bytes.
    [[nodiscard]] virtual stdext::expected<std::vector<std::uint8_t>> version_info(
        const std::wstring& path) = 0;
    // The root block "\" of a version resource (VerQueryValueW).
    [[nodiscard]] virtual stdext::expected<fixed_file_version> fixed_version(
        const std::vector<std::uint8_t>& version_info) = 0;

    // The size in bytes (GetFileAttributesExW, standard information).
    [[nodiscard]] virtual stdext::expected<std::uint64_t> file_size(const std::wstring& path) = 0;

    // The MD5 digest of the file's content: the file opened for reading with read sharing and
    // the sequential-scan hint, hashed in chunks of 1024 bytes by CryptoAPI (verify-only context
    // of the full RSA provider, CALG_MD5). The error code is the last error of the failed step.
    [[nodiscard]] virtual stdext::expected<md5_digest> file_md5(const std::wstring& path) = 0;

    // The file, created when missing, as a wide text stream; other processes may read, write
    // and delete it while it is open. Before anything in it is cut or written, accept is shown
    // its final path (GetFinalPathNameByHandleW, empty when that fails): when accept refuses,
    // the file is closed as it was and the open fails with error 1656, so a name that leads
    // through a link or junction to another file changes nothing there. Otherwise an existing
    // file is truncated. The file is closed when the stream is dropped.
    [[nodiscard]] virtual stdext::expected<std::unique_ptr<std::wostream>> open_log_file(
        const std::wstring& path,
        const std::function<bool(const std::wstring& final_path)>& accept) = 0;
};

}  // namespace winapi
