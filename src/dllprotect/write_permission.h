// Could an ordinary, non-privileged account have written a file or folder? A library in a place
// only administrators, the system account and the installer service can change cannot have been
// planted by a user. The answer comes from the object's DACL: every allow entry of an account other
// than those three is tested for write rights. Doubt always answers "can write".
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "stdext/expected.h"
#include "winapi/access_control.h"

namespace dllprotect {

// Account name (without domain) -> the masks of its allow entries, in list order.
using permission_map = std::map<std::wstring, std::vector<std::uint32_t>>;

// Generic write and all, write attributes and extended attributes, append data and write data.
inline constexpr std::uint32_t write_access_mask = 0x50000116;

// The bare account name of an entry's SID (the domain is dropped); false when it cannot be found.
[[nodiscard]] bool GetAccName(const std::vector<std::uint8_t>& sid, std::wstring& name);

// Fills the map from a DACL as read; a list that could not be read leaves it empty.
void GetDaclPermissions(const stdext::expected<winapi::dacl>& list, permission_map& permissions);

// The permission map of a path; false only when its security descriptor cannot be read.
[[nodiscard]] bool GetMapPermisions(const std::wstring& path, permission_map& permissions);

// True when an account other than Administrators, SYSTEM and TrustedInstaller may write the path,
// and whenever that cannot be determined.
[[nodiscard]] bool CanUserWrite(const std::wstring& path);

// " user: <name> permissions:0x<mask> ...;" for each account; empty when the descriptor cannot
// be read. Recursion events carry it.
[[nodiscard]] std::string permission_listing(const std::wstring& path);

}  // namespace dllprotect
