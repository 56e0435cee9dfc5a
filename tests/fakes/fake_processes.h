// A process table with sessions and image paths. Tokens, started processes and the thread token
// are handles of a handle table, so each must be closed exactly once; starts, waits and
// terminations are recorded.
#pragma once

#include <algorithm>
#include <deque>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include "fakes/kit.h"
#include "winapi/processes.h"

namespace fakes {

class fake_processes final : public winapi::processes, public fake_base {
public:
    struct row {
        std::uint32_t pid = 0;
        std::wstring exe_file{};
        std::uint32_t session = 1;
        std::wstring image_path{};
    };
    struct start_record {
        std::wstring command_line;
        std::uint32_t flags = 0;
        row token_of{};  // as a session user: the winlogon.exe and session of the token
    };

    std::vector<row> table;
    std::uint32_t console = 1;
    std::vector<winapi::session_entry> session_list;
    std::deque<std::uint32_t> wait_results;  // results of wait(); 0 when none are left
    bool debug_enabled = false;              // SeDebugPrivilege of the thread token

    std::vector<start_record> started;
    std::vector<std::uint32_t> terminated;
    std::vector<std::uint32_t> waits;         // time-outs passed to wait()
    std::vector<std::uint32_t> image_access;  // access of each image_path()
    handle_table handles;

    stdext::expected<std::vector<winapi::process_entry>> list() override {
        return answer<std::vector<winapi::process_entry>>("list_processes", [&] {
            std::vector<winapi::process_entry> entries;
            for (const auto& p : table) {
                entries.push_back({p.pid, p.exe_file});
            }
            return entries;
        });
    }
    stdext::expected<std::uint32_t> session_of(std::uint32_t pid) override {
        return answer<std::uint32_t>("session_of", [&] { return find(pid).session; });
    }
    stdext::expected<std::wstring> image_path(std::uint32_t pid, std::uint32_t access) override {
        image_access.push_back(access);
        return answer<std::wstring>("image_path", [&] { return find(pid).image_path; });
    }
    stdext::expected<void> terminate(std::uint32_t pid) override {
        return answer<void>("terminate_process", [&] { terminated.push_back(pid); });
    }
    stdext::expected<winapi::unique_sys_handle> session_token(std::uint32_t pid,
                                                              std::uint32_t session) override {
        return answer<winapi::unique_sys_handle>("session_token", [&] {
            auto token = open("token");
            tokens_.insert_or_assign(token.get(), row{pid, L"winlogon.exe", session});
            return token;
        });
    }
    stdext::expected<winapi::unique_sys_handle> start_as_user(
        winapi::sys_handle token, const std::wstring& command_line) override {
        expect_open(token);
        started.push_back({command_line, 0, tokens_.at(token)});
        return answer<winapi::unique_sys_handle>("start_as_user", [&] { return open("process"); });
    }
    stdext::expected<winapi::unique_sys_handle> start(const std::wstring& command_line,
                                                      std::uint32_t flags) override {
        started.push_back({command_line, flags});
        return answer<winapi::unique_sys_handle>("start_process", [&] { return open("process"); });
    }
    stdext::expected<std::uint32_t> wait(winapi::sys_handle process,
                                         std::uint32_t timeout_ms) override {
        expect_open(process);
        waits.push_back(timeout_ms);
        return answer<std::uint32_t>("wait_process", [&] {
            const std::uint32_t result = wait_results.empty() ? 0 : wait_results.front();
            if (!wait_results.empty()) {
                wait_results.pop_front();
            }
            return result;
        });
    }
    stdext::expected<winapi::unique_sys_handle> thread_token() override {
        return answer<winapi::unique_sys_handle>("thread_token",
                                                 [&] { return open("thread token"); });
    }
    stdext::expected<void> set_debug_privilege(winapi::sys_handle token, bool enable) override {
        expect_open(token);
        return answer<void>("set_debug_privilege", [&] { debug_enabled = enable; });
    }
    std::uint32_t console_session() override { return console; }
    stdext::expected<std::vector<winapi::session_entry>> sessions() override {
        return answer<std::vector<winapi::session_entry>>("sessions", [&] { return session_list; });
    }
    void close(winapi::sys_handle handle) override {
        handles.close(static_cast<std::uintptr_t>(handle));
    }

private:
    // The planned failure of operation, else what make() gives.
    template <class T, class Make>
    stdext::expected<T> answer(std::string_view operation, Make make) {
        if (auto e = check(operation)) {
            return stdext::unexpected(*e);
        }
        if constexpr (std::is_void_v<T>) {
            make();
            return {};
        } else {
            return make();
        }
    }
    const row& find(std::uint32_t pid) const {
        auto it = std::find_if(table.begin(), table.end(), [&](auto& p) { return p.pid == pid; });
        EXPECT_NE(it, table.end()) << "no process " << pid;
        return it == table.end() ? none_ : *it;
    }
    void expect_open(winapi::sys_handle h) const {
        EXPECT_TRUE(handles.is_open(static_cast<std::uintptr_t>(h)));
    }
    winapi::unique_sys_handle open(const char* kind) {
        return winapi::unique_sys_handle(static_cast<winapi::sys_handle>(handles.open(kind)));
    }

    row none_{};
    std::map<winapi::sys_handle, row> tokens_;
};

}  // namespace fakes
