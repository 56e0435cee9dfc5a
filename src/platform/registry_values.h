// Small registry helpers used across the supervisor. All of them use the 32-bit registry view,
// which is where the product keeps its keys. Failures are logged (level 4) with the failed call,
// the key or value and the Windows error number; get_kit_version alone raises when the product's
// "Install" key is missing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "stdext/expected.h"
#include "winapi/registry.h"

namespace platform {

inline constexpr std::uint32_t key_read_32 = 0x201;   // KEY_QUERY_VALUE | KEY_WOW64_32KEY
inline constexpr std::uint32_t key_write_32 = 0x202;  // KEY_SET_VALUE | KEY_WOW64_32KEY
// Largest string value read: 32767 wide characters, counted in bytes.
inline constexpr std::size_t reg_value_buffer_bytes = 65534;

// A string value of root\subkey: the text up to its first NUL, whatever the value's type.
stdext::expected<std::wstring> GetRegKeyValue(winapi::hkey root, const std::wstring& subkey,
                                              const std::wstring& name);
// Writes a REG_SZ value under HKEY_LOCAL_MACHINE\subkey, creating the key when needed.
stdext::expected<void> SetRegKeyValue(const std::wstring& subkey, const std::wstring& name,
                                      const std::wstring& data);
// "ProductVersion" of the product key's "Install" subkey; empty when the value cannot be read.
// Throws std::system_error ("RegOpenKeyEx failed") when the key cannot be opened.
std::wstring get_kit_version(const std::wstring& product_key);

// Logs a failed registry step ("RegOpenKeyEx <subkey>") under function at level 4 as the step,
// " failed " and the Windows error number.
void log_registry_failure(const wchar_t* function, const std::wstring& step,
                          const stdext::error& failure);

}  // namespace platform
