// A process table with sessions and image paths, tokens with privileges, and a record of every
// process created, every termination and every handle still open. Any call can be made to fail
// by naming it in `failures`.
#pragma once

#include <algorithm>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "stdext/expected.h"
#include "winapi/processes.h"
#include "winapi/win_error_category.h"

namespace fakes {

class fake_processes final : public winapi::processes {
public:
    struct process_row {
        std::uint32_t pid = 0;
        std::wstring exe_file;
        std::uint32_t session = 1;
        std::wstring image_path;
    };
    struct token {
        std::uint32_t session = 0;
        std::uint32_t owner_pid = 0;  // the process it came from (0: the thread's own)
        bool primary = false;
        std::map<std::uint64_t, std::uint32_t> privileges;  // luid -> attributes
    };
    struct creation {
        std::wstring command_line;
        std::uint32_t flags = 0;
        std::optional<token> user;  // as_user: the token's state at the call
        bool with_environment = false;
    };

    // Test set-up.
    void add_process(std::uint32_t pid, const std::wstring& exe_file, std::uint32_t session,
                     const std::wstring& image_path) {
        table.push_back({pid, exe_file, session, image_path});
    }
    std::vector<process_row> table;
    std::uint32_t console = 1;
    std::vector<winapi::session_entry> sessions;
    // Call name (as in the interface) -> error number it fails with.
    std::map<std::string, std::uint32_t> failures;
    std::deque<std::uint32_t> wait_results;  // scripted results of wait(); 0 when exhausted
    static constexpr std::uint64_t debug_luid = 20;

    // What happened.
    std::vector<creation> created;
    std::vector<std::uint32_t> terminated;
    std::vector<std::uint32_t> waits;  // time-outs passed to wait()
    int impersonations = 0;
    int open_handles() const { return static_cast<int>(handles_.size()); }
    // The thread token as it stands (privileges are kept after its handles are closed).
    const token& thread_token() const { return thread_token_; }

    // winapi::processes
    std::uint32_t create_snapshot(winapi::sys_handle& out) override {
        out = winapi::invalid_handle;
        if (auto e = failing("create_snapshot")) {
            return *e;
        }
        out = add({.what = kind::snapshot, .entries = table});
        return 0;
    }
    std::uint32_t first_process(winapi::sys_handle snapshot, winapi::process_entry& out) override {
        if (auto e = failing("first_process")) {
            return *e;
        }
        if (object* o = find(snapshot, kind::snapshot)) {
            o->cursor = 0;
        }
        return next_process(snapshot, out);
    }
    std::uint32_t next_process(winapi::sys_handle snapshot, winapi::process_entry& out) override {
        object* o = find(snapshot, kind::snapshot);
        if (o == nullptr) {
            return error_invalid_handle;
        }
        if (auto e = failing("next_process"); e && o->cursor > 0) {
            return *e;
        }
        if (o->cursor >= o->entries.size()) {
            return winapi::error_no_more_files;
        }
        const auto& p = o->entries[o->cursor++];
        out = {p.pid, p.exe_file};
        return 0;
    }
    std::uint32_t process_session(std::uint32_t process_id, std::uint32_t& session) override {
        if (auto e = failing("process_session")) {
            return *e;
        }
        const process_row* p = row(process_id);
        if (p == nullptr) {
            return error_invalid_parameter;
        }
        session = p->session;
        return 0;
    }
    std::uint32_t open_process(std::uint32_t /*access*/, std::uint32_t process_id,
                               winapi::sys_handle& out) override {
        out = winapi::sys_handle::null;
        if (auto e = failing("open_process")) {
            return *e;
        }
        if (row(process_id) == nullptr) {
            return error_invalid_parameter;
        }
        out = add({.what = kind::process, .pid = process_id});
        return 0;
    }
    std::uint32_t open_process_token(winapi::sys_handle process, std::uint32_t /*access*/,
                                     winapi::sys_handle& out) override {
        out = winapi::sys_handle::null;
        if (auto e = failing("open_process_token")) {
            return *e;
        }
        object* p = find(process, kind::process);
        const process_row* r = p != nullptr ? row(p->pid) : nullptr;
        if (r == nullptr) {
            return error_invalid_handle;
        }
        out = add({.what = kind::token, .tok = {r->session, r->pid, true, {{debug_luid, 0}}}});
        return 0;
    }
    std::uint32_t open_thread_token(std::uint32_t /*access*/, bool /*open_as_self*/,
                                    winapi::sys_handle& out) override {
        out = winapi::sys_handle::null;
        if (auto e = failing("open_thread_token")) {
            return *e;
        }
        if (!thread_has_token_) {
            return winapi::error_no_token;
        }
        out = add({.what = kind::thread_token});
        return 0;
    }
    std::uint32_t impersonate_self(std::uint32_t /*level*/) override {
        if (auto e = failing("impersonate_self")) {
            return *e;
        }
        ++impersonations;
        thread_has_token_ = true;
        thread_token_ = token{0, 0, false, {{debug_luid, 0}}};
        return 0;
    }
    std::uint32_t lookup_privilege(const std::wstring& name, std::uint64_t& luid) override {
        if (auto e = failing("lookup_privilege")) {
            return *e;
        }
        if (name != L"SeDebugPrivilege") {
            return error_no_such_privilege;
        }
        luid = debug_luid;
        return 0;
    }
    std::uint32_t duplicate_token(winapi::sys_handle source, std::uint32_t /*access*/,
                                  std::uint32_t /*impersonation_level*/, std::uint32_t token_type,
                                  winapi::sys_handle& out) override {
        out = winapi::sys_handle::null;
        if (auto e = failing("duplicate_token")) {
            return *e;
        }
        token* t = token_at(source);
        if (t == nullptr) {
            return error_invalid_handle;
        }
        object o{.what = kind::token, .tok = *t};
        o.tok.primary = token_type == winapi::token_primary;
        out = add(std::move(o));
        return 0;
    }
    std::uint32_t set_token_session(winapi::sys_handle h, std::uint32_t session) override {
        if (auto e = failing("set_token_session")) {
            return *e;
        }
        token* t = token_at(h);
        if (t == nullptr) {
            return error_invalid_handle;
        }
        t->session = session;
        return 0;
    }
    std::uint32_t adjust_privileges(winapi::sys_handle h, const winapi::privilege& entry,
                                    winapi::privilege* previous) override {
        if (auto e = failing("adjust_privileges")) {
            return *e;
        }
        token* t = token_at(h);
        if (t == nullptr) {
            return error_invalid_handle;
        }
        auto it = t->privileges.find(entry.luid);
        if (it == t->privileges.end()) {
            return 0;  // not held: the system reports a partial assignment only as the last error
        }
        // The previous state lists only privileges whose state changes.
        if (previous != nullptr && it->second != entry.attributes) {
            *previous = {entry.luid, it->second};
        }
        it->second = entry.attributes;
        return 0;
    }
    std::uint32_t create_environment(winapi::sys_handle h, bool /*inherit*/,
                                     winapi::sys_handle& out) override {
        out = winapi::sys_handle::null;
        if (auto e = failing("create_environment")) {
            return *e;
        }
        if (token_at(h) == nullptr) {
            return error_invalid_handle;
        }
        out = add({.what = kind::environment});
        return 0;
    }
    void destroy_environment(winapi::sys_handle block) override { close(block); }
    std::uint32_t create_process_as_user(winapi::sys_handle h, const std::wstring& command_line,
                                         std::uint32_t flags, winapi::sys_handle environment,
                                         winapi::created_process& out) override {
        const token* t = token_at(h);
        if (t == nullptr) {
            return error_invalid_handle;
        }
        return spawn({command_line, flags, *t, environment != winapi::sys_handle::null},
                     "create_process_as_user", out);
    }
    std::uint32_t create_process(const std::wstring& command_line, std::uint32_t flags,
                                 winapi::created_process& out) override {
        return spawn({command_line, flags, std::nullopt, false}, "create_process", out);
    }
    std::uint32_t wait(winapi::sys_handle handle, std::uint32_t timeout_ms,
                       std::uint32_t& result) override {
        waits.push_back(timeout_ms);
        result = winapi::wait_failed;
        if (auto e = failing("wait")) {
            return *e;
        }
        if (handles_.count(static_cast<std::uintptr_t>(handle)) == 0) {
            return error_invalid_handle;
        }
        result = 0;
        if (!wait_results.empty()) {
            result = wait_results.front();
            wait_results.pop_front();
        }
        return 0;
    }
    std::uint32_t terminate(winapi::sys_handle process, std::uint32_t /*exit_code*/) override {
        if (auto e = failing("terminate")) {
            return *e;
        }
        object* p = find(process, kind::process);
        if (p == nullptr) {
            return error_invalid_handle;
        }
        terminated.push_back(p->pid);
        std::erase_if(table, [&](const process_row& e) { return e.pid == p->pid; });
        return 0;
    }
    std::uint32_t module_file_name(winapi::sys_handle process, winapi::hmodule /*module*/,
                                   std::uint32_t capacity, std::wstring& out,
                                   std::uint32_t& error) override {
        out.clear();
        error = failing("module_file_name").value_or(0);
        object* p = find(process, kind::process);
        const process_row* r = error == 0 && p != nullptr ? row(p->pid) : nullptr;
        if (r == nullptr) {
            error = error != 0 ? error : error_invalid_handle;
            return 0;
        }
        out = r->image_path.substr(0, capacity);
        return static_cast<std::uint32_t>(out.size());
    }
    bool close(winapi::sys_handle handle) override {
        return handles_.erase(static_cast<std::uintptr_t>(handle)) != 0;
    }
    std::uint32_t console_session() override { return console; }
    std::uint32_t enumerate_sessions(std::vector<winapi::session_entry>& out) override {
        out.clear();
        if (auto e = failing("enumerate_sessions")) {
            return *e;
        }
        out = sessions;
        return 0;
    }

private:
    static constexpr std::uint32_t error_invalid_handle = 6;
    static constexpr std::uint32_t error_invalid_parameter = 87;
    static constexpr std::uint32_t error_no_such_privilege = 1313;

    enum class kind { snapshot, process, thread, token, thread_token, environment };
    struct object {
        kind what;
        std::uint32_t pid = 0;               // process
        std::size_t cursor = 0;              // snapshot: next entry to read
        std::vector<process_row> entries{};  // snapshot: the table when it was taken
        token tok{};                         // token
    };
    std::optional<std::uint32_t> failing(const char* call) const {
        auto it = failures.find(call);
        return it == failures.end() ? std::nullopt : std::optional(it->second);
    }
    winapi::sys_handle add(object o) {
        const std::uintptr_t h = next_;
        next_ += 4;
        handles_.emplace(h, std::move(o));
        return static_cast<winapi::sys_handle>(h);
    }
    object* find(winapi::sys_handle h, kind what) {
        auto it = handles_.find(static_cast<std::uintptr_t>(h));
        return it == handles_.end() || it->second.what != what ? nullptr : &it->second;
    }
    const process_row* row(std::uint32_t pid) const {
        auto it =
            std::find_if(table.begin(), table.end(), [&](const auto& p) { return p.pid == pid; });
        return it == table.end() ? nullptr : &*it;
    }
    token* token_at(winapi::sys_handle h) {
        if (object* o = find(h, kind::token)) {
            return &o->tok;
        }
        return find(h, kind::thread_token) != nullptr ? &thread_token_ : nullptr;
    }
    // Records a creation and, unless it fails, hands out a new process and its thread.
    std::uint32_t spawn(creation c, const char* call, winapi::created_process& out) {
        out = {};
        created.push_back(c);
        if (auto e = failing(call)) {
            return *e;
        }
        const std::uint32_t pid = next_pid_++;
        out = {add({.what = kind::process, .pid = pid}), add({.what = kind::thread}), pid, pid + 1};
        return 0;
    }

    std::map<std::uintptr_t, object> handles_;
    std::uintptr_t next_ = 0x100;
    std::uint32_t next_pid_ = 5000;
    bool thread_has_token_ = false;
    token thread_token_;
};

}  // namespace fakes
