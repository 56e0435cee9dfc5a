#include "dllprotect/write_permission.h"

#include <array>
#include <cstdio>
#include <string_view>

#include "logging/dbg_trace/dbg_trace.h"
#include "logging/log.h"
#include "stdext/utf.h"
#include "winapi/facility.h"

namespace dllprotect {
namespace {

// Compared exactly: a localised name of the administrators group is not one of them.
constexpr std::array<std::wstring_view, 3> privileged_accounts{L"Administrators", L"SYSTEM",
                                                               L"TrustedInstaller"};

bool is_privileged(const std::wstring& account) {
    for (const std::wstring_view name : privileged_accounts) {
        if (account == name) {
            return true;
        }
    }
    return false;
}

int code_of(const stdext::error& e) {
    return e.code.value();
}

}  // namespace

bool GetAccName(const std::vector<std::uint8_t>& sid, std::wstring& name) {
    DLLPROTECT_TRACE_SCOPE(logging::level_trace);
    const winapi::account_lookup found =
        winapi::facility<winapi::access_control>::get().lookup_account(sid);
    if (found.retried) {
        DLLPROTECT_TRACE(logging::level_info,
                         "The name buffers were too small. They will be reallocated.\n");
    }
    if (!found.name) {
        DLLPROTECT_TRACE(logging::level_warning,
                         "LookupAccountSid failed. GetLastError returned: %d\n",
                         code_of(found.name.error()));
        return false;
    }
    name = *found.name;
    return true;
}

void GetDaclPermissions(const stdext::expected<winapi::dacl>& list, permission_map& permissions) {
    DLLPROTECT_TRACE_SCOPE(logging::level_trace);
    if (!list) {
        if (list.error().failed_at(winapi::dacl_step::security_descriptor_dacl)) {
            DLLPROTECT_TRACE(logging::level_warning,
                             "GetSecurityDescriptorDacl failed. GetLastError returned: %d\n",
                             code_of(list.error()));
        } else {
            DLLPROTECT_TRACE(logging::level_warning,
                             "GetAclInformation failed. GetLastError returned: %d\n",
                             code_of(list.error()));
        }
        return;
    }
    if (!list->present) {
        DLLPROTECT_TRACE(logging::level_info,
                         "No DACL was found (all access is denied), or a NULL DACL (unrestricted "
                         "access) was found.\n");
        return;
    }
    for (const winapi::dacl_entry& entry : list->entries) {
        if (entry.unreadable) {
            DLLPROTECT_TRACE(logging::level_warning, "GetAce failed. GetLastError returned: %d\n",
                             static_cast<int>(*entry.unreadable));
            continue;
        }
        std::wstring account;
        if (!GetAccName(entry.sid, account)) {
            continue;
        }
        // Deny entries and the other types do not grant anything; inheritance is not looked at.
        if (entry.type != winapi::access_allowed_ace_type) {
            continue;
        }
        permissions[account].push_back(entry.mask);
    }
}

bool GetMapPermisions(const std::wstring& path, permission_map& permissions) {
    DLLPROTECT_TRACE_SCOPE(logging::level_trace);
    DLLPROTECT_TRACEW(logging::level_info, L"Check acl for: %ls", path.c_str());
    auto list = winapi::facility<winapi::access_control>::get().read_dacl(path);
    if (!list && list.error().failed_at(winapi::dacl_step::named_security_info)) {
        DLLPROTECT_TRACE(logging::level_warning, "GetNamedSecurityInfo failed %d",
                         code_of(list.error()));
        return false;
    }
    GetDaclPermissions(list, permissions);
    return true;
}

bool CanUserWrite(const std::wstring& path) {
    DLLPROTECT_TRACE_SCOPE(logging::level_trace);
    permission_map permissions;
    if (!GetMapPermisions(path, permissions)) {
        DLLPROTECT_TRACE(logging::level_info, "GetMapPermisions error, return true");
        return true;
    }
    if (permissions.empty()) {
        DLLPROTECT_TRACE(logging::level_info, "perms size is 0, return true");
        return true;
    }
    bool can_write = false;
    for (const auto& [account, masks] : permissions) {
        if (is_privileged(account)) {
            continue;
        }
        for (const std::uint32_t mask : masks) {
            if ((mask & write_access_mask) != 0) {
                // Every writer is traced, not only the first.
                DLLPROTECT_TRACEW(logging::level_info, L"user: %ls can write in %ls",
                                  account.c_str(), path.c_str());
                can_write = true;
                break;
            }
        }
    }
    DLLPROTECT_TRACEW(logging::level_info, L"regular user %ls write in %ls",
                      can_write ? L"can" : L"cannot", path.c_str());
    return can_write;
}

std::string permission_listing(const std::wstring& path) {
    permission_map permissions;
    if (!GetMapPermisions(path, permissions)) {
        return {};
    }
    std::string text;
    for (const auto& [account, masks] : permissions) {
        text += " user: ";
        text += stdext::wide_to_utf8(account);
        text += " permissions:";
        for (const std::uint32_t mask : masks) {
            std::array<char, 16> hex{};
            std::snprintf(hex.data(), hex.size(), "0x%x ", static_cast<unsigned>(mask));
            text += hex.data();
        }
        text += ';';
    }
    return text;
}

}  // namespace dllprotect
