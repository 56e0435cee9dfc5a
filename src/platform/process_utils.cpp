#include "platform/process_utils.h"

#include <system_error>

#include "logging/log.h"
#include "stdext/raise.h"
#include "stdext/utf.h"
#include "winapi/facility.h"
#include "winapi/win_error_category.h"

namespace platform {
namespace {

// The system takes a command line of at most 32767 characters with its terminating zero.
constexpr std::size_t command_line_chars = 32767;

winapi::processes& procs() {
    return winapi::facility<winapi::processes>::get();
}

std::uint32_t number(const stdext::error& error) {
    return static_cast<std::uint32_t>(error.code.value());
}

// Logs a failed step at level 4 as its text, `separator` and the error number.
void log_step(const wchar_t* function, const stdext::error& error, const wchar_t* separator) {
    logging::logger_stream(logging::level_error, function)
        << stdext::utf8_to_wide(error.text) << separator << number(error);
}

// The active session the enumeration offers, chosen by `pick`; the console session when the
// enumeration fails or lists no active session.
template <class Pick>
std::uint32_t choose_session(Pick pick) {
    const std::uint32_t console = procs().console_session();
    const auto sessions = procs().sessions();
    if (!sessions) {
        return console;
    }
    return pick(*sessions, console).value_or(console);
}

// Visits the processes until visit returns false; raises a system_error for a list that cannot
// be read, except for an empty one.
void walk_processes(const std::function<bool(const winapi::process_entry&)>& visit) {
    const auto walked = procs().for_each_process(visit);
    const bool empty = !walked && walked.error().failed_at(winapi::process_walk_step::first) &&
                       walked.error().code.value() == winapi::error_no_more_files;
    if (!empty) {
        stdext::value_or_raise(walked);
    }
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
    std::uint32_t found = 0;
    const auto walked = procs().for_each_process([&](const winapi::process_entry& entry) {
        // A process whose session cannot be read is not the one looked for.
        if (stdext::iequals(entry.exe_file, name, stdext::case_rule::latin1)) {
            if (const auto of = procs().session_of(entry.process_id); of && *of == session) {
                found = entry.process_id;
                return false;
            }
        }
        return true;
    });
    // A list that cannot be read past an entry ends the search quietly.
    if (!walked && !walked.error().failed_at(winapi::process_walk_step::next)) {
        log_step(L"GetProcessPid", walked.error(), L" err=");
    }
    return found;
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
    auto token = procs().session_token(pid, session);
    if (!token) {
        log_step(L"GetUserToken", token.error(), L" err = ");
        return {};
    }
    return std::move(*token);
}

std::uint32_t ExecuteProcessInSession(const std::wstring& path, std::uint32_t session,
                                      const std::optional<std::wstring>& arguments) {
    const auto token = GetUserToken(session);
    if (!token) {
        logging::logger_stream(logging::level_warning, L"ExecuteProcessInSession")
            << L"get user token failed";
        return winapi::error_gen_failure;
    }

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
    if (command_line.size() >= command_line_chars) {
        logging::logger_stream(logging::level_error, L"ExecuteProcessInSession")
            << L"command line too long length=" << command_line.size();
        return winapi::error_insufficient_buffer;
    }

    logging::logger_stream(logging::level_info, L"ExecuteProcessInSession")
        << L"Run " << command_line;
    // The started process is not waited for: its handle closes at once.
    const auto started = procs().start_as_user(token.get(), command_line);
    if (!started) {
        log_step(L"ExecuteProcessInSession", started.error(), L" err=");
        return number(started.error());
    }
    return 0;
}

bool set_privilege(winapi::sys_handle token, bool enable) {
    const auto set = procs().set_debug_privilege(token, enable);
    if (!set) {
        log_step(L"set_privilege", set.error(), L" err=");
        return false;
    }
    return true;
}

privilege_scope::privilege_scope() {
    // Without a thread token the scope stays empty, as the privilege cannot be had.
    auto token = procs().thread_token();
    if (token && set_privilege(token->get(), true)) {
        token_ = std::move(*token);
    }
}

privilege_scope::~privilege_scope() {
    if (token_) {
        // A failure to switch the privilege off again is logged by set_privilege; the token
        // closes either way.
        (void)set_privilege(token_.get(), false);
    }
}

void for_each_process(const std::function<void(const winapi::process_entry&)>& visit) {
    walk_processes([&](const winapi::process_entry& entry) {
        visit(entry);
        return true;
    });
}

std::optional<winapi::process_entry> find_process(
    const std::function<bool(const winapi::process_entry&)>& match) {
    std::optional<winapi::process_entry> found;
    walk_processes([&](const winapi::process_entry& entry) {
        if (match(entry)) {
            found = entry;
            return false;
        }
        return true;
    });
    return found;
}

}  // namespace platform
