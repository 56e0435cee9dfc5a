#include <windows.h>
// windows.h first: the headers below depend on it.
#include <psapi.h>
#include <tlhelp32.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <string>
#include <vector>

#include "winapi/win/handles.h"
#include "winapi/win/system_facilities.h"

namespace winapi {
namespace {

// ASSIGN_PRIMARY, DUPLICATE, QUERY, ADJUST_PRIVILEGES/GROUPS/DEFAULT/SESSIONID and READ_CONTROL.
constexpr DWORD winlogon_token_access = 0x201EB;
constexpr DWORD longest_path_chars = 32767;
constexpr wchar_t debug_privilege[] = L"SeDebugPrivilege";

using unique_environment_block = unique_released_by<void*, &::DestroyEnvironmentBlock>;
using unique_session_list = unique_released_by<WTS_SESSION_INFOW*, &::WTSFreeMemory>;

HANDLE native(sys_handle h) {
    return to_native<HANDLE>(static_cast<std::uintptr_t>(h));
}

// Hands a kernel handle over to the logic's holder.
unique_sys_handle give(unique_kernel_handle& h) {
    return unique_sys_handle(static_cast<sys_handle>(from_native(h.release())));
}

stdext::unexpected<stdext::error> failed(DWORD code, std::string text) {
    return stdext::unexpected(win_failure(code, std::move(text)));
}
stdext::unexpected<stdext::error> last_failed(std::string text) {
    return failed(::GetLastError(), std::move(text));
}

// The full path of the main module of an opened process.
stdext::expected<std::wstring> module_path_of(HANDLE process) {
    std::vector<wchar_t> buffer(longest_path_chars + 1, L'\0');
    const DWORD n = ::K32GetModuleFileNameExW(process, nullptr, buffer.data(), longest_path_chars);
    if (n == 0) {
        return last_failed("GetModuleFileNameEx failed");
    }
    return std::wstring(buffer.data(), n);
}

// Starts a process through `create` with a writable copy of the command line (the creation
// functions may change it) and a start-up record with only its size set; the thread's handle is
// closed, the process's handle is returned.
template <class Create>
stdext::expected<unique_sys_handle> launch(const std::wstring& command_line, const char* step,
                                           Create create) {
    std::vector<wchar_t> line(command_line.begin(), command_line.end());
    line.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!create(line.data(), startup, info)) {
        return last_failed(step);
    }
    unique_kernel_handle thread(info.hThread);
    unique_kernel_handle process(info.hProcess);
    return give(process);
}

class windows_processes final : public processes {
public:
    stdext::expected<void> for_each_process(
        const std::function<bool(const process_entry&)>& visit) override {
        unique_file_handle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
        if (!snapshot) {
            return stdext::unexpected(win_failure(
                ::GetLastError(), "CreateToolhelp32Snapshot failed", process_walk_step::snapshot));
        }
        PROCESSENTRY32W record{};
        record.dwSize = sizeof(record);
        if (!::Process32FirstW(snapshot.get(), &record)) {
            return stdext::unexpected(
                win_failure(::GetLastError(), "Process32First failed", process_walk_step::first));
        }
        do {
            if (!visit({record.th32ProcessID, record.szExeFile})) {
                return {};
            }
        } while (::Process32NextW(snapshot.get(), &record));
        if (const DWORD error = ::GetLastError(); error != ERROR_NO_MORE_FILES) {
            return stdext::unexpected(
                win_failure(error, next_process_failed, process_walk_step::next));
        }
        return {};
    }

    stdext::expected<std::uint32_t> session_of(std::uint32_t process_id) override {
        DWORD session = 0;
        if (!::ProcessIdToSessionId(process_id, &session)) {
            return last_failed("ProcessIdToSessionId failed");
        }
        return session;
    }

    stdext::expected<std::wstring> image_path(std::uint32_t process_id,
                                              std::uint32_t access) override {
        unique_kernel_handle process(::OpenProcess(access, FALSE, process_id));
        if (!process) {
            return last_failed("OpenProcess failed");
        }
        return module_path_of(process.get());
    }

    stdext::expected<unique_sys_handle> open(std::uint32_t process_id,
                                             std::uint32_t access) override {
        unique_kernel_handle process(::OpenProcess(access, FALSE, process_id));
        if (!process) {
            return last_failed("OpenProcess failed");
        }
        return give(process);
    }

    stdext::expected<std::wstring> main_module_path(sys_handle process) override {
        return module_path_of(native(process));
    }

    stdext::expected<void> terminate(std::uint32_t process_id) override {
        unique_kernel_handle process(::OpenProcess(PROCESS_TERMINATE, FALSE, process_id));
        if (!process) {
            return last_failed("OpenProcess failed");
        }
        if (!::TerminateProcess(process.get(), 0)) {
            return last_failed("TerminateProcess failed");
        }
        return {};
    }

    stdext::expected<unique_sys_handle> session_token(std::uint32_t process_id,
                                                      std::uint32_t session) override {
        const std::string pid = std::to_string(process_id);
        unique_kernel_handle process(::OpenProcess(MAXIMUM_ALLOWED, FALSE, process_id));
        if (!process) {
            return last_failed("OpenProcess pid=" + pid + " failed");
        }
        unique_kernel_handle token;
        if (!::OpenProcessToken(process.get(), winlogon_token_access, token.put())) {
            return last_failed("OpenProcessToken pid=" + pid + " failed");
        }
        LUID luid{};
        if (!::LookupPrivilegeValueW(nullptr, debug_privilege, &luid)) {
            return last_failed("LookupPrivilegeValue failed");
        }
        unique_kernel_handle duplicate;
        if (!::DuplicateTokenEx(token.get(), MAXIMUM_ALLOWED, nullptr, SecurityIdentification,
                                TokenPrimary, duplicate.put())) {
            return last_failed("DuplicateTokenEx failed");
        }
        DWORD id = session;
        if (!::SetTokenInformation(duplicate.get(), TokenSessionId, &id, sizeof(id))) {
            return last_failed("SetTokenInformation failed");
        }
        // A partial assignment, reported only through the last error, is not looked at.
        TOKEN_PRIVILEGES enabled{};
        enabled.PrivilegeCount = 1;
        enabled.Privileges[0].Luid = luid;
        enabled.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (!::AdjustTokenPrivileges(duplicate.get(), FALSE, &enabled, 0, nullptr, nullptr)) {
            return last_failed("AdjustTokenPrivileges failed");
        }
        return give(duplicate);
    }

    stdext::expected<unique_sys_handle> start_as_user(sys_handle token,
                                                      const std::wstring& command_line) override {
        unique_environment_block environment;
        if (!::CreateEnvironmentBlock(environment.put(), native(token), TRUE)) {
            // Without a block the child gets none; what the call left behind is not a block.
            (void)environment.release();
        }
        const DWORD flags = CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS |
                            (environment ? CREATE_UNICODE_ENVIRONMENT : 0);
        return launch(command_line, "CreateProcessAsUser failed",
                      [&](wchar_t* line, STARTUPINFOW& startup, PROCESS_INFORMATION& info) {
                          return ::CreateProcessAsUserW(native(token), nullptr, line, nullptr,
                                                        nullptr, FALSE, flags, environment.get(),
                                                        nullptr, &startup, &info);
                      });
    }

    stdext::expected<unique_sys_handle> start(const std::wstring& command_line,
                                              std::uint32_t flags) override {
        return launch(command_line, "CreateProcess failed",
                      [&](wchar_t* line, STARTUPINFOW& startup, PROCESS_INFORMATION& info) {
                          return ::CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, flags,
                                                  nullptr, nullptr, &startup, &info);
                      });
    }

    stdext::expected<std::uint32_t> wait(sys_handle process, std::uint32_t timeout_ms) override {
        const DWORD result = ::WaitForSingleObject(native(process), timeout_ms);
        if (result == WAIT_FAILED) {
            return last_failed("WaitForSingleObject failed");
        }
        return result;
    }

    stdext::expected<std::uint32_t> exit_code(sys_handle process) override {
        DWORD code = 0;
        if (!::GetExitCodeProcess(native(process), &code)) {
            return last_failed("GetExitCodeProcess failed");
        }
        return static_cast<std::uint32_t>(code);
    }

    stdext::expected<unique_sys_handle> thread_token() override {
        constexpr DWORD access = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;
        unique_kernel_handle token;
        if (!::OpenThreadToken(::GetCurrentThread(), access, FALSE, token.put())) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_NO_TOKEN) {
                return failed(error, "OpenThreadToken failed");
            }
            if (!::ImpersonateSelf(SecurityImpersonation)) {
                return last_failed("ImpersonateSelf failed");
            }
            if (!::OpenThreadToken(::GetCurrentThread(), access, FALSE, token.put())) {
                return last_failed("OpenThreadToken failed");
            }
        }
        return give(token);
    }

    stdext::expected<void> set_debug_privilege(sys_handle token, bool enable) override {
        LUID luid{};
        if (!::LookupPrivilegeValueW(nullptr, debug_privilege, &luid)) {
            return last_failed("LookupPrivilegeValue");
        }
        // Switched off first, asking for the state before, so that the second call can keep
        // the privilege's other attribute bits.
        TOKEN_PRIVILEGES off{};
        off.PrivilegeCount = 1;
        off.Privileges[0].Luid = luid;
        TOKEN_PRIVILEGES previous{};
        DWORD length = 0;
        if (!::AdjustTokenPrivileges(native(token), FALSE, &off, sizeof(previous), &previous,
                                     &length)) {
            return last_failed("AdjustTokenPrivileges 1");
        }
        previous.PrivilegeCount = 1;
        previous.Privileges[0].Luid = luid;
        if (enable) {
            previous.Privileges[0].Attributes |= SE_PRIVILEGE_ENABLED;
        } else {
            previous.Privileges[0].Attributes &= ~static_cast<DWORD>(SE_PRIVILEGE_ENABLED);
        }
        if (!::AdjustTokenPrivileges(native(token), FALSE, &previous, 0, nullptr, nullptr)) {
            return last_failed("AdjustTokenPrivileges 2");
        }
        return {};
    }

    std::uint32_t console_session() override { return ::WTSGetActiveConsoleSessionId(); }

    stdext::expected<std::vector<session_entry>> sessions() override {
        unique_session_list list;
        DWORD count = 0;
        if (!::WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, list.put(), &count)) {
            return last_failed("WTSEnumerateSessions failed");
        }
        std::vector<session_entry> entries;
        for (DWORD i = 0; i < count; ++i) {
            const auto& s = list.get()[i];
            entries.push_back({s.SessionId, s.pWinStationName ? s.pWinStationName : L"",
                               static_cast<std::uint32_t>(s.State)});
        }
        return entries;
    }

    void close(sys_handle handle) override { unique_kernel_handle closing(native(handle)); }
};

}  // namespace

processes& windows_processes_instance() {
    static windows_processes instance;
    return instance;
}

}  // namespace winapi
