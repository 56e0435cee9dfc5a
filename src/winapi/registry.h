// The registry facility. Keys are opaque numbers; the predefined roots carry their Windows values.
// The operations are the single registry calls, because each caller logs a failed open, create,
// query or write with its own text: a coarser read would hide which step failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "stdext/expected.h"
#include "stdext/unique_handle.h"
#include "winapi/facility.h"

namespace winapi {

using hkey = std::uintptr_t;

inline constexpr hkey hkey_classes_root = 0x80000000u;
inline constexpr hkey hkey_current_user = 0x80000001u;
inline constexpr hkey hkey_local_machine = 0x80000002u;
inline constexpr hkey hkey_users = 0x80000003u;

// Value types.
inline constexpr std::uint32_t reg_none = 0;
inline constexpr std::uint32_t reg_sz = 1;
inline constexpr std::uint32_t reg_binary = 3;
inline constexpr std::uint32_t reg_dword = 4;

// Access masks used by the program.
inline constexpr std::uint32_t key_query_value = 0x0001;
inline constexpr std::uint32_t key_set_value = 0x0002;
inline constexpr std::uint32_t key_wow64_64key = 0x0100;
inline constexpr std::uint32_t key_wow64_32key = 0x0200;
inline constexpr std::uint32_t key_read = 0x20019;
inline constexpr std::uint32_t key_all_access_32 = 0xF023F;

// Options of a created key: kept on disk, or gone at the next start of the system.
inline constexpr std::uint32_t reg_option_non_volatile = 0;
inline constexpr std::uint32_t reg_option_volatile = 1;

// Owner of one open key; closes it through the installed registry facility.
struct hkey_traits {
    using handle_type = hkey;
    [[nodiscard]] static constexpr hkey empty() noexcept { return 0; }
    static void close(hkey key) noexcept;
};
using unique_hkey = stdext::unique_handle<hkey_traits>;

// A value as RegQueryValueExW gives it: its type and its bytes (strings as UTF-16LE).
struct reg_value {
    std::uint32_t type = reg_none;
    std::vector<std::uint8_t> data;
};

class registry {
public:
    virtual ~registry() = default;

    // RegOpenKeyExW(root, subkey, 0, access).
    [[nodiscard]] virtual stdext::expected<unique_hkey> open_key(hkey root,
                                                                 const std::wstring& subkey,
                                                                 std::uint32_t access) = 0;
    // RegCreateKeyExW(root, subkey, 0, no class, options, access, no security): creates the key
    // or opens an existing one.
    [[nodiscard]] virtual stdext::expected<unique_hkey> create_key(hkey root,
                                                                   const std::wstring& subkey,
                                                                   std::uint32_t access,
                                                                   std::uint32_t options) = 0;
    virtual void close_key(hkey key) = 0;

    // RegQueryValueExW into a zero-filled buffer of `capacity` bytes, any type. A value larger
    // than the buffer fails with ERROR_MORE_DATA (234).
    [[nodiscard]] virtual stdext::expected<reg_value> query_value(hkey key,
                                                                  const std::wstring& name,
                                                                  std::size_t capacity) = 0;
    // RegGetValueW(key, subkey (empty: the key itself), name) restricted to REG_SZ, with a buffer
    // of 32767 characters; the text up to its terminating zero.
    [[nodiscard]] virtual stdext::expected<std::wstring> get_string(hkey key,
                                                                    const std::wstring& subkey,
                                                                    const std::wstring& name) = 0;
    // RegGetValueW restricted to REG_DWORD.
    [[nodiscard]] virtual stdext::expected<std::uint32_t> get_dword(hkey key,
                                                                    const std::wstring& subkey,
                                                                    const std::wstring& name) = 0;
    // RegSetValueExW as REG_SZ of (characters + 1) * 2 bytes, the terminating zero included.
    [[nodiscard]] virtual stdext::expected<void> set_string(hkey key, const std::wstring& name,
                                                            const std::wstring& text) = 0;
};

// Nothing is closed when no registry is installed any more (a key that outlived a test's fake).
inline void hkey_traits::close(hkey key) noexcept {
    if (registry* impl = facility<registry>::find()) {
        impl->close_key(key);
    }
}

}  // namespace winapi
