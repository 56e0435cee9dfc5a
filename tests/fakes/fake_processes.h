// A process table with sessions and image paths. Tokens, started processes and the thread token
// are handles of a handle table, so each must be closed exactly once; starts, waits and
// terminations are recorded.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "fakes/kit.h"
#include "winapi/processes.h"

namespace fakes {

class fake_processes final : public winapi::processes, public fake_base {
public:
    struct row {
        std::wstring exe_file{};
        std::uint32_t session = 1;
        std::wstring image_path{};
    };
    struct start_record {
        std::wstring command_line;
        std::uint32_t flags = 0;
        std::uint32_t token_pid = 0;  // as a session user: the winlogon.exe the token is of
        std::uint32_t token_session = 0;
    };

    using fake_base::fake_base;

    std::map<std::uint32_t, row> table;  // by process id
    std::uint32_t console = 1;
    std::vector<winapi::session_entry> session_list;
    std::uint32_t wait_result = 0;  // what every wait() gives
    std::uint32_t exit_status = 0;  // what every exit_code() gives
    bool debug_enabled = false;     // SeDebugPrivilege of the thread token

    std::vector<start_record> started;
    std::vector<std::uint32_t> terminated;
    std::vector<std::uint32_t> waits;         // time-outs passed to wait()
    std::vector<std::uint32_t> image_access;  // access of each image_path() and open()
    handle_table handles;

    stdext::expected<void> for_each_process(
        const std::function<bool(const winapi::process_entry&)>& visit) override {
        return answer("list_processes", [&] {
            for (const auto& [pid, p] : table) {
                if (!visit({pid, p.exe_file})) {
                    return;
                }
            }
        });
    }
    stdext::expected<std::uint32_t> session_of(std::uint32_t pid) override {
        return answer("session_of", [&] { return table.at(pid).session; });
    }
    stdext::expected<std::wstring> image_path(std::uint32_t pid, std::uint32_t access) override {
        image_access.push_back(access);
        return answer("image_path", [&] { return table.at(pid).image_path; });
    }
    // A process of the table; another id fails as OpenProcess does (87).
    stdext::expected<winapi::unique_sys_handle> open(std::uint32_t pid,
                                                     std::uint32_t access) override {
        image_access.push_back(access);
        auto e = check("open_process");
        if (e || !table.count(pid)) {
            return stdext::unexpected(e.value_or(winapi::win_failure(87, "OpenProcess failed")));
        }
        auto process = open("process");
        opened_.insert_or_assign(process.get(), pid);
        return process;
    }
    stdext::expected<std::wstring> main_module_path(winapi::sys_handle process) override {
        return answer("module_path", [&] { return table.at(opened_.at(process)).image_path; });
    }
    stdext::expected<void> terminate(std::uint32_t pid) override {
        return answer("terminate_process", [&] { terminated.push_back(pid); });
    }
    stdext::expected<winapi::unique_sys_handle> session_token(std::uint32_t pid,
                                                              std::uint32_t session) override {
        return answer("session_token", [&] {
            auto token = open("token");
            tokens_.insert_or_assign(token.get(), std::pair{pid, session});
            return token;
        });
    }
    stdext::expected<winapi::unique_sys_handle> start_as_user(
        winapi::sys_handle token, const std::wstring& command_line) override {
        started.push_back({command_line, 0, tokens_.at(token).first, tokens_.at(token).second});
        return answer("start_as_user", [&] { return open("process"); });
    }
    stdext::expected<winapi::unique_sys_handle> start(const std::wstring& command_line,
                                                      std::uint32_t flags) override {
        started.push_back({command_line, flags});
        return answer("start_process", [&] { return open("process"); });
    }
    stdext::expected<std::uint32_t> wait(winapi::sys_handle /*process*/,
                                         std::uint32_t timeout_ms) override {
        waits.push_back(timeout_ms);
        return answer("wait_process", [&] { return wait_result; });
    }
    stdext::expected<std::uint32_t> exit_code(winapi::sys_handle /*process*/) override {
        return answer("exit_code", [&] { return exit_status; });
    }
    stdext::expected<winapi::unique_sys_handle> thread_token() override {
        return answer("thread_token", [&] { return open("thread token"); });
    }
    stdext::expected<void> set_debug_privilege(winapi::sys_handle /*token*/, bool enable) override {
        return answer("set_debug_privilege", [&] { debug_enabled = enable; });
    }
    std::uint32_t console_session() override { return console; }
    stdext::expected<std::vector<winapi::session_entry>> sessions() override {
        return answer("sessions", [&] { return session_list; });
    }
    void close(winapi::sys_handle handle) override {
        handles.close(static_cast<std::uintptr_t>(handle));
    }

private:
    winapi::unique_sys_handle open(const char* kind) {
        return winapi::unique_sys_handle(static_cast<winapi::sys_handle>(handles.open(kind)));
    }

    std::map<winapi::sys_handle, std::pair<std::uint32_t, std::uint32_t>> tokens_;
    std::map<winapi::sys_handle, std::uint32_t> opened_;  // process handles of open()
};

}  // namespace fakes
