// The access-control facility: the entries of a file's or folder's discretionary access control
// list, each with the bare name of its account, as the load protection reads them to decide
// whether ordinary users could have written there.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "stdext/expected.h"

namespace winapi {

// The steps of reading a DACL that can fail as a whole; an error carries one of these texts and
// the step's result or last error as its code.
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
    // The account's name without its domain, or the error of the SID lookup.
    stdext::expected<std::wstring> account{std::wstring{}};
    // The lookup's first call asked for larger name buffers and was repeated with them.
    bool lookup_retried = false;
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
    // order, the SID of each looked up on the local system.
    [[nodiscard]] virtual stdext::expected<dacl> read_dacl(const std::wstring& path) = 0;
};

}  // namespace winapi
