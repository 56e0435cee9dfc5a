// Small registry helpers used across the supervisor. All of them use the 32-bit registry view,
// which is where the product keeps its keys. Failures are logged and reported as false or an
// empty text; get_kit_version alone raises when the product's "Install" key is missing.
#pragma once

#include <cstdint>
#include <string>

#include "winapi/registry.h"

namespace platform {

inline constexpr std::uint32_t key_read_32 = 0x201;   // KEY_QUERY_VALUE | KEY_WOW64_32KEY
inline constexpr std::uint32_t key_write_32 = 0x202;  // KEY_SET_VALUE | KEY_WOW64_32KEY
// Largest string value read: 32767 wide characters, counted in bytes.
inline constexpr std::size_t reg_value_buffer_bytes = 65534;

// Reads a string value of root\subkey into out (the text up to its first NUL).
bool GetRegKeyValue(winapi::hkey root, const std::wstring& subkey, const std::wstring& name,
                    std::wstring& out);
// Writes a REG_SZ value under HKEY_LOCAL_MACHINE\subkey, creating the key when needed.
bool SetRegKeyValue(const std::wstring& subkey, const std::wstring& name, const std::wstring& data);
// "ProductVersion" of the product key's "Install" subkey; empty when the value cannot be read.
// Throws std::system_error ("RegOpenKeyEx failed") when the key cannot be opened.
std::wstring get_kit_version(const std::wstring& product_key);

}  // namespace platform
