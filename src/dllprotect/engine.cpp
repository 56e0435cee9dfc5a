#include "dllprotect/engine.h"

#include <condition_variable>
#include <mutex>
#include <new>

#include "dllprotect/dump_file.h"
#include "dllprotect/interception.h"
#include "dllprotect/trust_decisions.h"
#include "logging/dbg_trace/dbg_trace.h"
#include "logging/log.h"
#include "stdext/path.h"
#include "winapi/facility.h"
#include "winapi/file_system.h"
#include "winapi/library_paths.h"
#include "winapi/modules.h"

namespace dllprotect {
namespace {

interception& system() {
    return winapi::facility<interception>::get();
}

// The hooks' way in: open while the engine runs, and how many hooks are inside.
struct hook_gate {
    std::atomic<bool> open{false};
    std::atomic<int> inside{0};
    std::mutex mutex;
    std::condition_variable empty;
};

hook_gate& gate() {
    static hook_gate g;
    return g;
}

// Once the hooks have left, releases the queue (its worker delivers what is queued first) and
// then the consumer.
void release_events() {
    close_hooks();
    engine_state& e = engine();
    if (e.queue) {
        e.queue->stop();
        e.queue.reset();
    }
    e.consumer.reset();
}

std::wstring executable_name() {
    auto& modules = winapi::facility<winapi::modules>::get();
    auto path = winapi::module_file_name(modules.self());
    return path ? std::wstring(stdext::path::file_name(*path)) : std::wstring();
}

}  // namespace

engine_state& engine() noexcept {
    static engine_state state;
    return state;
}

// A hook counts itself in before it looks at the gate, and a stop closes the gate before it
// looks at the count: whichever comes second sees the other, so no hook enters unseen.
hook_scope::hook_scope() noexcept {
    gate().inside.fetch_add(1);
    entered_ = gate().open.load();
    if (!entered_) {
        leave();
    }
}

void hook_scope::leave() noexcept {
    if (!inside_) {
        return;
    }
    inside_ = false;
    hook_gate& g = gate();
    if (g.inside.fetch_sub(1) == 1 && !g.open.load()) {
        const std::lock_guard lock(g.mutex);
        g.empty.notify_all();
    }
}

void open_hooks() noexcept {
    gate().open.store(true);
}

void close_hooks() noexcept {
    hook_gate& g = gate();
    g.open.store(false);
    std::unique_lock lock(g.mutex);
    g.empty.wait(lock, [&g] { return g.inside.load() == 0; });
}

bool DllProtectSetEventsCbk(DllProtectEventsCbk callback, void* context) {
    DLLPROTECT_TRACE_SCOPE(logging::level_trace);
    engine_state& e = engine();
    if (e.engine_active.load()) {
        return false;
    }
    e.callback = callback;
    e.callback_context = context;
    return true;
}

void init_dump_path(const std::wstring& process_name) {
    DLLPROTECT_TRACE_SCOPE(logging::level_trace);
    std::wstring& path = decisions().dump_file_path;
    path = decisions().dirs.exe_dir;
    if (!system().is_elevated()) {
        auto data =
            winapi::facility<winapi::library_paths>::get().environment_variable(L"ProgramData");
        if (!data || data->empty()) {
            path.clear();
            return;
        }
        const std::wstring folder = stdext::path::join(*data, dump_folder_name);
        auto& files = winapi::facility<winapi::file_system>::get();
        auto type = files.status(folder);
        if (type && *type == winapi::file_type::not_found) {
            if (!files.create_folder_tree(folder)) {
                path.clear();
                return;
            }
        } else if (!type || *type != winapi::file_type::directory) {
            path.clear();
            return;
        }
        path = stdext::path::with_trailing_separator(folder);
    }
    path += L"dllReport." + process_name + L".V2";
}

int DllProtectStart(std::uint32_t options, const wchar_t* process_name) {
    DLLPROTECT_TRACE_SCOPE(logging::level_trace);
    DLLPROTECT_TRACE(logging::level_info, "options: %d, proc_name:", static_cast<int>(options));
    engine_state& e = engine();
    e.options = options;
    decisions().options = options;
    if ((options & (OPT_REPORT_MODE | OPT_BLOCK_MODE)) == (OPT_REPORT_MODE | OPT_BLOCK_MODE)) {
        DLLPROTECT_TRACE(logging::level_warning,
                         "cannot activate dllprotect in report mode and block mode at the same "
                         "time");
        return 0;
    }
    e.process_name = process_name != nullptr ? std::wstring(process_name) : executable_name();

    // All of these run before any interception exists, so none is itself intercepted.
    capture_trusted_dirs();
    build_nt_device_table();
    init_dump_path(e.process_name);
    readBlacklistJson();

    if ((options & (OPT_REPORT_MODE | OPT_ALWAYS_EVENTS)) != 0 && e.callback != nullptr) {
        e.consumer.reset(new (std::nothrow) EventsCbkDumper(e.callback, e.callback_context));
        if (!e.consumer) {
            DLLPROTECT_TRACE(logging::level_error, "failed to alloc events consumer");
            return 0;
        }
        try {
            e.queue = std::make_unique<events_queue>(*e.consumer);
        } catch (const std::exception&) {
            DLLPROTECT_TRACE(logging::level_error, "failed to alloc events queue");
            e.consumer.reset();
            return 0;
        }
    }

    if ((options & OPT_KEEP_SEARCH_MODE) == 0) {
        system().set_safe_search_mode();
    }
    // From here a failed start releases the events machinery: no worker may be left that could
    // call the callback with a context the host is about to destroy.
    switch (system().find_section_entry()) {
        case section_entry::no_ntdll:
            DLLPROTECT_TRACE(logging::level_error, "cannot get ntdll.dll module handle");
            release_events();
            return 0;
        case section_entry::no_entry:
            DLLPROTECT_TRACE(logging::level_error, "cannot get NtCreateSection proc address");
            release_events();
            return 0;
        case section_entry::found:
            break;
    }

    const bool with_section = (options & OPT_HOOK_NTCREATESECTION) != 0;
    // Everything the hooks read is in place.
    open_hooks();
    const attach_outcome outcome = system().attach(with_section);
    // The section interception is activated only once the five others are in the transaction;
    // nothing in between writes to the trace.
    if (with_section && outcome != attach_outcome::hook_failed) {
        DLLPROTECT_TRACE(logging::level_info, "activating NtCreateSection_Hook");
    }
    switch (outcome) {
        case attach_outcome::attached:
            break;
        case attach_outcome::hook_failed: {
            DllProtectInfo failure;
            failure.reason = protect_result_text(INIT_DETOUR_FAILED);
            submit_event(std::move(failure));
            release_events();
            return 0;
        }
        case attach_outcome::section_failed:
        case attach_outcome::commit_failed:
            release_events();
            return 0;
    }
    e.attached = true;

    // Warm-up: the first verification loads the trust providers; let that happen now rather than
    // inside the first intercepted load.
    auto& modules = winapi::facility<winapi::modules>::get();
    std::wstring warm_up[2];
    if (auto ntdll = modules.get_loaded(L"ntdll.dll")) {
        warm_up[0] = winapi::module_file_name(ntdll->get()).value_or(L"");
    }
    warm_up[1] = winapi::module_file_name(modules.self()).value_or(L"");
    for (const std::wstring& path : warm_up) {
        const bool valid = VerifyEmbeddedSignature(path);
        DLLPROTECT_TRACEW(logging::level_info,
                          L"signature check moking mocking for %ls returned %d", path.c_str(),
                          valid ? 1 : 0);
    }

    e.engine_active.store(true);
    return 1;
}

int DllProtectEnd() {
    DLLPROTECT_TRACE_SCOPE(logging::level_trace);
    engine_state& e = engine();
    e.engine_active.store(false);
    if (!e.attached) {
        // Nothing to detach: a start that failed or never ran. Its events machinery, if any,
        // goes all the same.
        release_events();
        return 0;
    }
    if (!system().detach((e.options & OPT_HOOK_NTCREATESECTION) != 0)) {
        return 0;
    }
    e.attached = false;
    release_events();
    return 1;
}

void submit_event(DllProtectInfo info) {
    engine_state& e = engine();
    if (e.queue) {
        e.queue->push(std::move(info));
        return;
    }
    static_cast<void>(DumpDllProtEvent(std::move(info)));
}

}  // namespace dllprotect
