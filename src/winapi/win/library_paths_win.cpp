// clang-format off
#include <windows.h>
#include <winternl.h>
#include <psapi.h>
// clang-format on

#include <atomic>
#include <vector>

#include "winapi/win/final_path.h"
#include "winapi/win/handles.h"
#include "winapi/win/system_facilities.h"

namespace winapi {
namespace {

using load_library_ex_fn = HMODULE(WINAPI*)(LPCWSTR, HANDLE, DWORD);
using nt_create_file_fn = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                           PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                           ULONG, PVOID, ULONG);
using nt_close_fn = NTSTATUS(NTAPI*)(HANDLE);
using status_to_error_fn = ULONG(NTAPI*)(NTSTATUS);

// The loader entry the data-file loads go through; an interception replaces it with the entry
// that reaches the real loader.
std::atomic<load_library_ex_fn> library_loader{&::LoadLibraryExW};

// ntdll's file opening, looked up once.
struct ntdll_entries {
    nt_create_file_fn create_file = nullptr;
    nt_close_fn close = nullptr;
    status_to_error_fn to_error = nullptr;
};

template <class F>
F entry(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

const ntdll_entries& ntdll() {
    static const ntdll_entries entries = [] {
        ntdll_entries e;
        if (HMODULE module = ::GetModuleHandleW(L"ntdll.dll")) {
            e.create_file = entry<nt_create_file_fn>(module, "NtCreateFile");
            e.close = entry<nt_close_fn>(module, "NtClose");
            e.to_error = entry<status_to_error_fn>(module, "RtlNtStatusToDosError");
        }
        return e;
    }();
    return entries;
}

stdext::unexpected<stdext::error> failed(DWORD code, const char* step) {
    return stdext::unexpected(win_failure(code, step));
}

class windows_library_paths final : public library_paths {
public:
    stdext::expected<std::wstring> system_folder() override {
        return folder(&::GetSystemDirectoryW, "GetSystemDirectoryW");
    }

    stdext::expected<std::wstring> windows_folder() override {
        return folder(&::GetWindowsDirectoryW, "GetWindowsDirectoryW");
    }

    stdext::expected<std::wstring> environment_variable(const std::wstring& name) override {
        std::vector<wchar_t> buffer(MAX_PATH);
        for (;;) {
            ::SetLastError(ERROR_SUCCESS);
            const DWORD length = ::GetEnvironmentVariableW(name.c_str(), buffer.data(),
                                                           static_cast<DWORD>(buffer.size()));
            if (length == 0 && ::GetLastError() != ERROR_SUCCESS) {
                return failed(::GetLastError(), "GetEnvironmentVariableW");
            }
            if (length < buffer.size()) {
                return std::wstring(buffer.data(), length);
            }
            buffer.assign(length, L'\0');
        }
    }

    stdext::expected<hmodule> load_library(const std::wstring& name, std::uint32_t flags) override {
        HMODULE module = library_loader.load()(name.c_str(), nullptr, flags);
        if (module == nullptr) {
            return failed(::GetLastError(), "LoadLibraryExW");
        }
        return from_native(module);
    }

    void free_library(hmodule module) override {
        last_error_guard keep;
        ::FreeLibrary(to_native<HMODULE>(module));
    }

    stdext::expected<std::wstring> mapped_file_name(hmodule module) override {
        for (DWORD size = 200;; size = std::min<DWORD>(2 * size, long_path_capacity)) {
            std::vector<wchar_t> buffer(size);
            const DWORD length = ::K32GetMappedFileNameW(
                ::GetCurrentProcess(), to_native<void*>(module), buffer.data(), size);
            if (length != 0) {
                return std::wstring(buffer.data(), length);
            }
            const DWORD error = ::GetLastError();
            if (error != ERROR_INSUFFICIENT_BUFFER || size >= long_path_capacity) {
                return failed(error, "K32GetMappedFileNameW");
            }
        }
    }

    stdext::expected<std::wstring> final_path_of_nt_path(const std::wstring& nt_path) override {
        const ntdll_entries& nt = ntdll();
        if (nt.create_file == nullptr || nt.close == nullptr) {
            return failed(ERROR_PROC_NOT_FOUND, "NtCreateFile");
        }
        UNICODE_STRING name{};
        name.Buffer = const_cast<wchar_t*>(nt_path.c_str());
        name.Length = static_cast<USHORT>(nt_path.size() * sizeof(wchar_t));
        name.MaximumLength = name.Length;
        OBJECT_ATTRIBUTES attributes{};
        InitializeObjectAttributes(&attributes, &name, 0, nullptr, nullptr);
        IO_STATUS_BLOCK io{};
        HANDLE file = INVALID_HANDLE_VALUE;
        constexpr ULONG file_open = 1;
        constexpr ULONG file_non_directory_file = 0x40;
        const NTSTATUS status =
            nt.create_file(&file, FILE_READ_DATA | FILE_READ_ATTRIBUTES, &attributes, &io, nullptr,
                           0, FILE_SHARE_READ, file_open, file_non_directory_file, nullptr, 0);
        if (status < 0) {
            return failed(nt.to_error ? nt.to_error(status) : static_cast<DWORD>(status),
                          "NtCreateFile");
        }
        auto path = final_path_by_handle(file, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS,
                                         final_path_retry::twice_reported_length);
        if (file != INVALID_HANDLE_VALUE) {
            last_error_guard keep;
            nt.close(file);
        }
        return path;
    }

    stdext::expected<std::wstring> dos_device(wchar_t letter) override {
        const wchar_t drive[] = {letter, L':', L'\0'};
        std::vector<wchar_t> buffer(MAX_PATH);
        if (::QueryDosDeviceW(drive, buffer.data(), static_cast<DWORD>(buffer.size())) == 0) {
            return failed(::GetLastError(), "QueryDosDeviceW");
        }
        return std::wstring(buffer.data());
    }

    stdext::expected<std::wstring> long_path(const std::wstring& path) override {
        std::vector<wchar_t> buffer(MAX_PATH);
        for (;;) {
            const DWORD length =
                ::GetLongPathNameW(path.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
            if (length == 0) {
                return failed(::GetLastError(), "GetLongPathNameW");
            }
            if (length < buffer.size()) {
                return std::wstring(buffer.data(), length);
            }
            buffer.assign(length, L'\0');
        }
    }

    stdext::expected<std::wstring> final_path(const std::wstring& path,
                                              final_path_form form) override {
        const unique_file_handle object(
            ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!object) {
            return failed(::GetLastError(), "CreateFileW");
        }
        return final_path_by_handle(object.get(), FILE_NAME_NORMALIZED | static_cast<DWORD>(form),
                                    final_path_retry::twice_reported_length);
    }

    std::uint32_t last_error() override { return ::GetLastError(); }

private:
    static stdext::expected<std::wstring> folder(UINT(WINAPI* get)(LPWSTR, UINT),
                                                 const char* step) {
        std::vector<wchar_t> buffer(MAX_PATH);
        for (;;) {
            const UINT length = get(buffer.data(), static_cast<UINT>(buffer.size()));
            if (length == 0) {
                return failed(::GetLastError(), step);
            }
            if (length < buffer.size()) {
                return std::wstring(buffer.data(), length);
            }
            buffer.assign(length, L'\0');
        }
    }
};

}  // namespace

library_paths& windows_library_paths_instance() {
    static windows_library_paths instance;
    return instance;
}

void use_library_loader(void* load_library_ex_w) noexcept {
    library_loader.store(load_library_ex_w != nullptr
                             ? reinterpret_cast<load_library_ex_fn>(load_library_ex_w)
                             : &::LoadLibraryExW);
}

}  // namespace winapi
