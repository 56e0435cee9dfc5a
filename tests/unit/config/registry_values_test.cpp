#include "platform/registry_values.h"

#include <gtest/gtest.h>

#include <string>
#include <system_error>

#include "fakes/fake_log_library.h"
#include "fakes/fake_modules.h"
#include "fakes/fake_registry.h"
#include "logging/log.h"
#include "winapi/facility.h"
#include "winapi/win_error_category.h"

namespace {

using winapi::hkey_local_machine;

class RegistryValues : public ::testing::Test {
protected:
    fakes::fake_registry reg;
    winapi::scoped_facility<winapi::registry> use{reg};
};

TEST_F(RegistryValues, GetReadsUpToTheBufferLimit) {
    std::wstring out = L"untouched";
    EXPECT_FALSE(platform::GetRegKeyValue(hkey_local_machine, L"SOFTWARE\\Missing", L"v", out));
    EXPECT_EQ(out, L"untouched");
    EXPECT_EQ(reg.opens.back().access, 0x201u);

    reg.set_string(hkey_local_machine, L"SOFTWARE\\P", L"long", std::wstring(32767, L'x'));
    EXPECT_FALSE(platform::GetRegKeyValue(hkey_local_machine, L"SOFTWARE\\P", L"long", out));
    reg.set_string(hkey_local_machine, L"SOFTWARE\\P", L"fits", std::wstring(32766, L'y'));
    EXPECT_TRUE(platform::GetRegKeyValue(hkey_local_machine, L"SOFTWARE\\P", L"fits", out));
    EXPECT_EQ(out.size(), 32766u);
    // The text ends at the first NUL, whatever the value's type.
    reg.set_string(hkey_local_machine, L"SOFTWARE\\P", L"multi", std::wstring(L"a\0b", 3),
                   winapi::reg_binary);
    EXPECT_TRUE(platform::GetRegKeyValue(hkey_local_machine, L"SOFTWARE\\P", L"multi", out));
    EXPECT_EQ(out, L"a");
    EXPECT_EQ(reg.open_keys(), 0);
}

TEST_F(RegistryValues, SetCreatesTheKeyAndReportsEachFailure) {
    EXPECT_TRUE(platform::SetRegKeyValue(L"SOFTWARE\\New", L"v", L"data"));
    const auto stored = reg.find_value(hkey_local_machine, L"SOFTWARE\\New", L"v");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->type, winapi::reg_sz);
    EXPECT_EQ(stored->data.size(), 10u);  // four characters and the NUL
    EXPECT_EQ(reg.opens.back().access, 0x202u);

    reg.fail_create = 5;
    EXPECT_FALSE(platform::SetRegKeyValue(L"SOFTWARE\\Other", L"v", L"data"));
    reg.fail_set = 5;
    EXPECT_FALSE(platform::SetRegKeyValue(L"SOFTWARE\\New", L"v", L"data"));
    EXPECT_EQ(reg.open_keys(), 0);
}

TEST_F(RegistryValues, KitVersion) {
    try {
        platform::get_kit_version(L"SOFTWARE\\P");
        FAIL() << "a missing Install key must throw";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), winapi::make_win_error(2));
        EXPECT_EQ(std::string(e.what()).rfind("RegOpenKeyEx failed", 0), 0u);
    }
    reg.set_string(hkey_local_machine, L"SOFTWARE\\P\\Install", L"ProductVersion", L"3.4.5");
    EXPECT_EQ(platform::get_kit_version(L"SOFTWARE\\P\\"), L"3.4.5");
    EXPECT_EQ(reg.opens.back().subkey, L"SOFTWARE\\P\\Install");
    EXPECT_EQ(reg.opens.back().access, 1u);

    reg.fail_query = 5;
    EXPECT_EQ(platform::get_kit_version(L"SOFTWARE\\P"), L"");
    EXPECT_EQ(reg.open_keys(), 0);
}

// The failure texts are what support reads in the product's log: each names the call, the key
// or value and the Windows error number.
TEST_F(RegistryValues, FailuresAreLoggedWithTheirExactTexts) {
    fakes::fake_modules modules;
    winapi::scoped_facility<winapi::modules> use_modules(modules);
    fakes::fake_log_library log(modules);
    const logging::scopped_log_init hold;

    std::wstring out;
    platform::GetRegKeyValue(hkey_local_machine, L"SOFTWARE\\Missing", L"v", out);
    reg.add_key(hkey_local_machine, L"SOFTWARE\\P");
    platform::GetRegKeyValue(hkey_local_machine, L"SOFTWARE\\P", L"absent", out);
    reg.fail_create = 5;
    platform::SetRegKeyValue(L"SOFTWARE\\Other", L"v", L"data");
    reg.fail_create.reset();
    reg.fail_set = 6;
    platform::SetRegKeyValue(L"SOFTWARE\\P", L"v", L"data");
    reg.set_string(hkey_local_machine, L"SOFTWARE\\P\\Install", L"ProductVersion", L"1");
    reg.fail_query = 234;
    platform::get_kit_version(L"SOFTWARE\\P");

    EXPECT_TRUE(log.contains(4, L"GetRegKeyValue", L"RegOpenKeyEx SOFTWARE\\Missing failed 2"));
    EXPECT_TRUE(log.contains(4, L"GetRegKeyValue", L"RegQueryValueEx absent failed 2"));
    EXPECT_TRUE(log.contains(4, L"SetRegKeyValue", L"RegOpenKeyEx SOFTWARE\\Other failed 2"));
    EXPECT_TRUE(log.contains(4, L"SetRegKeyValue", L"RegCreateKeyEx SOFTWARE\\Other failed 5"));
    EXPECT_TRUE(log.contains(4, L"SetRegKeyValue", L"RegSetValueEx v failed 6"));
    EXPECT_TRUE(log.contains(4, L"get_kit_version", L"RegQueryValueEx ProductVersion failed 234"));
}

}  // namespace
