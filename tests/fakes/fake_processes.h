// A process table with sessions and image paths, tokens with privileges, and a record of every
// process created, every termination and every handle still open. Any call can be made to fail
// by naming it in `failures`.
#pragma once

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/sys/processes.h"

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
        bool as_user = false;
        std::optional<token> user;  // the token's state at the call
        bool with_environment = false;
    };

    // Test set-up.
    void add_process(std::uint32_t pid, const std::wstring& exe_file, std::uint32_t session,
                     const std::wstring& image_path);
    std::vector<process_row> table;
    std::uint32_t console = 1;
    std::vector<winapi::session_entry> sessions;
    // Call name (as in the interface) -> error number it fails with.
    std::map<std::string, std::uint32_t> failures;
    std::deque<std::uint32_t> wait_results;  // scripted results of wait(); 0 when exhausted
    bool thread_has_token = false;           // the calling thread impersonates already
    static constexpr std::uint64_t debug_luid = 20;

    // What happened.
    std::vector<creation> created;
    std::vector<std::uint32_t> terminated;
    std::vector<std::uint32_t> waits;  // time-outs passed to wait()
    int impersonations = 0;
    int environments_destroyed = 0;
    int open_handles() const { return static_cast<int>(handles_.size()); }
    // The token behind a handle that is still open.
    const token* token_of(winapi::sys_handle h) const;
    // The thread token as it stands (privileges are kept after its handles are closed).
    const token& thread_token() const { return thread_token_; }

    // winapi::processes
    std::uint32_t create_snapshot(winapi::sys_handle& out) override;
    std::uint32_t first_process(winapi::sys_handle snapshot, winapi::process_entry& out) override;
    std::uint32_t next_process(winapi::sys_handle snapshot, winapi::process_entry& out) override;
    std::uint32_t process_session(std::uint32_t process_id, std::uint32_t& session) override;
    std::uint32_t open_process(std::uint32_t access, std::uint32_t process_id,
                               winapi::sys_handle& out) override;
    std::uint32_t open_process_token(winapi::sys_handle process, std::uint32_t access,
                                     winapi::sys_handle& out) override;
    std::uint32_t open_thread_token(std::uint32_t access, bool open_as_self,
                                    winapi::sys_handle& out) override;
    std::uint32_t impersonate_self(std::uint32_t level) override;
    std::uint32_t lookup_privilege(const std::wstring& name, std::uint64_t& luid) override;
    std::uint32_t duplicate_token(winapi::sys_handle token, std::uint32_t access,
                                  std::uint32_t impersonation_level, std::uint32_t token_type,
                                  winapi::sys_handle& out) override;
    std::uint32_t set_token_session(winapi::sys_handle token, std::uint32_t session) override;
    std::uint32_t adjust_privileges(winapi::sys_handle token, const winapi::privilege& entry,
                                    winapi::privilege* previous) override;
    std::uint32_t create_environment(winapi::sys_handle token, bool inherit,
                                     winapi::sys_handle& out) override;
    void destroy_environment(winapi::sys_handle block) override;
    std::uint32_t create_process_as_user(winapi::sys_handle token, const std::wstring& command_line,
                                         std::uint32_t flags, winapi::sys_handle environment,
                                         winapi::created_process& out) override;
    std::uint32_t create_process(const std::wstring& command_line, std::uint32_t flags,
                                 winapi::created_process& out) override;
    std::uint32_t wait(winapi::sys_handle handle, std::uint32_t timeout_ms,
                       std::uint32_t& result) override;
    std::uint32_t terminate(winapi::sys_handle process, std::uint32_t exit_code) override;
    std::uint32_t module_file_name(winapi::sys_handle process, winapi::hmodule module,
                                   std::uint32_t capacity, std::wstring& out,
                                   std::uint32_t& error) override;
    bool close(winapi::sys_handle handle) override;
    std::uint32_t console_session() override { return console; }
    std::uint32_t enumerate_sessions(std::vector<winapi::session_entry>& out) override;

private:
    enum class kind { snapshot, process, thread, token, thread_token, environment };
    struct object {
        explicit object(kind k) : what(k) {}
        kind what;
        std::uint32_t pid = 0;             // process
        std::size_t cursor = 0;            // snapshot: next entry to read
        std::vector<process_row> entries;  // snapshot: the table when it was taken
        token tok;                         // token
    };
    bool failing(const char* call, std::uint32_t& error) const;
    winapi::sys_handle add(object o);
    object* find(winapi::sys_handle h, kind what);
    token* token_at(winapi::sys_handle h);

    std::map<std::uintptr_t, object> handles_;
    std::uintptr_t next_ = 0x100;
    std::uint32_t next_pid_ = 5000;
    token thread_token_;
};

}  // namespace fakes
