// The registry facility: a thin layer over the Win32 registry calls. Keys are opaque numbers;
// the predefined roots carry their Windows values. Data travels as the raw bytes Windows stores
// (strings as UTF-16LE with their terminating zero), so callers see exactly what Windows gives.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "winapi/facility_handle.h"

namespace winapi {

using hkey = std::uintptr_t;

inline constexpr hkey hkey_classes_root = 0x80000000u;
inline constexpr hkey hkey_current_user = 0x80000001u;
inline constexpr hkey hkey_local_machine = 0x80000002u;
inline constexpr hkey hkey_users = 0x80000003u;

// Value types.
inline constexpr std::uint32_t reg_none = 0;
inline constexpr std::uint32_t reg_sz = 1;
inline constexpr std::uint32_t reg_expand_sz = 2;
inline constexpr std::uint32_t reg_binary = 3;
inline constexpr std::uint32_t reg_dword = 4;

// Access masks used by the program.
inline constexpr std::uint32_t key_query_value = 0x0001;
inline constexpr std::uint32_t key_set_value = 0x0002;
inline constexpr std::uint32_t key_wow64_32key = 0x0200;
inline constexpr std::uint32_t key_read = 0x20019;
inline constexpr std::uint32_t key_all_access_32 = 0xF023F;

// RegGetValue restrictions.
inline constexpr std::uint32_t rrf_rt_reg_sz = 0x00000002;
inline constexpr std::uint32_t rrf_rt_reg_dword = 0x00000010;

class registry {
public:
    virtual ~registry() = default;

    // RegOpenKeyExW(root, subkey, 0, access). Returns the Windows error (0 on success).
    virtual std::uint32_t open_key(hkey root, const std::wstring& subkey, std::uint32_t access,
                                   hkey& out) = 0;
    // RegCreateKeyExW(root, subkey, 0, no class, options 0, access, no security).
    virtual std::uint32_t create_key(hkey root, const std::wstring& subkey, std::uint32_t access,
                                     hkey& out) = 0;
    virtual std::uint32_t close_key(hkey key) = 0;

    // RegQueryValueExW: data.size() is the buffer size in bytes on entry and the size written
    // on return. A value larger than the buffer gives ERROR_MORE_DATA (234).
    virtual std::uint32_t query_value(hkey key, const std::wstring& name, std::uint32_t& type,
                                      std::vector<std::uint8_t>& data) = 0;
    // RegGetValueW(key, subkey (empty = the key itself), name, flags, ...): with the same
    // buffer convention. String data comes back zero-terminated as RegGetValueW guarantees.
    virtual std::uint32_t get_value(hkey key, const std::wstring& subkey, const std::wstring& name,
                                    std::uint32_t flags, std::uint32_t& type,
                                    std::vector<std::uint8_t>& data) = 0;
    // RegSetValueExW with the bytes given.
    virtual std::uint32_t set_value(hkey key, const std::wstring& name, std::uint32_t type,
                                    const std::vector<std::uint8_t>& data) = 0;
};

// Owner of one open key; closes it through the installed registry facility.
using unique_hkey = facility_handle<registry, hkey, &registry::close_key>;

}  // namespace winapi
