// The module facility: loading libraries, resolving exports and naming module files.
#pragma once

#include <cstdint>
#include <string>

#include "stdext/expected.h"
#include "stdext/unique_handle.h"
#include "winapi/facility.h"

namespace winapi {

using hmodule = std::uintptr_t;

inline constexpr std::uint32_t load_with_altered_search_path = 0x00000008;
// The longest path Windows has, in characters.
inline constexpr std::uint32_t long_path_capacity = 32767;

// Owner of one library reference; frees it through the installed module facility.
struct module_traits {
    using handle_type = hmodule;
    static constexpr hmodule empty() noexcept { return 0; }
    static void close(hmodule module) noexcept;
};
using unique_module = stdext::unique_handle<module_traits>;

class modules {
public:
    virtual ~modules() = default;

    // The module of the running program (GetModuleHandleW(nullptr)).
    virtual hmodule self() = 0;
    // GetModuleHandleExW(0, name): an already loaded module, with one more reference.
    virtual stdext::expected<unique_module> get_loaded(const std::wstring& name) = 0;
    // LoadLibraryW(path), or LoadLibraryExW(path, flags) when flags are given.
    virtual stdext::expected<unique_module> load(const std::wstring& path, std::uint32_t flags) = 0;
    virtual void free(hmodule module) = 0;
    // GetProcAddress; null when not exported.
    virtual void* find_export(hmodule module, const char* name) = 0;
    // GetModuleFileNameW into a buffer of `capacity` characters. Fails with the system's error
    // when there is no name or when it was cut short to fit the buffer.
    virtual stdext::expected<std::wstring> file_name(hmodule module, std::uint32_t capacity) = 0;
};

inline void module_traits::close(hmodule module) noexcept {
    if (modules* impl = facility<modules>::find()) {
        impl->free(module);
    }
}

// The full path of a module's file, read into a buffer of long_path_capacity characters.
stdext::expected<std::wstring> module_file_name(hmodule module);

}  // namespace winapi
