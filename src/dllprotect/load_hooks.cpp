#include "dllprotect/load_hooks.h"

#include <array>
#include <cstdio>

#include "dllprotect/engine.h"
#include "dllprotect/interception.h"
#include "dllprotect/thread_state.h"
#include "dllprotect/trust_decisions.h"
#include "dllprotect/write_permission.h"
#include "logging/dbg_trace/dbg_trace.h"
#include "logging/log.h"
#include "stdext/path.h"
#include "stdext/utf.h"
#include "winapi/facility.h"

namespace dllprotect {
namespace {

interception& system() {
    return winapi::facility<interception>::get();
}

std::uint32_t options() {
    return decisions().options;
}

std::string hex(std::uint64_t value) {
    std::array<char, 24> text{};
    std::snprintf(text.data(), text.size(), "0x%llx", static_cast<unsigned long long>(value));
    return text.data();
}

// Erases what it inserted when the interception returns, by any path.
class set_entry {
public:
    set_entry(path_set& set, std::wstring key) : set_(set) {
        if (set_.insert(key).second) {
            key_ = std::move(key);
            owned_ = true;
        }
    }
    ~set_entry() {
        if (owned_) {
            set_.erase(key_);
        }
    }
    set_entry(const set_entry&) = delete;
    set_entry& operator=(const set_entry&) = delete;

private:
    path_set& set_;
    std::wstring key_;
    bool owned_ = false;
};

std::uintptr_t true_load(const std::wstring& name, void* file, std::uint32_t flags) {
    return system().true_load(name, file, flags);
}

// The section interception's decisions are traced under the interception's name.
constexpr char section_hook[] = "NtCreateSection_Hook";

}  // namespace

std::size_t fnv1a_hash::operator()(const std::wstring& text) const noexcept {
    std::uint64_t hash = 14695981039346656037ull;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size() * sizeof(wchar_t); ++i) {
        hash = (hash ^ bytes[i]) * 1099511628211ull;
    }
    return static_cast<std::size_t>(hash);
}

bool& in_trigger_event() {
    thread_local bool raising = false;
    return raising;
}

caller_text resolve_caller(std::uintptr_t caller) {
    DLLPROTECT_TRACE_SCOPE(logging::level_trace);
    caller_text who;
    if (auto module = system().module_at(caller)) {
        who.name = stdext::wide_to_utf8(stdext::path::file_name(module->path));
        who.offset = hex(static_cast<std::uint64_t>(static_cast<std::int64_t>(caller) -
                                                    static_cast<std::int64_t>(module->base)));
        who.resolved = true;
    } else {
        who.offset = hex(caller);
    }
    return who;
}

void TriggerEvent(const wchar_t* request_name, std::uint32_t flags, const char* function_name,
                  ProtectResult reason, std::uintptr_t caller, const std::wstring& load_path,
                  const path_set& in_progress, const std::string& error_info) {
    DLLPROTECT_TRACE_SCOPE(logging::level_trace);
    if ((options() & (OPT_ALWAYS_EVENTS | OPT_REPORT_MODE)) == 0 || in_trigger_event()) {
        return;
    }
    in_trigger_event() = true;
    struct reset {
        ~reset() { in_trigger_event() = false; }
    } const raising;

    DllProtectInfo info;
    info.request_path = request_name != nullptr ? stdext::wide_to_utf8(request_name) : "";
    info.load_path = reason == LOAD_FAILED ? "UNKNOWN" : stdext::wide_to_utf8(load_path);
    info.reason = protect_result_text(reason);
    info.function_name = function_name != nullptr ? function_name : "";
    info.flags = hex(flags);
    info.error_info = error_info;
    if (caller != 0) {
        if (caller_text who = resolve_caller(caller); who.resolved) {
            info.caller_name = std::move(who.name);
            info.caller_offset = std::move(who.offset);
        }
    }
    if (!in_progress.empty()) {
        info.error_info = "loaded dlls: ";
        for (const std::wstring& entry : in_progress) {
            info.error_info += stdext::wide_to_utf8(entry) + ",";
        }
        info.error_info += "; ";
        const std::wstring folder =
            request_name != nullptr ? stdext::path::parent(request_name) : std::wstring();
        info.error_info += permission_listing(folder);
    }
    submit_event(std::move(info));
}

std::uintptr_t GenericLoadLibrary_Hook(const std::wstring& name, void* file, std::uint32_t flags,
                                       const char* function_name, std::uintptr_t caller) {
    hook_scope scope;
    if (!scope.entered()) {
        return true_load(name, file, flags);  // the engine is stopping
    }
    // The real load runs outside the scope: a stop need not wait for it.
    const auto load = [&scope, file, flags](const std::wstring& path) {
        scope.leave();
        return true_load(path, file, flags);
    };
    DLLPROTECT_TRACE_SCOPE(logging::level_trace);
    if (logging::dbg_trace::on()) {
        // The caller is resolved for this trace only; an unknown module leaves its name unknown
        // and the offset as the address itself.
        const caller_text who = resolve_caller(caller);
        DLLPROTECT_TRACE(logging::level_info, "GenericLoadLibrary_Hook called with: ");
        DLLPROTECT_TRACEW(logging::level_info, L"Filename: %ls", name.c_str());
        DLLPROTECT_TRACE(logging::level_info, "hFile: %llx",
                         static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(file)));
        DLLPROTECT_TRACE(logging::level_info, "Flags: 0x%x", static_cast<unsigned>(flags));
        DLLPROTECT_TRACE(logging::level_info, "FuncName: %s", function_name);
        DLLPROTECT_TRACE(logging::level_info, "CallerAddr: 0x%llx",
                         static_cast<unsigned long long>(caller));
        DLLPROTECT_TRACE(logging::level_info, "CallerOffset: %s", who.offset.c_str());
        DLLPROTECT_TRACE(logging::level_info, "CallerName: %s",
                         who.resolved ? who.name.c_str() : "UNKNOWN");
    }
    // A mapped module costs nothing more than the loader's reference count.
    if (system().is_loaded(name)) {
        return load(name);
    }
    std::wstring key = stdext::to_lower(name, stdext::case_rule::ascii);
    if (loading_set().contains(key)) {
        // Re-entered from inside this thread's own checks: reported, never blocked.
        const path_set in_progress = loading_set();
        TriggerEvent(name.c_str(), flags, function_name, RECURSIVE_DLL_LOAD_LOADLIBRARY, caller,
                     name, in_progress, {});
        return load(name);
    }
    const set_entry loading(loading_set(), std::move(key));

    const std::uint32_t opts = options();
    if ((opts & OPT_USE_BLACKLIST) != 0 && is_blacklisted(name)) {
        TriggerEvent(name.c_str(), flags, function_name, DLL_BLOCKED, caller, name, {}, {});
        return 0;
    }
    if (helpers::is_trusted_path(name)) {
        return load(name);
    }
    std::wstring load_path;
    std::string error_info;
    const ProtectResult result = PerformSecurityChecks(name, flags, load_path, error_info);
    if (result == DLL_BLOCKED) {
        TriggerEvent(name.c_str(), flags, function_name, DLL_BLOCKED, caller, load_path, {}, {});
        return 0;
    }
    if (result != PROTECT_SUCCESS) {
        if (report_mode(opts)) {
            TriggerEvent(name.c_str(), flags, function_name, result, caller, load_path, {},
                         error_info);
        } else if (block_mode(opts)) {
            if ((opts & OPT_ALWAYS_EVENTS) != 0) {
                TriggerEvent(name.c_str(), flags, function_name,
                             result == VULNERABLE_PATH ? DLL_BLOCKED : result, caller, load_path,
                             {}, error_info);
            }
            if (result == VULNERABLE_PATH || result == LOAD_FAILED) {
                return 0;
            }
        }
    }
    // The library is loaded from where the checks found it, not by the name as asked.
    std::wstring checked = stdext::to_lower(load_path, stdext::case_rule::ascii);
    const set_entry loading_path(loading_set(), checked);
    DLLPROTECT_TRACEW(logging::level_info, L"calling TrueLoadLibraryExW with %ls", checked.c_str());
    return load(checked);
}

bool NtCreateSection_allows(const std::wstring& dos_path) {
    const std::wstring path = stdext::to_lower(dos_path, stdext::case_rule::ascii);
    DLLPROTECT_TRACEW_FOR(section_hook, logging::level_info, L"dos path is %ls", path.c_str());
    const path_set& loading = loading_set();
    if (loading.contains(path) || (path.size() >= 4 && loading.contains(path.substr(4)))) {
        DLLPROTECT_TRACE_FOR(section_hook, logging::level_info, "dos path was in loadlibrary hook");
        return true;
    }
    if (section_set().contains(path)) {
        const path_set in_progress = section_set();
        TriggerEvent(path.c_str(), 0, "NtCreateSection", RECURSIVE_DLL_LOAD_NTCREATESECTION, 0,
                     path, in_progress, {});
        return true;
    }
    const set_entry inside(section_set(), path);

    const std::uint32_t opts = options();
    if ((opts & OPT_USE_BLACKLIST) != 0 && is_blacklisted(path)) {
        return false;
    }
    if (helpers::is_trusted_path(path)) {
        return true;
    }
    // The file itself is tested here, where the checks of a load test its folder.
    if ((opts & OPT_CHECK_WRITE_ACCESS) != 0 && !CanUserWrite(path)) {
        return true;
    }
    if ((opts & OPT_CHECK_SIGNATURE) != 0) {
        if (winverifytrust_depth > 0) {
            DLLPROTECT_TRACE_FOR(section_hook, logging::level_info, "in winverify trust value %d",
                                 static_cast<int>(winverifytrust_depth));
            TriggerEvent(path.c_str(), 0, "NtCreateSection", IN_WINVERIFYTRUST_CALL, 0, {}, {}, {});
            return true;
        }
        if (VerifyEmbeddedSignature(path)) {
            return true;
        }
    }
    TriggerEvent(path.c_str(), 0, "NtCreateSection",
                 report_mode(opts) ? VULNERABLE_PATH_NTCREATE_SECTION : DLL_BLOCKED, 0, {}, {},
                 "dll is unsigned");
    return !block_mode(opts);
}

}  // namespace dllprotect
