#include "dllprotect/write_permission.h"

#include <gtest/gtest.h>

#include "fakes/fake_machine.h"
#include "logging/dbg_trace/testing.h"
#include "unit/dllprotect/protect_machine.h"

namespace {

using fakes::fake_access_control;
using winapi::dacl;
using winapi::dacl_entry;

constexpr const wchar_t* folder = L"C:\\Lib";

class WritePermission : public fakes::machine_test {
protected:
    void grant(std::vector<dacl_entry> entries) {
        machine.acl.set(folder, dacl{true, std::move(entries)});
    }
    logging::dbg_trace::testing::capture trace;
};

dacl_entry deny(std::wstring account, std::uint32_t mask) {
    dacl_entry e = fake_access_control::allow(std::move(account), mask);
    e.type = 1;
    return e;
}

TEST_F(WritePermission, OnlyPrivilegedAccountsOrReadOnlyGrantsCannotWrite) {
    grant({fake_access_control::allow(L"Administrators", 0x1f01ff),
           fake_access_control::allow(L"SYSTEM", 0x10000000),
           fake_access_control::allow(L"TrustedInstaller", 0x1f01ff),
           fake_access_control::allow(L"Users", 0x1200a9), deny(L"Everyone", 0x1f01ff)});
    EXPECT_FALSE(dllprotect::CanUserWrite(folder));
    EXPECT_TRUE(trace.contains("CanUserWrite() - regular user cannot write in C:\\Lib"));
}

TEST_F(WritePermission, EveryNonPrivilegedWriterIsTraced) {
    grant({fake_access_control::allow(L"Users", 0x1200a9),
           fake_access_control::allow(L"Authenticated Users", 0x1301bf),
           // A localised name of the administrators group is an ordinary account.
           fake_access_control::allow(L"Administratoren", 0x4),
           // Only one bit of the write mask is enough.
           fake_access_control::allow(L"Guest", 0x40000000)});
    EXPECT_TRUE(dllprotect::CanUserWrite(folder));
    EXPECT_TRUE(trace.contains("user: Authenticated Users can write in C:\\Lib"));
    EXPECT_TRUE(trace.contains("user: Administratoren can write in C:\\Lib"));
    EXPECT_TRUE(trace.contains("user: Guest can write in C:\\Lib"));
    EXPECT_FALSE(trace.contains("user: Users can write"));
    EXPECT_TRUE(trace.contains("regular user can write in C:\\Lib"));
}

TEST_F(WritePermission, UnreadableEntriesAreSkippedNotFatal) {
    machine.acl.unresolved[L"S-1-5-21-1-2-3-1001"] = 1332;
    machine.acl.long_names.insert(L"SYSTEM");
    dacl_entry broken;
    broken.unreadable = 87;
    grant({fake_access_control::allow(L"S-1-5-21-1-2-3-1001", 0x1f01ff), broken,
           fake_access_control::allow(L"SYSTEM", 0x1f01ff)});
    EXPECT_FALSE(dllprotect::CanUserWrite(folder));
    // The lookups trace under their own name, between their enter and leave lines.
    EXPECT_EQ(
        dllprotect::traced(trace, {"GetAccName", "GetAce failed"}),
        (std::vector<std::string>{
            "GetAccName -> ", "GetAccName() - LookupAccountSid failed. GetLastError returned: 1332",
            "GetAccName <- ", "GetDaclPermissions() - GetAce failed. GetLastError returned: 87",
            "GetAccName -> ",
            "GetAccName() - The name buffers were too small. They will be "
            "reallocated.",
            "GetAccName <- "}))
        << testing::PrintToString(trace.texts());
}

TEST_F(WritePermission, DoubtAlwaysAnswersCanWrite) {
    // Missing object: the descriptor cannot be read.
    EXPECT_TRUE(dllprotect::CanUserWrite(L"C:\\Missing"));
    EXPECT_TRUE(trace.contains("GetNamedSecurityInfo failed 2"));
    EXPECT_TRUE(trace.contains("GetMapPermisions error, return true"));

    // A null DACL: everybody has full access.
    machine.acl.set(folder, dacl{false, {}});
    EXPECT_TRUE(dllprotect::CanUserWrite(folder));
    EXPECT_TRUE(trace.contains("No DACL was found"));
    EXPECT_TRUE(trace.contains("perms size is 0, return true"));

    // Only deny entries leave nothing to grant, which is no proof either.
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

TEST_F(WritePermission, ListingNamesEveryAccountAndMaskInOrder) {
    grant({fake_access_control::allow(L"Users", 0x1200a9), deny(L"Everyone", 0x2),
           fake_access_control::allow(L"SYSTEM", 0x1f01ff),
           fake_access_control::allow(L"Users", 0x2)});
    EXPECT_EQ(dllprotect::permission_listing(folder),
              " user: SYSTEM permissions:0x1f01ff ; user: Users permissions:0x1200a9 0x2 ;");
    EXPECT_EQ(dllprotect::permission_listing(L"C:\\Missing"), "");
}

}  // namespace
