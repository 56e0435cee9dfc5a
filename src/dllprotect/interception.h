// What the protection engine asks of the system: putting its interceptions of the loading
// functions in place and taking them out again in one transaction each, and the loader's answers
// the interceptions need (is a module mapped, the real load, which module made a call). The
// Windows implementation holds the interceptions themselves; tests use a fake.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace dllprotect {

// What happened to a transaction that attaches the interceptions.
enum class attach_outcome {
    attached,        // committed: every interception is live
    hook_failed,     // attaching one of the five loading/trust interceptions failed; aborted
    section_failed,  // attaching the section interception failed; aborted
    commit_failed,   // the commit failed; nothing is live
};

// Why ntdll's section creation could not be found.
enum class section_entry { found, no_ntdll, no_entry };

// A module known by an address inside it.
struct caller_module {
    std::wstring path;
    std::uintptr_t base = 0;
};

class interception {
public:
    virtual ~interception() = default;

    // SetSearchPathMode with safe search made permanent.
    virtual void set_safe_search_mode() = 0;
    // GetModuleHandleW("ntdll.dll") and its "NtCreateSection".
    [[nodiscard]] virtual section_entry find_section_entry() = 0;
    // One transaction: the current thread, LoadLibraryW, LoadLibraryExW, LoadLibraryA,
    // LoadLibraryExA and WinVerifyTrust, then NtCreateSection when asked; aborted at the first
    // failure.
    [[nodiscard]] virtual attach_outcome attach(bool with_section) = 0;
    // One transaction detaching what attach put in place; false (and aborted) at the first
    // failure, which leaves the interceptions live.
    [[nodiscard]] virtual bool detach(bool with_section) = 0;

    // Whether the process's token is elevated; false when that cannot be read.
    [[nodiscard]] virtual bool is_elevated() = 0;

    // The saved LoadLibraryExW: the real load, never intercepted; 0 when it fails.
    [[nodiscard]] virtual std::uintptr_t true_load(const std::wstring& name, void* file,
                                                   std::uint32_t flags) = 0;
    // GetModuleHandleW(name) finds a mapped module.
    [[nodiscard]] virtual bool is_loaded(const std::wstring& name) = 0;
    // The module that holds an address (GetModuleHandleExW from address, without a reference).
    [[nodiscard]] virtual std::optional<caller_module> module_at(std::uintptr_t address) = 0;
};

}  // namespace dllprotect
