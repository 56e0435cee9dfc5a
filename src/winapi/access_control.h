// The access-control facility: the entries of a file's or folder's discretionary access control
// list and the bare names of their accounts, as the load protection reads them to decide whether
// ordinary users could have written there.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "stdext/expected.h"

namespace winapi {

// The steps of reading a DACL that can fail as a whole; an error names its step, carries its
// text and the step's result or last error as its code.
enum class dacl_step { named_security_info = 1, security_descriptor_dacl, acl_information };
inline constexpr std::string_view named_security_info_failed = "GetNamedSecurityInfo failed";
inline constexpr std::string_view security_descriptor_dacl_failed =
    "GetSecurityDescriptorDacl failed";
inline constexpr std::string_view acl_information_failed = "GetAclInformation failed";

// The ACE type byte of an access-allowed entry.
inline constexpr std::uint8_t access_allowed_ace_type = 0;

struct dacl_entry {
    // GetAce of this index failed with this error; nothing else of the entry was read.
    std::optional<std::uint32_t> unreadable;
    std::uint8_t type = access_allowed_ace_type;
    std::uint32_t mask = 0;
    // The entry's SID: the bytes that follow the mask.
    std::vector<std::uint8_t> sid;
};

// What the lookup of a SID's account gave.
struct account_lookup {
    // The account's name without its domain, or the error of the lookup.
    stdext::expected<std::wstring> name{std::wstring{}};
    // The first call asked for larger name buffers and was repeated with them.
    bool retried = false;
};

struct dacl {
    // False for a descriptor without a DACL or with a null DACL.
    bool present = true;
    std::vector<dacl_entry> entries;
};

class access_control {
public:
    virtual ~access_control() = default;

    // GetNamedSecurityInfoW(path, file object, DACL only), then every entry of its DACL in list
    // order.
    [[nodiscard]] virtual stdext::expected<dacl> read_dacl(const std::wstring& path) = 0;
    // LookupAccountSidW on the local system with name and domain buffers of 256 characters each;
    // when those are too small the call is repeated once with the sizes it asked for. The error
    // is LookupAccountSid's last error (1337 for bytes that hold no valid SID).
    [[nodiscard]] virtual account_lookup lookup_account(const std::vector<std::uint8_t>& sid) = 0;
};

}  // namespace winapi
