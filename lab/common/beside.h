// The stand-ins keep their files (call records, behaviour files, settings) in their own folder.
#pragma once

#include <windows.h>

#include <string>

namespace lab {

// "<folder of the module that holds this code>\<file>": the stand-in's own DLL or program (each
// links its own copy). Empty when the module's path cannot be had.
inline std::wstring beside_this_module(const wchar_t* file) {
    HMODULE self = nullptr;
    if (!::GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(&beside_this_module), &self)) {
        return {};
    }
    std::wstring path(32767, L'\0');
    const DWORD n = ::GetModuleFileNameW(self, path.data(), static_cast<DWORD>(path.size()));
    path.resize(n);
    const auto slash = path.find_last_of(L"\\/");
    if (n == 0 || slash == std::wstring::npos) {
        return {};
    }
    return path.substr(0, slash + 1) + file;
}

}  // namespace lab
