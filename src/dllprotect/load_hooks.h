// What the interceptions of the loading functions decide, apart from their Windows signatures:
// every library load and every image section goes through here, is checked by the trust decisions
// and is reported, let through or refused according to the engine's mode. A load can re-enter the
// interceptions (the checks load libraries, the loader creates sections, a signature check loads
// its providers); the per-thread guards keep that finite.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>

#include "dllprotect/protect_types.h"

namespace dllprotect {

// FNV-1a over the bytes of a wide string.
struct fnv1a_hash {
    [[nodiscard]] std::size_t operator()(const std::wstring& text) const noexcept;
};
using path_set = std::unordered_set<std::wstring, fnv1a_hash>;

// This thread's libraries being loaded through the interceptions (lower-cased names and paths)
// and its paths inside the section interception: created on the thread's first use, destroyed
// with the thread.
struct thread_sets {
    path_set loading;
    path_set section;
};
[[nodiscard]] thread_sets& this_thread_sets();

[[nodiscard]] inline path_set& loading_set() {
    return this_thread_sets().loading;
}
[[nodiscard]] inline path_set& section_set() {
    return this_thread_sets().section;
}
// Whether this thread is raising an event.
[[nodiscard]] bool& in_trigger_event();

// LOAD_LIBRARY_AS_DATAFILE with LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE, and
// LOAD_LIBRARY_SEARCH_SYSTEM32 on its own: loads of those kinds are not checked.
inline constexpr std::uint32_t unchecked_load_flags = 0x42;
inline constexpr std::uint32_t load_library_search_system32 = 0x800;
[[nodiscard]] inline bool is_checked_ex_load(std::uint32_t flags) noexcept {
    return (flags & unchecked_load_flags) == 0 && flags != load_library_search_system32;
}

// The module that made a call and the call's offset in it: "0x" and hexadecimal. Without a
// module the name stays empty and the offset is "0x" and the address itself.
struct caller_text {
    std::string name;
    std::string offset;
    bool resolved = false;
};
[[nodiscard]] caller_text resolve_caller(std::uintptr_t caller);

// The checked load of every LoadLibrary interception; 0 for a refused load. While the engine is
// stopping (or not started) the load goes through unchecked.
[[nodiscard]] std::uintptr_t GenericLoadLibrary_Hook(const std::wstring& name, void* file,
                                                     std::uint32_t flags, const char* function_name,
                                                     std::uintptr_t caller);

// The decision about an image section of a library file given by its DOS path: true to create it
// (pass the call through), false to refuse it. It traces under the section interception's name,
// which also writes the enter and leave lines.
// The caller holds an entered hook_scope.
[[nodiscard]] bool NtCreateSection_allows(const std::wstring& dos_path);

// Raises one event, unless the options ask for none or this thread is already raising one.
void TriggerEvent(const wchar_t* request_name, std::uint32_t flags, const char* function_name,
                  ProtectResult reason, std::uintptr_t caller, const std::wstring& load_path,
                  const path_set& in_progress, const std::string& error_info);

}  // namespace dllprotect
