#include <windows.h>

#include <shellapi.h>

#include "winapi/win/handles.h"
#include "winapi/win/system_facilities.h"

namespace winapi {
namespace {

using unique_sid = unique_released_by<PSID, &::FreeSid>;
using unique_library = unique_released_by<HMODULE, &::FreeLibrary>;

class windows_process_context final : public process_context {
public:
    stdext::expected<bool> is_administrator() override {
        SID_IDENTIFIER_AUTHORITY nt_authority = SECURITY_NT_AUTHORITY;
        unique_sid sid;
        if (!::AllocateAndInitializeSid(&nt_authority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                        DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, sid.put())) {
            return stdext::unexpected(win_failure(::GetLastError(), "AllocateAndInitializeSid"));
        }
        BOOL member = FALSE;
        if (!::CheckTokenMembership(nullptr, sid.get(), &member)) {
            return stdext::unexpected(win_failure(::GetLastError(), "CheckTokenMembership"));
        }
        return member != FALSE;
    }

    std::uint16_t native_processor_architecture() override {
        SYSTEM_INFO info{};
        ::GetNativeSystemInfo(&info);
        return info.wProcessorArchitecture;
    }

    stdext::expected<os_version_info> os_version() override {
        using rtl_get_version_fn = LONG(WINAPI*)(OSVERSIONINFOW*);
        const unique_library ntdll(::LoadLibraryW(L"ntdll.dll"));
        if (!ntdll.get()) {
            return stdext::unexpected(win_failure(::GetLastError(), "LoadLibraryW ntdll.dll"));
        }
        const auto rtl_get_version = reinterpret_cast<rtl_get_version_fn>(
            reinterpret_cast<void*>(::GetProcAddress(ntdll.get(), "RtlGetVersion")));
        if (rtl_get_version == nullptr) {
            return stdext::unexpected(
                win_failure(::GetLastError(), "GetProcAddress RtlGetVersion"));
        }
        OSVERSIONINFOW info{};
        info.dwOSVersionInfoSize = sizeof(info);
        if (const LONG status = rtl_get_version(&info); status != 0) {
            return stdext::unexpected(
                win_failure(static_cast<std::uint32_t>(status), "RtlGetVersion"));
        }
        return os_version_info{info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber,
                               info.szCSDVersion};
    }

    bool is_tablet_pc() override { return ::GetSystemMetrics(SM_TABLETPC) != 0; }

    std::wstring command_line() override {
        const wchar_t* line = ::GetCommandLineW();
        return line ? std::wstring(line) : std::wstring();
    }

    stdext::expected<std::vector<std::wstring>> split_command_line(
        const std::wstring& line) override {
        int count = 0;
        LPWSTR* args = ::CommandLineToArgvW(line.c_str(), &count);
        const unique_local_memory owner(args);
        if (args == nullptr) {
            return stdext::unexpected(win_failure(::GetLastError(), "CommandLineToArgvW"));
        }
        return std::vector<std::wstring>(args, args + count);
    }

    std::wstring ansi_to_wide(std::string_view text) override {
        if (text.empty()) {
            return {};
        }
        const int length = static_cast<int>(text.size());
        const int size = ::MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
        if (size <= 0) {
            return {};
        }
        std::wstring wide(static_cast<std::size_t>(size), L'\0');
        if (::MultiByteToWideChar(CP_ACP, 0, text.data(), length, wide.data(), size) != size) {
            return {};
        }
        return wide;
    }
};

}  // namespace

process_context& windows_process_context_instance() {
    static windows_process_context instance;
    return instance;
}

}  // namespace winapi
