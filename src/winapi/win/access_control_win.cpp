// clang-format off
#include <windows.h>
#include <aclapi.h>
// clang-format on

#include <cstddef>
#include <vector>

#include "winapi/win/handles.h"
#include "winapi/win/system_facilities.h"

namespace winapi {
namespace {

// Where the SID of an allow or deny entry starts: right after the header and the mask.
constexpr std::size_t sid_offset = offsetof(ACCESS_ALLOWED_ACE, SidStart);
// A SID's fixed part: revision, sub-authority count and identifier authority.
constexpr std::size_t sid_header_size = offsetof(SID, SubAuthority);

class windows_access_control final : public access_control {
public:
    // The domain is not kept.
    account_lookup lookup_account(const std::vector<std::uint8_t>& bytes) override {
        account_lookup result;
        // The entry's bytes are copied whole; they must hold the whole SID they describe.
        PSID sid = const_cast<std::uint8_t*>(bytes.data());
        if (bytes.size() < sid_header_size || !::IsValidSid(sid) ||
            ::GetLengthSid(sid) > bytes.size()) {
            result.name = stdext::unexpected(win_failure(ERROR_INVALID_SID, "LookupAccountSid"));
            return result;
        }
        DWORD name_size = 256;
        DWORD domain_size = 256;
        std::vector<wchar_t> name(name_size);
        std::vector<wchar_t> domain(domain_size);
        SID_NAME_USE use{};
        BOOL found = ::LookupAccountSidW(nullptr, sid, name.data(), &name_size, domain.data(),
                                         &domain_size, &use);
        if (!found && ::GetLastError() == ERROR_INSUFFICIENT_BUFFER &&
            (name_size > name.size() || domain_size > domain.size())) {
            result.retried = true;
            name.assign(name_size, L'\0');
            domain.assign(domain_size, L'\0');
            found = ::LookupAccountSidW(nullptr, sid, name.data(), &name_size, domain.data(),
                                        &domain_size, &use);
        }
        if (!found) {
            result.name = stdext::unexpected(win_failure(::GetLastError(), "LookupAccountSid"));
            return result;
        }
        result.name = std::wstring(name.data());
        return result;
    }

    stdext::expected<dacl> read_dacl(const std::wstring& path) override {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        const DWORD status =
            ::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, nullptr, nullptr, &descriptor);
        const unique_local_memory held(descriptor);
        if (status != ERROR_SUCCESS) {
            return stdext::unexpected(win_failure(status, std::string(named_security_info_failed),
                                                  dacl_step::named_security_info));
        }

        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL list = nullptr;
        if (!::GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted)) {
            return stdext::unexpected(win_failure(::GetLastError(),
                                                  std::string(security_descriptor_dacl_failed),
                                                  dacl_step::security_descriptor_dacl));
        }
        dacl result;
        if (!present || list == nullptr) {
            result.present = false;
            return result;
        }
        ACL_SIZE_INFORMATION size{};
        if (!::GetAclInformation(list, &size, sizeof(size), AclSizeInformation)) {
            return stdext::unexpected(win_failure(
                ::GetLastError(), std::string(acl_information_failed), dacl_step::acl_information));
        }
        result.entries.resize(size.AceCount);
        for (DWORD i = 0; i < size.AceCount; ++i) {
            dacl_entry& entry = result.entries[i];
            void* ace = nullptr;
            if (!::GetAce(list, i, &ace)) {
                entry.unreadable = ::GetLastError();
                continue;
            }
            // Every entry type the system defines starts with the header and the mask; the
            // allow and deny types carry the SID right after them.
            const auto* header = static_cast<const ACE_HEADER*>(ace);
            entry.type = header->AceType;
            entry.mask = static_cast<const ACCESS_ALLOWED_ACE*>(ace)->Mask;
            if (header->AceSize > sid_offset) {
                const auto* start = static_cast<const std::uint8_t*>(ace) + sid_offset;
                entry.sid.assign(start, start + (header->AceSize - sid_offset));
            }
        }
        return result;
    }
};

}  // namespace

access_control& windows_access_control_instance() {
    static windows_access_control instance;
    return instance;
}

}  // namespace winapi
