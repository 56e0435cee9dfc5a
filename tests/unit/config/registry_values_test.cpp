#include "platform/registry_values.h"

#include <gtest/gtest.h>

#include <system_error>

#include "fakes/log_messages.h"
#include "fakes/raised.h"

namespace {

using winapi::hkey_local_machine;

// Each failure is logged with the call, the key or value and the Windows error number: the texts
// support reads in the product's log.
class RegistryValues : public fakes::logged_machine_test {
protected:
    fakes::fake_registry& reg = machine.registry;
};

TEST_F(RegistryValues, GetReadsTheTextUpToTheBufferLimitInThe32BitView) {
    EXPECT_FALSE(platform::GetRegKeyValue(hkey_local_machine, L"SOFTWARE\\Missing", L"v"));
    EXPECT_EQ(reg.opens.back().second, 0x201u);
    EXPECT_TRUE(log.contains(logging::level_error, L"GetRegKeyValue",
                             L"RegOpenKeyEx SOFTWARE\\Missing failed 2"));

    reg.set_string(hkey_local_machine, L"SOFTWARE\\P", L"long", std::wstring(32767, L'x'));
    EXPECT_FALSE(platform::GetRegKeyValue(hkey_local_machine, L"SOFTWARE\\P", L"long"));
    EXPECT_TRUE(
        log.contains(logging::level_error, L"GetRegKeyValue", L"RegQueryValueEx long failed 234"));
    reg.set_string(hkey_local_machine, L"SOFTWARE\\P", L"fits", std::wstring(32766, L'y'));
    EXPECT_EQ(platform::GetRegKeyValue(hkey_local_machine, L"SOFTWARE\\P", L"fits")->size(),
              32766u);
    // The text ends at the first NUL, whatever the value's type.
    reg.set_string(hkey_local_machine, L"SOFTWARE\\P", L"multi", std::wstring(L"a\0b", 3),
                   winapi::reg_binary);
    EXPECT_EQ(platform::GetRegKeyValue(hkey_local_machine, L"SOFTWARE\\P", L"multi").value(), L"a");
}

TEST_F(RegistryValues, SetCreatesTheKeyAndLogsEachFailedStep) {
    ASSERT_TRUE(platform::SetRegKeyValue(L"SOFTWARE\\New", L"v", L"data"));
    EXPECT_EQ(reg.get_string(hkey_local_machine, L"SOFTWARE\\New", L"v").value(), L"data");
    EXPECT_EQ(reg.opens.back().second, 0x202u);
    EXPECT_TRUE(log.contains(logging::level_error, L"SetRegKeyValue",
                             L"RegOpenKeyEx SOFTWARE\\New failed 2"));

    machine.faults.fail("create_key", 2, 5);
    EXPECT_FALSE(platform::SetRegKeyValue(L"SOFTWARE\\Other", L"v", L"data"));
    EXPECT_TRUE(log.contains(logging::level_error, L"SetRegKeyValue",
                             L"RegCreateKeyEx SOFTWARE\\Other failed 5"));
    machine.faults.fail("set_string", 2, 6);
    EXPECT_FALSE(platform::SetRegKeyValue(L"SOFTWARE\\New", L"v", L"data"));
    EXPECT_TRUE(log.contains(logging::level_error, L"SetRegKeyValue", L"RegSetValueEx v failed 6"));
}

TEST_F(RegistryValues, KitVersionFromTheInstallKey) {
    EXPECT_EQ(fakes::raised([] { (void)platform::get_kit_version(L"SOFTWARE\\P"); }),
              "system 2: RegOpenKeyEx failed: The system cannot find the file specified.\r\n");
    reg.set_string(hkey_local_machine, L"SOFTWARE\\P\\Install", L"ProductVersion", L"3.4.5");
    EXPECT_EQ(platform::get_kit_version(L"SOFTWARE\\P\\"), L"3.4.5");
    EXPECT_EQ(reg.opens.back().first, L"SOFTWARE\\P\\Install");
    EXPECT_EQ(reg.opens.back().second, 1u);

    machine.faults.fail("query_value", 2, 234);
    EXPECT_EQ(platform::get_kit_version(L"SOFTWARE\\P"), L"");
    EXPECT_TRUE(log.contains(logging::level_error, L"get_kit_version",
                             L"RegQueryValueEx ProductVersion failed 234"));
}

}  // namespace
