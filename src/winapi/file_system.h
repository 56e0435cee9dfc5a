// The file-system facility: a thin layer over the Win32 file calls that the program needs. Paths
// are wide Windows paths, relative ones resolve against the current directory as Windows does.
// File content travels as raw bytes in a std::string, exactly as stored on disk.
//
// Beside the facility, this header offers the few path and file routines built on it: joining
// paths, the parent folder, creating a folder with every missing folder above it, and writing a
// file so that it is replaced whole or not at all.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace winapi {

inline constexpr std::uint32_t error_path_not_found = 3;
inline constexpr std::uint32_t error_already_exists = 183;

// The step of a whole-file read or write that failed.
enum class file_step : std::uint8_t {
    none,     // success
    open,     // the file could not be opened or created
    read,     // reading its content failed
    write,    // writing the content failed
    flush,    // flushing the content to the disk failed
    replace,  // the written file could not take the place of the target
};

struct file_status {
    std::uint32_t error = 0;  // the Windows error of the failed step
    file_step step = file_step::none;

    bool ok() const noexcept { return step == file_step::none; }
};

class file_system {
public:
    virtual ~file_system() = default;

    // GetCurrentDirectoryW. Returns the Windows error (0 on success).
    virtual std::uint32_t current_directory(std::wstring& out) = 0;
    // SetCurrentDirectoryW.
    virtual std::uint32_t set_current_directory(const std::wstring& path) = 0;

    // Whether the path names an existing folder, or an existing file that is not a folder
    // (GetFileAttributesW).
    virtual bool folder_exists(const std::wstring& path) = 0;
    virtual bool file_exists(const std::wstring& path) = 0;

    // CreateDirectoryW of one folder; its parent must exist. An existing folder or file of that
    // name gives ERROR_ALREADY_EXISTS.
    virtual std::uint32_t create_folder(const std::wstring& path) = 0;

    // Reads the whole file (opened for reading, sharing read, write and delete). The status says
    // whether opening or reading failed; content is complete only on success.
    virtual file_status read_file(const std::wstring& path, std::string& content) = 0;

    // Creates the file or truncates an existing one, writes the whole content and flushes it to
    // the disk (FlushFileBuffers) before closing it.
    virtual file_status write_file(const std::wstring& path, std::string_view content) = 0;

    // Puts source in the place of target in one step, replacing an existing target, and returns
    // only when the move reached the disk (MoveFileExW with MOVEFILE_REPLACE_EXISTING and
    // MOVEFILE_WRITE_THROUGH). Both must be on the same volume.
    virtual std::uint32_t replace_file(const std::wstring& source, const std::wstring& target) = 0;

    // DeleteFileW.
    virtual std::uint32_t delete_file(const std::wstring& path) = 0;
};

// Creates folder and every missing folder above it through the installed facility. An existing
// folder is success. Returns the Windows error of the failed creation (0 on success).
std::uint32_t create_folder_tree(const std::wstring& folder);

// Writes content to a temporary file beside path, flushes it and then moves it over path in one
// step, so path always holds either its previous content or the new one in full, even when the
// process dies on the way. On failure the temporary file is removed and path is untouched.
file_status write_file_replacing(const std::wstring& path, std::string_view content);

// The temporary file that write_file_replacing writes before it replaces path.
std::wstring replacement_file_name(const std::wstring& path);

}  // namespace winapi
