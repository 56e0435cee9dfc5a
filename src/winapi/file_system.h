// The file-system facility: the file tasks the program needs, over the Win32 file calls. Paths
// are wide Windows paths, relative ones resolve against the current directory as Windows does.
// File content travels as raw bytes in a std::string, exactly as stored on disk. An error's text
// names the Win32 call that failed; the texts below are the ones callers tell apart.
#pragma once

#include <string>
#include <string_view>

#include "stdext/expected.h"

namespace winapi {

// The steps of reading or writing a whole file; a failure of read_file or write_file names its
// step and carries the step's text.
enum class file_step { create = 1, read, write, flush };

// Opening or creating a file failed.
inline constexpr std::string_view create_file_failed = "CreateFile failed";
// Reading an opened file failed.
inline constexpr std::string_view read_file_failed = "ReadFile failed";
// Writing or flushing an opened file failed.
inline constexpr std::string_view write_file_failed = "WriteFile failed";
inline constexpr std::string_view flush_file_failed = "FlushFileBuffers failed";

[[nodiscard]] constexpr std::string_view step_text(file_step step) noexcept {
    switch (step) {
        case file_step::create:
            return create_file_failed;
        case file_step::read:
            return read_file_failed;
        case file_step::write:
            return write_file_failed;
        case file_step::flush:
            return flush_file_failed;
    }
    return {};
}

// What a path names. status() follows symbolic links and never answers symlink;
// symlink_status() looks at the path itself.
enum class file_type { not_found, regular, directory, symlink, other };

class file_system {
public:
    virtual ~file_system() = default;

    [[nodiscard]] virtual stdext::expected<std::wstring> current_directory() = 0;
    [[nodiscard]] virtual stdext::expected<void> set_current_directory(
        const std::wstring& path) = 0;

    // Creates the folder and every missing folder above it; an existing folder is success. The
    // error is that of the first creation that failed.
    [[nodiscard]] virtual stdext::expected<void> create_folder_tree(const std::wstring& folder) = 0;

    // The whole content (opened for reading, sharing read, write and delete). Fails at
    // file_step::create or file_step::read.
    [[nodiscard]] virtual stdext::expected<std::string> read_file(const std::wstring& path) = 0;

    // The three steps of write_file_replacing stay apart so that it can choose its temporary
    // file and clean up after each failed step.
    //
    // Creates the file or truncates an existing one, writes the whole content and flushes it to
    // the disk before closing it. Fails at file_step::create, file_step::write or
    // file_step::flush.
    [[nodiscard]] virtual stdext::expected<void> write_file(const std::wstring& path,
                                                            std::string_view content) = 0;
    // Puts source in the place of target in one step, replacing an existing target, and returns
    // only when the move reached the disk. Both must be on the same volume.
    [[nodiscard]] virtual stdext::expected<void> move_file_replacing(
        const std::wstring& source, const std::wstring& target) = 0;
    [[nodiscard]] virtual stdext::expected<void> delete_file(const std::wstring& path) = 0;

    // The type of what path names after following its links: not_found also for a link whose
    // target is missing. Failures other than a missing path or folder are errors.
    [[nodiscard]] virtual stdext::expected<file_type> status(const std::wstring& path) = 0;
    // The type of path itself: symlink for a symbolic link (of a file or a folder), other for
    // any other reparse point.
    [[nodiscard]] virtual stdext::expected<file_type> symlink_status(const std::wstring& path) = 0;
    // The target a symbolic link names, as written in the link (its print name). A path that is
    // no symbolic link is an error.
    [[nodiscard]] virtual stdext::expected<std::wstring> read_symlink(const std::wstring& path) = 0;
    // Removes the entry path names: a link itself (never its target), a file, or an empty
    // folder. A folder with content stays and gives the system's error (145).
    [[nodiscard]] virtual stdext::expected<void> remove(const std::wstring& path) = 0;
    // Creates a symbolic link at path to target, a folder link when directory is set. It is
    // asked for without the privilege first and made once more with the privilege when the
    // system does not know that request (87). A taken name is an error (183).
    [[nodiscard]] virtual stdext::expected<void> create_symlink(const std::wstring& target,
                                                                const std::wstring& path,
                                                                bool directory) = 0;
    // Copies the file source to target; fails when target exists in any form (80 for a file).
    [[nodiscard]] virtual stdext::expected<void> copy_file(const std::wstring& source,
                                                           const std::wstring& target) = 0;
};

// Writes content to a temporary file beside path, flushes it and then moves it over path in one
// step, so path always holds either its previous content or the new one in full, even when the
// process dies on the way. On failure the temporary file is removed and path is untouched. A
// temporary name that something else holds (a folder, a read-only file) is passed over for the
// next free one.
[[nodiscard]] stdext::expected<void> write_file_replacing(const std::wstring& path,
                                                          std::string_view content);

// The temporary files that write_file_replacing tries, in this order, before it gives up.
inline constexpr int replacement_attempts = 4;
[[nodiscard]] std::wstring replacement_file_name(const std::wstring& path, int attempt);

}  // namespace winapi
