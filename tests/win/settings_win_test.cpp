#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <system_error>

#include "platform/registry_values.h"
#include "win/support.h"

namespace {

const std::wstring test_key = L"SOFTWARE\\WardexTest\\Settings";

class RegistryHelpersWin : public ::testing::Test {
protected:
    ~RegistryHelpersWin() override {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\WardexTest");
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\WardexTest");
    }
};

TEST_F(RegistryHelpersWin, WritesAndReadsInThe32BitView) {
    const std::wstring record = L"{\"dir\":0,\"name\":\"en-US\"}";
    ASSERT_TRUE(platform::SetRegKeyValue(test_key, L"lang", record));
    EXPECT_EQ(platform::GetRegKeyValue(winapi::hkey_local_machine, test_key, L"lang").value(),
              record);
    // The key lives in the 32-bit view only.
    EXPECT_TRUE(wintest::key_exists(test_key, KEY_WOW64_32KEY));
    EXPECT_FALSE(wintest::key_exists(test_key, KEY_WOW64_64KEY));

    // A value that does not fit the 32767-character buffer fails.
    ASSERT_TRUE(platform::SetRegKeyValue(test_key, L"long", std::wstring(32767, L'x')));
    const auto too_long = platform::GetRegKeyValue(winapi::hkey_local_machine, test_key, L"long");
    ASSERT_FALSE(too_long);
    EXPECT_EQ(too_long.error().code.value(), ERROR_MORE_DATA);
    ASSERT_TRUE(platform::SetRegKeyValue(test_key, L"long", std::wstring(32766, L'x')));
    EXPECT_EQ(platform::GetRegKeyValue(winapi::hkey_local_machine, test_key, L"long")->size(),
              32766u);
}

TEST_F(RegistryHelpersWin, KitVersionFromTheInstallKey) {
    // The key is opened with KEY_QUERY_VALUE alone: the process's own view (the 32-bit one for
    // the shipped program, the 64-bit one for this test program).
    EXPECT_THROW(platform::get_kit_version(test_key), std::system_error);
    const std::wstring install = test_key + L"\\Install";
    const std::wstring version = L"5.1.2.7";
    ASSERT_EQ(::RegSetKeyValueW(HKEY_LOCAL_MACHINE, install.c_str(), L"ProductVersion", REG_SZ,
                                version.c_str(), static_cast<DWORD>((version.size() + 1) * 2)),
              ERROR_SUCCESS);
    EXPECT_EQ(platform::get_kit_version(test_key), version);
    EXPECT_EQ(platform::get_kit_version(test_key + L"\\"), version);
    ASSERT_EQ(::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, install.c_str(), L"ProductVersion"),
              ERROR_SUCCESS);
    EXPECT_EQ(platform::get_kit_version(test_key), L"");
}

}  // namespace
