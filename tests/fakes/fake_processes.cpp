#include "fakes/fake_processes.h"

#include <algorithm>

#include "base/error.h"

namespace fakes {
namespace {

constexpr std::uint32_t error_invalid_handle = 6;
constexpr std::uint32_t error_invalid_parameter = 87;
constexpr std::uint32_t error_no_such_privilege = 1313;

}  // namespace

void fake_processes::add_process(std::uint32_t pid, const std::wstring& exe_file,
                                 std::uint32_t session, const std::wstring& image_path) {
    table.push_back({pid, exe_file, session, image_path});
}

bool fake_processes::failing(const char* call, std::uint32_t& error) const {
    auto it = failures.find(call);
    if (it == failures.end()) {
        return false;
    }
    error = it->second;
    return true;
}

winapi::sys_handle fake_processes::add(object o) {
    const std::uintptr_t h = next_;
    next_ += 4;
    handles_.emplace(h, std::move(o));
    return static_cast<winapi::sys_handle>(h);
}

fake_processes::object* fake_processes::find(winapi::sys_handle h, kind what) {
    auto it = handles_.find(static_cast<std::uintptr_t>(h));
    return it == handles_.end() || it->second.what != what ? nullptr : &it->second;
}

fake_processes::token* fake_processes::token_at(winapi::sys_handle h) {
    auto it = handles_.find(static_cast<std::uintptr_t>(h));
    if (it == handles_.end()) {
        return nullptr;
    }
    if (it->second.what == kind::token) {
        return &it->second.tok;
    }
    return it->second.what == kind::thread_token ? &thread_token_ : nullptr;
}

const fake_processes::token* fake_processes::token_of(winapi::sys_handle h) const {
    return const_cast<fake_processes*>(this)->token_at(h);
}

std::uint32_t fake_processes::create_snapshot(winapi::sys_handle& out) {
    out = winapi::invalid_handle;
    std::uint32_t error = 0;
    if (failing("create_snapshot", error)) {
        return error;
    }
    object o(kind::snapshot);
    o.entries = table;
    out = add(std::move(o));
    return 0;
}

std::uint32_t fake_processes::first_process(winapi::sys_handle snapshot,
                                            winapi::process_entry& out) {
    std::uint32_t error = 0;
    if (failing("first_process", error)) {
        return error;
    }
    object* o = find(snapshot, kind::snapshot);
    if (o == nullptr) {
        return error_invalid_handle;
    }
    o->cursor = 0;
    return next_process(snapshot, out);
}

std::uint32_t fake_processes::next_process(winapi::sys_handle snapshot,
                                           winapi::process_entry& out) {
    object* o = find(snapshot, kind::snapshot);
    if (o == nullptr) {
        return error_invalid_handle;
    }
    std::uint32_t error = 0;
    if (o->cursor > 0 && failing("next_process", error)) {
        return error;
    }
    if (o->cursor >= o->entries.size()) {
        return winapi::error_no_more_files;
    }
    const auto& p = o->entries[o->cursor++];
    out = {p.pid, p.exe_file};
    return 0;
}

std::uint32_t fake_processes::process_session(std::uint32_t process_id, std::uint32_t& session) {
    std::uint32_t error = 0;
    if (failing("process_session", error)) {
        return error;
    }
    for (const auto& p : table) {
        if (p.pid == process_id) {
            session = p.session;
            return 0;
        }
    }
    return error_invalid_parameter;
}

std::uint32_t fake_processes::open_process(std::uint32_t /*access*/, std::uint32_t process_id,
                                           winapi::sys_handle& out) {
    out = winapi::sys_handle::null;
    std::uint32_t error = 0;
    if (failing("open_process", error)) {
        return error;
    }
    for (const auto& p : table) {
        if (p.pid == process_id) {
            object o(kind::process);
            o.pid = process_id;
            out = add(std::move(o));
            return 0;
        }
    }
    return error_invalid_parameter;
}

std::uint32_t fake_processes::open_process_token(winapi::sys_handle process,
                                                 std::uint32_t /*access*/,
                                                 winapi::sys_handle& out) {
    out = winapi::sys_handle::null;
    std::uint32_t error = 0;
    if (failing("open_process_token", error)) {
        return error;
    }
    object* p = find(process, kind::process);
    if (p == nullptr) {
        return error_invalid_handle;
    }
    object o(kind::token);
    o.tok.owner_pid = p->pid;
    o.tok.primary = true;
    o.tok.privileges[debug_luid] = 0;
    for (const auto& entry : table) {
        if (entry.pid == p->pid) {
            o.tok.session = entry.session;
        }
    }
    out = add(std::move(o));
    return 0;
}

std::uint32_t fake_processes::open_thread_token(std::uint32_t /*access*/, bool /*open_as_self*/,
                                                winapi::sys_handle& out) {
    out = winapi::sys_handle::null;
    std::uint32_t error = 0;
    if (failing("open_thread_token", error)) {
        return error;
    }
    if (!thread_has_token) {
        return winapi::error_no_token;
    }
    out = add(object(kind::thread_token));
    return 0;
}

std::uint32_t fake_processes::impersonate_self(std::uint32_t /*level*/) {
    std::uint32_t error = 0;
    if (failing("impersonate_self", error)) {
        return error;
    }
    ++impersonations;
    thread_has_token = true;
    thread_token_ = token{};
    thread_token_.privileges[debug_luid] = 0;
    return 0;
}

std::uint32_t fake_processes::lookup_privilege(const std::wstring& name, std::uint64_t& luid) {
    std::uint32_t error = 0;
    if (failing("lookup_privilege", error)) {
        return error;
    }
    if (name != L"SeDebugPrivilege") {
        return error_no_such_privilege;
    }
    luid = debug_luid;
    return 0;
}

std::uint32_t fake_processes::duplicate_token(winapi::sys_handle source, std::uint32_t /*access*/,
                                              std::uint32_t /*impersonation_level*/,
                                              std::uint32_t token_type, winapi::sys_handle& out) {
    out = winapi::sys_handle::null;
    std::uint32_t error = 0;
    if (failing("duplicate_token", error)) {
        return error;
    }
    token* t = token_at(source);
    if (t == nullptr) {
        return error_invalid_handle;
    }
    object o(kind::token);
    o.tok = *t;
    o.tok.primary = token_type == winapi::token_primary;
    out = add(std::move(o));
    return 0;
}

std::uint32_t fake_processes::set_token_session(winapi::sys_handle h, std::uint32_t session) {
    std::uint32_t error = 0;
    if (failing("set_token_session", error)) {
        return error;
    }
    token* t = token_at(h);
    if (t == nullptr) {
        return error_invalid_handle;
    }
    t->session = session;
    return 0;
}

std::uint32_t fake_processes::adjust_privileges(winapi::sys_handle h,
                                                const winapi::privilege& entry,
                                                winapi::privilege* previous) {
    std::uint32_t error = 0;
    if (failing("adjust_privileges", error)) {
        return error;
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

std::uint32_t fake_processes::create_environment(winapi::sys_handle h, bool /*inherit*/,
                                                 winapi::sys_handle& out) {
    out = winapi::sys_handle::null;
    std::uint32_t error = 0;
    if (failing("create_environment", error)) {
        return error;
    }
    if (token_at(h) == nullptr) {
        return error_invalid_handle;
    }
    out = add(object(kind::environment));
    return 0;
}

void fake_processes::destroy_environment(winapi::sys_handle block) {
    if (handles_.erase(static_cast<std::uintptr_t>(block)) != 0) {
        ++environments_destroyed;
    }
}

std::uint32_t fake_processes::create_process_as_user(winapi::sys_handle h,
                                                     const std::wstring& command_line,
                                                     std::uint32_t flags,
                                                     winapi::sys_handle environment,
                                                     winapi::created_process& out) {
    out = {};
    creation c{command_line, flags, true, std::nullopt, environment != winapi::sys_handle::null};
    if (const token* t = token_at(h)) {
        c.user = *t;
    }
    created.push_back(c);
    std::uint32_t error = 0;
    if (failing("create_process_as_user", error)) {
        return error;
    }
    if (!c.user) {
        return error_invalid_handle;
    }
    const std::uint32_t pid = next_pid_++;
    object p(kind::process);
    p.pid = pid;
    out = {add(std::move(p)), add(object(kind::thread)), pid, pid + 1};
    return 0;
}

std::uint32_t fake_processes::create_process(const std::wstring& command_line, std::uint32_t flags,
                                             winapi::created_process& out) {
    out = {};
    created.push_back({command_line, flags, false, std::nullopt, false});
    std::uint32_t error = 0;
    if (failing("create_process", error)) {
        return error;
    }
    const std::uint32_t pid = next_pid_++;
    object p(kind::process);
    p.pid = pid;
    out = {add(std::move(p)), add(object(kind::thread)), pid, pid + 1};
    return 0;
}

std::uint32_t fake_processes::wait(winapi::sys_handle handle, std::uint32_t timeout_ms,
                                   std::uint32_t& result) {
    waits.push_back(timeout_ms);
    std::uint32_t error = 0;
    if (failing("wait", error) || handles_.count(static_cast<std::uintptr_t>(handle)) == 0) {
        result = winapi::wait_failed;
        return error != 0 ? error : error_invalid_handle;
    }
    result = 0;
    if (!wait_results.empty()) {
        result = wait_results.front();
        wait_results.pop_front();
    }
    return 0;
}

std::uint32_t fake_processes::terminate(winapi::sys_handle process, std::uint32_t /*exit_code*/) {
    std::uint32_t error = 0;
    if (failing("terminate", error)) {
        return error;
    }
    object* p = find(process, kind::process);
    if (p == nullptr) {
        return error_invalid_handle;
    }
    terminated.push_back(p->pid);
    std::erase_if(table, [&](const process_row& e) { return e.pid == p->pid; });
    return 0;
}

std::uint32_t fake_processes::module_file_name(winapi::sys_handle process,
                                               winapi::hmodule /*module*/, std::uint32_t capacity,
                                               std::wstring& out, std::uint32_t& error) {
    out.clear();
    if (failing("module_file_name", error)) {
        return 0;
    }
    object* p = find(process, kind::process);
    if (p == nullptr) {
        error = error_invalid_handle;
        return 0;
    }
    for (const auto& entry : table) {
        if (entry.pid == p->pid) {
            out = entry.image_path.substr(0, capacity);
            error = 0;
            return static_cast<std::uint32_t>(out.size());
        }
    }
    error = error_invalid_parameter;
    return 0;
}

bool fake_processes::close(winapi::sys_handle handle) {
    return handles_.erase(static_cast<std::uintptr_t>(handle)) != 0;
}

std::uint32_t fake_processes::enumerate_sessions(std::vector<winapi::session_entry>& out) {
    out.clear();
    std::uint32_t error = 0;
    if (failing("enumerate_sessions", error)) {
        return error;
    }
    out = sessions;
    return 0;
}

}  // namespace fakes
