#include "platform/process_utils.h"

#include <vector>

#include "logging/log.h"
#include "stdext/expected.h"
#include "stdext/utf.h"
#include "winapi/facility.h"
#include "winapi/win_error_category.h"

namespace platform {
namespace {

constexpr std::uint32_t path_buffer_chars = 32767;
constexpr wchar_t debug_privilege[] = L"SeDebugPrivilege";

winapi::processes& procs() {
    return winapi::facility<winapi::processes>::get();
}

// The active session the enumeration offers, chosen by `pick`; the console session when the
// enumeration fails or lists no active session.
template <class Pick>
std::uint32_t choose_session(Pick pick) {
    const std::uint32_t console = procs().console_session();
    std::vector<winapi::session_entry> sessions;
    if (procs().enumerate_sessions(sessions) != 0) {
        return console;
    }
    return pick(sessions, console).value_or(console);
}

}  // namespace

std::uint32_t get_target_session() {
    return choose_session(
        [](const std::vector<winapi::session_entry>& sessions, std::uint32_t console) {
            std::optional<std::uint32_t> chosen;
            for (const auto& s : sessions) {
                if (s.state == winapi::wts_active) {
                    chosen = s.session_id;
                    if (s.session_id == console) {
                        break;
                    }
                }
            }
            return chosen;
        });
}

std::uint32_t get_first_active_session() {
    return choose_session([](const std::vector<winapi::session_entry>& sessions, std::uint32_t) {
        for (const auto& s : sessions) {
            if (s.state == winapi::wts_active) {
                return std::optional<std::uint32_t>(s.session_id);
            }
        }
        return std::optional<std::uint32_t>();
    });
}

std::uint32_t GetProcessPid(const std::wstring& name, std::uint32_t session) {
    winapi::sys_handle raw = winapi::invalid_handle;
    const std::uint32_t snapshot_error = procs().create_snapshot(raw);
    if (raw == winapi::invalid_handle) {
        logging::logger_stream(logging::level_error, L"GetProcessPid")
            << L"CreateToolhelp32Snapshot failed err=" << snapshot_error;
        return 0;
    }
    winapi::unique_snapshot snapshot(raw);
    winapi::process_entry entry;
    if (const auto error = procs().first_process(snapshot.get(), entry); error != 0) {
        logging::logger_stream(logging::level_error, L"GetProcessPid")
            << L"Process32First failed err=" << error;
        return 0;
    }
    do {
        std::uint32_t process_session = 0;
        if (stdext::iequals(entry.exe_file, name) &&
            procs().process_session(entry.process_id, process_session) == 0 &&
            process_session == session) {
            return entry.process_id;
        }
    } while (procs().next_process(snapshot.get(), entry) == 0);
    return 0;
}

winapi::unique_sys_handle GetUserToken(std::uint32_t session) {
    if (session == 0) {
        session = get_first_active_session();
    }
    const std::uint32_t pid = GetProcessPid(L"winlogon.exe", session);
    if (pid == 0) {
        logging::logger_stream(logging::level_error, L"GetUserToken")
            << L"GetProcessPid for " << L"system" << L" failed";
        return {};
    }
    winapi::sys_handle raw = winapi::sys_handle::null;
    if (const auto error = procs().open_process(winapi::maximum_allowed, pid, raw); error != 0) {
        logging::logger_stream(logging::level_error, L"GetUserToken")
            << L"OpenProcess pid=" << pid << L" failed err = " << error;
        return {};
    }
    winapi::unique_sys_handle process(raw);
    if (const auto error =
            procs().open_process_token(process.get(), winapi::token_winlogon_access, raw);
        error != 0) {
        logging::logger_stream(logging::level_error, L"GetUserToken")
            << L"OpenProcessToken pid=" << pid << L" failed err = " << error;
        return {};
    }
    winapi::unique_sys_handle token(raw);
    std::uint64_t luid = 0;
    if (const auto error = procs().lookup_privilege(debug_privilege, luid); error != 0) {
        logging::logger_stream(logging::level_error, L"GetUserToken")
            << L"LookupPrivilegeValue failed err = " << error;
        return {};
    }
    if (const auto error =
            procs().duplicate_token(token.get(), winapi::maximum_allowed,
                                    winapi::security_identification, winapi::token_primary, raw);
        error != 0) {
        logging::logger_stream(logging::level_error, L"GetUserToken")
            << L"DuplicateTokenEx failed err = " << error;
        return {};
    }
    winapi::unique_sys_handle duplicate(raw);
    if (const auto error = procs().set_token_session(duplicate.get(), session); error != 0) {
        logging::logger_stream(logging::level_error, L"GetUserToken")
            << L"SetTokenInformation failed err = " << error;
        return {};
    }
    if (const auto error = procs().adjust_privileges(duplicate.get(),
                                                     {luid, winapi::se_privilege_enabled}, nullptr);
        error != 0) {
        logging::logger_stream(logging::level_error, L"GetUserToken")
            << L"AdjustTokenPrivileges failed err = " << error;
        return {};
    }
    return duplicate;
}

std::uint32_t ExecuteProcessInSession(const std::wstring& path, std::uint32_t session,
                                      const std::optional<std::wstring>& arguments) {
    auto token = GetUserToken(session);
    if (!token) {
        logging::logger_stream(logging::level_warning, L"ExecuteProcessInSession")
            << L"get user token failed";
        return winapi::error_gen_failure;
    }

    winapi::sys_handle block = winapi::sys_handle::null;
    const bool has_block = procs().create_environment(token.get(), true, block) == 0;
    winapi::unique_environment environment(has_block ? block : winapi::sys_handle::null);
    const std::uint32_t flags = winapi::create_no_window | winapi::normal_priority_class |
                                (has_block ? winapi::create_unicode_environment : 0);

    std::wstring command_line;
    if (path.empty() || path.front() != L'"') {
        command_line += L'"';
    }
    command_line += path;
    if (path.empty() || path.back() != L'"') {
        command_line += L'"';
    }
    if (arguments) {
        command_line += L' ';
        command_line += *arguments;
    }
    // The system takes at most 32767 characters with the terminating zero.
    if (command_line.size() >= path_buffer_chars) {
        logging::logger_stream(logging::level_error, L"ExecuteProcessInSession")
            << L"command line too long length=" << command_line.size();
        return winapi::error_insufficient_buffer;
    }

    logging::logger_stream(logging::level_info, L"ExecuteProcessInSession")
        << L"Run " << command_line;
    winapi::created_process created;
    const std::uint32_t error = procs().create_process_as_user(token.get(), command_line, flags,
                                                               environment.get(), created);
    if (error != 0) {
        logging::logger_stream(logging::level_error, L"ExecuteProcessInSession")
            << L"CreateProcessAsUser failed err=" << error;
        return error;
    }
    winapi::unique_sys_handle process(created.process);
    winapi::unique_sys_handle thread(created.thread);
    return 0;
}

bool set_privilege(winapi::sys_handle token, bool enable) {
    std::uint64_t luid = 0;
    if (const auto error = procs().lookup_privilege(debug_privilege, luid); error != 0) {
        logging::logger_stream(logging::level_error, L"set_privilege")
            << L"LookupPrivilegeValue err=" << error;
        return false;
    }
    winapi::privilege previous;
    if (const auto error = procs().adjust_privileges(token, {luid, 0}, &previous); error != 0) {
        logging::logger_stream(logging::level_error, L"set_privilege")
            << L"AdjustTokenPrivileges 1 err=" << error;
        return false;
    }
    previous.luid = luid;
    if (enable) {
        previous.attributes |= winapi::se_privilege_enabled;
    } else {
        previous.attributes &= ~winapi::se_privilege_enabled;
    }
    if (const auto error = procs().adjust_privileges(token, previous, nullptr); error != 0) {
        logging::logger_stream(logging::level_error, L"set_privilege")
            << L"AdjustTokenPrivileges 2 err=" << error;
        return false;
    }
    return true;
}

privilege_scope::privilege_scope() {
    constexpr std::uint32_t access = winapi::token_adjust_privileges | winapi::token_query;
    winapi::sys_handle raw = winapi::sys_handle::null;
    std::uint32_t error = procs().open_thread_token(access, false, raw);
    if (error == winapi::error_no_token) {
        if (procs().impersonate_self(winapi::security_impersonation) != 0) {
            return;
        }
        error = procs().open_thread_token(access, false, raw);
    }
    if (error != 0) {
        return;
    }
    token_.reset(raw);
    if (!set_privilege(token_.get(), true)) {
        token_.reset();
    }
}

privilege_scope::~privilege_scope() {
    if (token_) {
        set_privilege(token_.get(), false);
    }
}

process_snapshot::process_snapshot() {
    winapi::sys_handle raw = winapi::invalid_handle;
    const std::uint32_t error = procs().create_snapshot(raw);
    if (raw == winapi::invalid_handle) {
        winapi::throw_win_error(error, "CreateToolhelp32Snapshot failed");
    }
    handle_.reset(raw);
}

processes_iterator::processes_iterator(winapi::sys_handle snapshot) : snapshot_(snapshot) {
    const std::uint32_t error = procs().first_process(snapshot_, entry_);
    if (error == winapi::error_no_more_files) {
        *this = processes_iterator();
    } else if (error != 0) {
        winapi::throw_win_error(error, "Process32First failed");
    }
}

processes_iterator& processes_iterator::operator++() {
    const std::uint32_t error = procs().next_process(snapshot_, entry_);
    if (error == winapi::error_no_more_files) {
        *this = processes_iterator();
    } else if (error != 0) {
        winapi::throw_win_error(error, "processes_iterator::increment failed");
    }
    return *this;
}

}  // namespace platform
