// The module facility: loading libraries, resolving exports and naming module files.
#pragma once

#include <cstdint>
#include <string>

#include "stdext/expected.h"
#include "winapi/facility_handle.h"

namespace winapi {

using hmodule = std::uintptr_t;

inline constexpr std::uint32_t load_with_altered_search_path = 0x00000008;

class modules {
public:
    virtual ~modules() = default;

    // The module of the running program (GetModuleHandleW(nullptr)).
    virtual hmodule self() = 0;
    // GetModuleHandleExW(flags, name): an already loaded module, with one more reference when
    // flags is 0. Returns 0 and sets error when none is loaded.
    virtual hmodule get_loaded(const std::wstring& name, std::uint32_t flags,
                               std::uint32_t& error) = 0;
    // LoadLibraryW / LoadLibraryExW. Returns 0 and sets error on failure.
    virtual hmodule load(const std::wstring& path, std::uint32_t& error) = 0;
    virtual hmodule load_ex(const std::wstring& path, std::uint32_t flags,
                            std::uint32_t& error) = 0;
    virtual bool free(hmodule module) = 0;
    // GetProcAddress; null when not exported.
    virtual void* find_export(hmodule module, const char* name) = 0;
    // GetModuleFileNameW into a buffer of `capacity` characters. Returns the count written (as
    // the system does: `capacity` when the buffer was too small, 0 on failure) and sets error to
    // the thread's last error after the call.
    virtual std::uint32_t file_name(hmodule module, std::uint32_t capacity, std::wstring& out,
                                    std::uint32_t& error) = 0;
};

// The full path of a module's file, read through the installed module facility into a buffer of
// 32767 characters, the longest path Windows has. Fails with the system's error when there is no
// name or when it was cut short.
stdext::expected<std::wstring, std::uint32_t> module_file_name(hmodule module);

// Owner of one library reference; frees it through the installed module facility.
using unique_module = facility_handle<modules, hmodule, &modules::free>;

}  // namespace winapi
