#include <windows.h>
// windows.h first: the headers below depend on it.
#include <psapi.h>
#include <tlhelp32.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <vector>

#include "winapi/win/handles.h"
#include "winapi/win/system_facilities.h"

namespace winapi {
namespace {

HANDLE native(sys_handle h) {
    return to_native<HANDLE>(static_cast<std::uintptr_t>(h));
}
sys_handle wrap(HANDLE h) {
    return static_cast<sys_handle>(from_native(h));
}
std::uint32_t last_error_of(BOOL ok) {
    return ok ? 0 : ::GetLastError();
}

// Starts a process through `create` with a writable copy of the command line (the creation
// functions may change it) and default start-up information; the new process's handles and ids
// go to `out`.
template <class Create>
std::uint32_t launch(const std::wstring& command_line, created_process& out, Create create) {
    std::vector<wchar_t> line(command_line.begin(), command_line.end());
    line.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    const BOOL ok = create(line.data(), startup, info);
    out = {wrap(info.hProcess), wrap(info.hThread), info.dwProcessId, info.dwThreadId};
    return last_error_of(ok);
}

LUID to_luid(std::uint64_t value) {
    LUID luid;
    luid.LowPart = static_cast<DWORD>(value & 0xFFFFFFFFu);
    luid.HighPart = static_cast<LONG>(value >> 32);
    return luid;
}
std::uint64_t from_luid(const LUID& luid) {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(luid.HighPart)) << 32) |
           luid.LowPart;
}

// Process32FirstW or Process32NextW into out.
std::uint32_t read_entry(BOOL(WINAPI* read)(HANDLE, LPPROCESSENTRY32W), sys_handle snapshot,
                         process_entry& out) {
    PROCESSENTRY32W record{};
    record.dwSize = sizeof(record);
    const BOOL ok = read(native(snapshot), &record);
    if (ok) {
        out.process_id = record.th32ProcessID;
        out.exe_file.assign(record.szExeFile);
    }
    return last_error_of(ok);
}

class windows_processes final : public processes {
public:
    std::uint32_t create_snapshot(sys_handle& out) override {
        HANDLE h = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        out = wrap(h);
        return h == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
    }

    std::uint32_t first_process(sys_handle snapshot, process_entry& out) override {
        return read_entry(::Process32FirstW, snapshot, out);
    }

    std::uint32_t next_process(sys_handle snapshot, process_entry& out) override {
        return read_entry(::Process32NextW, snapshot, out);
    }

    std::uint32_t process_session(std::uint32_t process_id, std::uint32_t& session) override {
        DWORD id = 0;
        const BOOL ok = ::ProcessIdToSessionId(process_id, &id);
        session = id;
        return last_error_of(ok);
    }

    std::uint32_t open_process(std::uint32_t access, std::uint32_t process_id,
                               sys_handle& out) override {
        HANDLE h = ::OpenProcess(access, FALSE, process_id);
        out = wrap(h);
        return h ? 0 : ::GetLastError();
    }

    std::uint32_t open_process_token(sys_handle process, std::uint32_t access,
                                     sys_handle& out) override {
        HANDLE token = nullptr;
        const BOOL ok = ::OpenProcessToken(native(process), access, &token);
        out = wrap(token);
        return last_error_of(ok);
    }

    std::uint32_t open_thread_token(std::uint32_t access, bool open_as_self,
                                    sys_handle& out) override {
        HANDLE token = nullptr;
        const BOOL ok =
            ::OpenThreadToken(::GetCurrentThread(), access, open_as_self ? TRUE : FALSE, &token);
        out = wrap(token);
        return last_error_of(ok);
    }

    std::uint32_t impersonate_self(std::uint32_t level) override {
        return last_error_of(::ImpersonateSelf(static_cast<SECURITY_IMPERSONATION_LEVEL>(level)));
    }

    std::uint32_t lookup_privilege(const std::wstring& name, std::uint64_t& luid) override {
        LUID value{};
        const BOOL ok = ::LookupPrivilegeValueW(nullptr, name.c_str(), &value);
        luid = from_luid(value);
        return last_error_of(ok);
    }

    std::uint32_t duplicate_token(sys_handle token, std::uint32_t access,
                                  std::uint32_t impersonation_level, std::uint32_t token_type,
                                  sys_handle& out) override {
        HANDLE duplicate = nullptr;
        const BOOL ok =
            ::DuplicateTokenEx(native(token), access, nullptr,
                               static_cast<SECURITY_IMPERSONATION_LEVEL>(impersonation_level),
                               static_cast<TOKEN_TYPE>(token_type), &duplicate);
        out = wrap(duplicate);
        return last_error_of(ok);
    }

    std::uint32_t set_token_session(sys_handle token, std::uint32_t session) override {
        DWORD id = session;
        return last_error_of(::SetTokenInformation(native(token), TokenSessionId, &id, sizeof(id)));
    }

    std::uint32_t adjust_privileges(sys_handle token, const privilege& entry,
                                    privilege* previous) override {
        TOKEN_PRIVILEGES state{};
        state.PrivilegeCount = 1;
        state.Privileges[0].Luid = to_luid(entry.luid);
        state.Privileges[0].Attributes = entry.attributes;
        TOKEN_PRIVILEGES before{};
        DWORD length = 0;
        const BOOL ok =
            ::AdjustTokenPrivileges(native(token), FALSE, &state, previous ? sizeof(before) : 0,
                                    previous ? &before : nullptr, previous ? &length : nullptr);
        if (ok && previous && before.PrivilegeCount > 0) {
            previous->luid = from_luid(before.Privileges[0].Luid);
            previous->attributes = before.Privileges[0].Attributes;
        }
        return last_error_of(ok);
    }

    std::uint32_t create_environment(sys_handle token, bool inherit, sys_handle& out) override {
        void* block = nullptr;
        const BOOL ok = ::CreateEnvironmentBlock(&block, native(token), inherit ? TRUE : FALSE);
        out = ok ? wrap(block) : sys_handle::null;
        return last_error_of(ok);
    }

    void destroy_environment(sys_handle block) override {
        last_error_guard keep;
        ::DestroyEnvironmentBlock(native(block));
    }

    std::uint32_t create_process_as_user(sys_handle token, const std::wstring& command_line,
                                         std::uint32_t flags, sys_handle environment,
                                         created_process& out) override {
        return launch(command_line, out,
                      [&](wchar_t* line, STARTUPINFOW& startup, PROCESS_INFORMATION& info) {
                          return ::CreateProcessAsUserW(native(token), nullptr, line, nullptr,
                                                        nullptr, FALSE, flags, native(environment),
                                                        nullptr, &startup, &info);
                      });
    }

    std::uint32_t create_process(const std::wstring& command_line, std::uint32_t flags,
                                 created_process& out) override {
        return launch(command_line, out,
                      [&](wchar_t* line, STARTUPINFOW& startup, PROCESS_INFORMATION& info) {
                          return ::CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, flags,
                                                  nullptr, nullptr, &startup, &info);
                      });
    }

    std::uint32_t wait(sys_handle handle, std::uint32_t timeout_ms,
                       std::uint32_t& result) override {
        result = ::WaitForSingleObject(native(handle), timeout_ms);
        return result == WAIT_FAILED ? ::GetLastError() : 0;
    }

    std::uint32_t terminate(sys_handle process, std::uint32_t exit_code) override {
        return last_error_of(::TerminateProcess(native(process), exit_code));
    }

    std::uint32_t module_file_name(sys_handle process, hmodule module, std::uint32_t capacity,
                                   std::wstring& out, std::uint32_t& error) override {
        std::vector<wchar_t> buffer(capacity + 1, L'\0');
        ::SetLastError(0);
        const DWORD n = ::K32GetModuleFileNameExW(native(process), to_native<HMODULE>(module),
                                                  buffer.data(), capacity);
        error = ::GetLastError();
        out.assign(buffer.data(), n);
        return n;
    }

    bool close(sys_handle handle) override {
        last_error_guard keep;
        return ::CloseHandle(native(handle)) != FALSE;
    }

    std::uint32_t console_session() override { return ::WTSGetActiveConsoleSessionId(); }

    std::uint32_t enumerate_sessions(std::vector<session_entry>& out) override {
        out.clear();
        WTS_SESSION_INFOW* list = nullptr;
        DWORD count = 0;
        if (!::WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &list, &count)) {
            return ::GetLastError();
        }
        for (DWORD i = 0; i < count; ++i) {
            out.push_back({list[i].SessionId,
                           list[i].pWinStationName ? list[i].pWinStationName : L"",
                           static_cast<std::uint32_t>(list[i].State)});
        }
        ::WTSFreeMemory(list);
        return 0;
    }
};

}  // namespace

processes& windows_processes_instance() {
    static windows_processes instance;
    return instance;
}

}  // namespace winapi
