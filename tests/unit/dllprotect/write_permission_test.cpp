#include "dllprotect/write_permission.h"

#include <gtest/gtest.h>

#include "unit/dllprotect/protect_machine.h"

namespace {

using winapi::dacl;
using winapi::dacl_entry;

constexpr const wchar_t* folder = L"C:\\Lib";
constexpr auto allow = &fakes::fake_access_control::allow;

dacl_entry deny(const std::wstring& account, std::uint32_t mask) {
    dacl_entry e = allow(account, mask);
    e.type = 1;
    return e;
}

class WritePermission : public dllprotect::protect_machine {
protected:
    void grant(std::vector<dacl_entry> entries) {
        machine.acl.set(folder, dacl{true, std::move(entries)});
    }
};

TEST_F(WritePermission, OnlyPrivilegedAccountsOrReadOnlyGrantsCannotWrite) {
    grant({allow(L"Administrators", 0x1f01ff), allow(L"SYSTEM", 0x10000000),
           allow(L"TrustedInstaller", 0x1f01ff), allow(L"Users", 0x1200a9),
           deny(L"Everyone", 0x1f01ff), allow(L"Users", 0x80)});
    EXPECT_FALSE(dllprotect::CanUserWrite(folder));
    EXPECT_TRUE(trace.contains("CanUserWrite() - regular user cannot write in C:\\Lib"));
    // The listing leaves deny entries out and gives an account's masks in list order.
    EXPECT_EQ(dllprotect::permission_listing(folder),
              " user: Administrators permissions:0x1f01ff ; user: SYSTEM permissions:0x10000000 ;"
              " user: TrustedInstaller permissions:0x1f01ff ; user: Users permissions:0x1200a9 "
              "0x80 ;");
    EXPECT_EQ(dllprotect::permission_listing(L"C:\\Missing"), "");
}

TEST_F(WritePermission, EveryNonPrivilegedWriterIsTraced) {
    // A localised name of the administrators group is an ordinary account; one bit of the write
    // mask is enough.
    grant({allow(L"Users", 0x1200a9), allow(L"Authenticated Users", 0x1301bf),
           allow(L"Administratoren", 0x4), allow(L"Guest", 0x40000000)});
    EXPECT_TRUE(dllprotect::CanUserWrite(folder));
    EXPECT_EQ(
        dllprotect::traced(trace, {"can write"}),
        (std::vector<std::string>{"CanUserWrite() - user: Administratoren can write in C:\\Lib",
                                  "CanUserWrite() - user: Authenticated Users can write in C:\\Lib",
                                  "CanUserWrite() - user: Guest can write in C:\\Lib",
                                  "CanUserWrite() - regular user can write in C:\\Lib"}));
}

TEST_F(WritePermission, UnreadableEntriesAreSkippedNotFatal) {
    machine.acl.unresolved[L"S-1-5-21-1-2-3-1001"] = 1332;
    machine.acl.long_names.insert(L"SYSTEM");
    dacl_entry broken;
    broken.unreadable = 87;
    grant({allow(L"S-1-5-21-1-2-3-1001", 0x1f01ff), broken, allow(L"SYSTEM", 0x1f01ff)});
    EXPECT_FALSE(dllprotect::CanUserWrite(folder));
    // The lookups trace under their own name, between their enter and leave lines.
    EXPECT_EQ(
        dllprotect::traced(trace, {"GetAccName", "GetAce failed"}),
        (std::vector<std::string>{
            "GetAccName -> ", "GetAccName() - LookupAccountSid failed. GetLastError returned: 1332",
            "GetAccName <- ", "GetDaclPermissions() - GetAce failed. GetLastError returned: 87",
            "GetAccName -> ",
            "GetAccName() - The name buffers were too small. They will be reallocated.",
            "GetAccName <- "}));
}

TEST_F(WritePermission, DoubtAlwaysAnswersCanWrite) {
    // A missing object, a null DACL (full access for everybody), only deny entries.
    EXPECT_TRUE(dllprotect::CanUserWrite(L"C:\\Missing"));
    EXPECT_TRUE(trace.contains("GetNamedSecurityInfo failed 2"));
    EXPECT_TRUE(trace.contains("GetMapPermisions error, return true"));
    machine.acl.set(folder, dacl{false, {}});
    EXPECT_TRUE(dllprotect::CanUserWrite(folder));
    EXPECT_TRUE(trace.contains("No DACL was found"));
    EXPECT_TRUE(trace.contains("perms size is 0, return true"));
    grant({deny(L"Everyone", 0x1f01ff)});
    EXPECT_TRUE(dllprotect::CanUserWrite(folder));

    // The list itself unreadable.
    dllprotect::permission_map map;
    dllprotect::GetDaclPermissions(
        stdext::unexpected(winapi::win_failure(5, std::string(winapi::acl_information_failed),
                                               winapi::dacl_step::acl_information)),
        map);
    EXPECT_TRUE(map.empty());
    EXPECT_TRUE(trace.contains("GetAclInformation failed. GetLastError returned: 5"));
}

}  // namespace
