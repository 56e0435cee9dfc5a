// The library-path facility: what the load protection asks Windows about a library before it is
// loaded: where the loader would find a name, the file behind a mapping, and the canonical and
// long forms of NT and DOS paths.
#pragma once

#include <cstdint>
#include <string>

#include "stdext/expected.h"
#include "winapi/modules.h"

namespace winapi {

inline constexpr std::uint32_t load_library_as_datafile = 0x2;

// The volume-name form GetFinalPathNameByHandleW gives.
enum class final_path_form : std::uint32_t {
    dos = 0,  // "\\?\C:\..." or "\\?\UNC\server\share\..."
    nt = 2,   // "\Device\HarddiskVolume1\..."
};

class library_paths {
public:
    virtual ~library_paths() = default;

    // GetSystemDirectoryW and GetWindowsDirectoryW.
    [[nodiscard]] virtual stdext::expected<std::wstring> system_folder() = 0;
    [[nodiscard]] virtual stdext::expected<std::wstring> windows_folder() = 0;
    // GetEnvironmentVariableW; a missing variable is error 203.
    [[nodiscard]] virtual stdext::expected<std::wstring> environment_variable(
        const std::wstring& name) = 0;

    // LoadLibraryExW(name, null, flags) through the loader's own entry, never an interception of
    // it; the error's code is the last error.
    [[nodiscard]] virtual stdext::expected<hmodule> load_library(const std::wstring& name,
                                                                 std::uint32_t flags) = 0;
    virtual void free_library(hmodule module) = 0;
    // K32GetMappedFileNameW of the running process: the NT path of the file mapped at module.
    // The buffer starts at 200 characters and doubles on each ERROR_INSUFFICIENT_BUFFER up to
    // 32767.
    [[nodiscard]] virtual stdext::expected<std::wstring> mapped_file_name(hmodule module) = 0;

    // Opens an NT path directly with ntdll's NtCreateFile (read data and attributes, share read,
    // an existing non-directory file) and gives GetFinalPathNameByHandleW(dos form) of it. Error
    // 127 when ntdll has no NtCreateFile or NtClose.
    [[nodiscard]] virtual stdext::expected<std::wstring> final_path_of_nt_path(
        const std::wstring& nt_path) = 0;
    // QueryDosDeviceW of "<letter>:" into 260 characters: the first device name.
    [[nodiscard]] virtual stdext::expected<std::wstring> dos_device(wchar_t letter) = 0;
    // GetLongPathNameW.
    [[nodiscard]] virtual stdext::expected<std::wstring> long_path(const std::wstring& path) = 0;
    // Opens a file or folder for attribute reading (backup semantics) and gives
    // GetFinalPathNameByHandleW of it in the form asked for.
    [[nodiscard]] virtual stdext::expected<std::wstring> final_path(const std::wstring& path,
                                                                    final_path_form form) = 0;

    // GetLastError: what the calling thread's last failed Windows call left.
    [[nodiscard]] virtual std::uint32_t last_error() = 0;
};

}  // namespace winapi
