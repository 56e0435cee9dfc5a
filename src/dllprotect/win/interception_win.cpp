// The engine's interceptions on Windows: the replacements of the loading functions, of
// WinVerifyTrust and of ntdll's NtCreateSection, each with the exact signature and calling
// convention of what it replaces, and the transactions that put them in place and take them out.
// The decisions themselves are portable (load_hooks.h); this file only translates.

// clang-format off
#include <windows.h>
#include <winternl.h>
#include <wintrust.h>
// clang-format on

#include <string>
#include <vector>

#include "dllprotect/engine.h"
#include "dllprotect/interception.h"
#include "dllprotect/load_hooks.h"
#include "dllprotect/thread_state.h"
#include "dllprotect/trust_decisions.h"
#include "dllprotect/win/interception_win.h"
#include "intercept/detours.h"
#include "logging/dbg_trace/dbg_trace.h"
#include "logging/log.h"
#include "winapi/facility.h"
#include "winapi/win/final_path.h"
#include "winapi/win/system_facilities.h"

namespace dllprotect {
namespace {

using load_library_w_fn = HMODULE(WINAPI*)(LPCWSTR);
using load_library_ex_w_fn = HMODULE(WINAPI*)(LPCWSTR, HANDLE, DWORD);
using load_library_a_fn = HMODULE(WINAPI*)(LPCSTR);
using load_library_ex_a_fn = HMODULE(WINAPI*)(LPCSTR, HANDLE, DWORD);
using win_verify_trust_fn = LONG(WINAPI*)(HWND, GUID*, LPVOID);
using nt_create_section_fn = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                              PLARGE_INTEGER, ULONG, ULONG, HANDLE);

// The saved entries: the functions themselves until an attach commits, their trampolines while
// the interceptions are live.
load_library_w_fn TrueLoadLibraryW = &::LoadLibraryW;
load_library_ex_w_fn TrueLoadLibraryExW = &::LoadLibraryExW;
load_library_a_fn TrueLoadLibraryA = &::LoadLibraryA;
load_library_ex_a_fn TrueLoadLibraryExA = &::LoadLibraryExA;
win_verify_trust_fn TrueWinVerifyTrust = &::WinVerifyTrust;
nt_create_section_fn TrueNtCreateSection = nullptr;

constexpr ACCESS_MASK section_map_execute = 0x8;
constexpr ULONG page_execute = 0x10;
constexpr ULONG sec_image = 0x1000000;
// A refused section: the loader sees the creation fail and the load with it.
constexpr NTSTATUS status_access_denied = static_cast<NTSTATUS>(0xC0000022);

std::uintptr_t caller_of(void* return_address) {
    return reinterpret_cast<std::uintptr_t>(return_address);
}

HMODULE as_module(std::uintptr_t module) {
    return reinterpret_cast<HMODULE>(module);
}

std::wstring utf8_name(LPCSTR name) {
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, name, -1, nullptr, 0);
    if (length <= 0) {
        return {};
    }
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, name, -1, wide.data(), length);
    wide.resize(static_cast<std::size_t>(length) - 1);
    return wide;
}

HMODULE WINAPI LoadLibraryW_Hook(LPCWSTR name) {
    DLLPROTECT_TRACE_SCOPE(logging::level_trace);
    if (name == nullptr) {
        return TrueLoadLibraryExW(name, nullptr, 0);
    }
    return as_module(GenericLoadLibrary_Hook(name, nullptr, 0, "LoadLibraryW",
                                             caller_of(__builtin_return_address(0))));
}

HMODULE WINAPI LoadLibraryExW_Hook(LPCWSTR name, HANDLE file, DWORD flags) {
    DLLPROTECT_TRACE_SCOPE(logging::level_trace);
    if (name == nullptr || !is_checked_ex_load(flags)) {
        return TrueLoadLibraryExW(name, file, flags);
    }
    return as_module(GenericLoadLibrary_Hook(name, file, flags, "LoadLibraryExW",
                                             caller_of(__builtin_return_address(0))));
}

HMODULE WINAPI LoadLibraryA_Hook(LPCSTR name) {
    DLLPROTECT_TRACE_SCOPE(logging::level_trace);
    if (name == nullptr) {
        return TrueLoadLibraryA(name);
    }
    return as_module(GenericLoadLibrary_Hook(utf8_name(name), nullptr, 0, "LoadLibraryA",
                                             caller_of(__builtin_return_address(0))));
}

HMODULE WINAPI LoadLibraryExA_Hook(LPCSTR name, HANDLE file, DWORD flags) {
    DLLPROTECT_TRACE_SCOPE(logging::level_trace);
    if (name == nullptr || !is_checked_ex_load(flags)) {
        return TrueLoadLibraryExA(name, file, flags);
    }
    return as_module(GenericLoadLibrary_Hook(utf8_name(name), file, flags, "LoadLibraryExA",
                                             caller_of(__builtin_return_address(0))));
}

LONG WINAPI WinVerifyTrust_Hook(HWND window, GUID* action, LPVOID data) {
    DLLPROTECT_TRACE_SCOPE(logging::level_trace);
    ++winverifytrust_depth;
    const LONG result = TrueWinVerifyTrust(window, action, data);
    --winverifytrust_depth;
    return result;
}

// The DOS path of the file behind a section, in its NT form converted when that is all there is.
bool section_file_path(HANDLE file, std::wstring& path) {
    if (file == INVALID_HANDLE_VALUE || file == nullptr) {
        return false;
    }
    constexpr auto retry = winapi::final_path_retry::twice_reported_length;
    if (auto dos =
            winapi::final_path_by_handle(file, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS, retry)) {
        path = *std::move(dos);
        return true;
    }
    const auto nt_path =
        winapi::final_path_by_handle(file, FILE_NAME_NORMALIZED | VOLUME_NAME_NT, retry);
    if (!nt_path) {
        return false;
    }
    auto dos = get_module_path_extended(*nt_path);
    path = dos.value_or(std::wstring());
    return dos.has_value();
}

NTSTATUS NTAPI NtCreateSection_Hook(PHANDLE section, ACCESS_MASK access,
                                    POBJECT_ATTRIBUTES attributes, PLARGE_INTEGER maximum_size,
                                    ULONG protection, ULONG allocation, HANDLE file) {
    DLLPROTECT_TRACE_SCOPE(logging::level_trace);
    // Only image sections of a library file are examined.
    const bool image = (access & section_map_execute) != 0 && attributes == nullptr &&
                       maximum_size == nullptr && protection == page_execute &&
                       allocation == sec_image;
    if (image) {
        hook_scope scope;
        std::wstring path;
        if (scope.entered() && section_file_path(file, path) && !NtCreateSection_allows(path)) {
            return status_access_denied;
        }
    }
    return TrueNtCreateSection(section, access, attributes, maximum_size, protection, allocation,
                               file);
}

template <class F>
void** saved(F& entry) {
    return reinterpret_cast<void**>(&entry);
}

template <class F>
void* replacement(F function) {
    return reinterpret_cast<void*>(function);
}

class windows_interception final : public interception {
public:
    void set_safe_search_mode() override {
        static_cast<void>(::SetSearchPathMode(BASE_SEARCH_PATH_ENABLE_SAFE_SEARCHMODE |
                                              BASE_SEARCH_PATH_PERMANENT));
    }

    section_entry find_section_entry() override {
        HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
        if (ntdll == nullptr) {
            return section_entry::no_ntdll;
        }
        FARPROC entry = ::GetProcAddress(ntdll, "NtCreateSection");
        if (entry == nullptr) {
            return section_entry::no_entry;
        }
        if (TrueNtCreateSection == nullptr) {
            TrueNtCreateSection =
                reinterpret_cast<nt_create_section_fn>(reinterpret_cast<void*>(entry));
        }
        return section_entry::found;
    }

    attach_outcome attach(bool with_section) override {
        if (DetourTransactionBegin() != NO_ERROR) {
            return attach_outcome::hook_failed;
        }
        static_cast<void>(DetourUpdateThread(::GetCurrentThread()));
        if (DetourAttach(saved(TrueLoadLibraryW), replacement(&LoadLibraryW_Hook)) != NO_ERROR ||
            DetourAttach(saved(TrueLoadLibraryExW), replacement(&LoadLibraryExW_Hook)) !=
                NO_ERROR ||
            DetourAttach(saved(TrueLoadLibraryA), replacement(&LoadLibraryA_Hook)) != NO_ERROR ||
            DetourAttach(saved(TrueLoadLibraryExA), replacement(&LoadLibraryExA_Hook)) !=
                NO_ERROR ||
            DetourAttach(saved(TrueWinVerifyTrust), replacement(&WinVerifyTrust_Hook)) !=
                NO_ERROR) {
            static_cast<void>(DetourTransactionAbort());
            return attach_outcome::hook_failed;
        }
        if (with_section && DetourAttach(saved(TrueNtCreateSection),
                                         replacement(&NtCreateSection_Hook)) != NO_ERROR) {
            static_cast<void>(DetourTransactionAbort());
            return attach_outcome::section_failed;
        }
        if (DetourTransactionCommit() != NO_ERROR) {
            return attach_outcome::commit_failed;
        }
        // The checks' own data-file loads go straight to the loader.
        winapi::use_library_loader(reinterpret_cast<void*>(TrueLoadLibraryExW));
        return attach_outcome::attached;
    }

    bool detach(bool with_section) override {
        if (DetourTransactionBegin() != NO_ERROR) {
            return false;
        }
        static_cast<void>(DetourUpdateThread(::GetCurrentThread()));
        if (DetourDetach(saved(TrueLoadLibraryW), replacement(&LoadLibraryW_Hook)) != NO_ERROR ||
            DetourDetach(saved(TrueLoadLibraryExW), replacement(&LoadLibraryExW_Hook)) !=
                NO_ERROR ||
            DetourDetach(saved(TrueLoadLibraryA), replacement(&LoadLibraryA_Hook)) != NO_ERROR ||
            DetourDetach(saved(TrueLoadLibraryExA), replacement(&LoadLibraryExA_Hook)) !=
                NO_ERROR ||
            DetourDetach(saved(TrueWinVerifyTrust), replacement(&WinVerifyTrust_Hook)) !=
                NO_ERROR ||
            (with_section && DetourDetach(saved(TrueNtCreateSection),
                                          replacement(&NtCreateSection_Hook)) != NO_ERROR)) {
            static_cast<void>(DetourTransactionAbort());
            return false;
        }
        if (DetourTransactionCommit() != NO_ERROR) {
            return false;
        }
        winapi::use_library_loader(nullptr);
        return true;
    }

    bool is_elevated() override {
        HANDLE token = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
            return false;
        }
        TOKEN_ELEVATION elevation{};
        DWORD size = 0;
        const BOOL read =
            ::GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size);
        ::CloseHandle(token);
        return read && elevation.TokenIsElevated != 0;
    }

    std::uintptr_t true_load(const std::wstring& name, void* file, std::uint32_t flags) override {
        return reinterpret_cast<std::uintptr_t>(
            TrueLoadLibraryExW(name.c_str(), static_cast<HANDLE>(file), flags));
    }

    bool is_loaded(const std::wstring& name) override {
        return ::GetModuleHandleW(name.c_str()) != nullptr;
    }

    std::optional<caller_module> module_at(std::uintptr_t address) override {
        HMODULE module = nullptr;
        if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                      GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                  reinterpret_cast<LPCWSTR>(address), &module)) {
            return std::nullopt;
        }
        wchar_t path[MAX_PATH];
        const DWORD length = ::GetModuleFileNameW(module, path, MAX_PATH);
        return caller_module{std::wstring(path, length), reinterpret_cast<std::uintptr_t>(module)};
    }
};

}  // namespace

void install_windows_interception() {
    static windows_interception instance;
    winapi::facility<interception>::install(&instance);
}

}  // namespace dllprotect
