#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <system_error>

#include "platform/config/exported_object.h"
#include "platform/registry_values.h"
#include "stdext/utf.h"

namespace {

const std::wstring test_key = L"SOFTWARE\\WardexTest\\Settings";

class RegistryHelpersWin : public ::testing::Test {
protected:
    ~RegistryHelpersWin() override {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\WardexTest");
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\WardexTest");
    }
};

bool key_exists(const wchar_t* path, REGSAM view) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | view, &key) != ERROR_SUCCESS) {
        return false;
    }
    ::RegCloseKey(key);
    return true;
}

TEST_F(RegistryHelpersWin, WritesAndReadsInThe32BitView) {
    const std::wstring record = L"{\"dir\":0,\"name\":\"en-US\"}";
    ASSERT_TRUE(platform::SetRegKeyValue(test_key, L"lang", record));
    EXPECT_EQ(platform::GetRegKeyValue(winapi::hkey_local_machine, test_key, L"lang").value(),
              record);
    // The key lives in the 32-bit view only.
    EXPECT_TRUE(key_exists(L"SOFTWARE\\WardexTest\\Settings", KEY_WOW64_32KEY));
    EXPECT_FALSE(key_exists(L"SOFTWARE\\WardexTest\\Settings", KEY_WOW64_64KEY));

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

// The stand-in library copied into a folder of its own, with its configuration file.
class ProductConfigWin : public ::testing::Test {
protected:
    void SetUp() override {
        const char* build = std::getenv("WARDEX_BUILD_DIR");
        ASSERT_NE(build, nullptr) << "WARDEX_BUILD_DIR is not set";
        std::wstring root = L"Z:" + stdext::utf8_to_wide(build);
        std::replace(root.begin(), root.end(), L'/', L'\\');
        folder = root + L"\\wine-tmp\\settings-" + std::to_wstring(::GetCurrentProcessId());
        ::CreateDirectoryW((root + L"\\wine-tmp").c_str(), nullptr);
        ::CreateDirectoryW(folder.c_str(), nullptr);
        dll = folder + L"\\IServConfig.dll";
        ASSERT_TRUE(::CopyFileW((root + L"\\lab\\iservconfig\\IServConfig.dll").c_str(),
                                dll.c_str(), FALSE))
            << ::GetLastError();
    }
    void TearDown() override {
        ::DeleteFileW(dll.c_str());
        ::DeleteFileW(ini().c_str());
        ::RemoveDirectoryW(folder.c_str());
    }
    std::wstring ini() const { return folder + L"\\iservconfig.ini"; }
    void write_ini(const std::string& content) const {
        std::ofstream(ini().c_str(), std::ios::binary) << content;
    }

    std::wstring folder;
    std::wstring dll;
};

std::uint32_t load_error(platform::config::product_config& binding, const std::wstring& path) {
    const auto loaded = binding.load(path);
    return loaded ? 0 : static_cast<std::uint32_t>(loaded.error().code.value());
}

TEST_F(ProductConfigWin, DefaultsAndConfiguredProperties) {
    {
        platform::config::product_config binding;
        ASSERT_EQ(load_error(binding, dll), 0u);
        EXPECT_STREQ(platform::config::get_string_property(binding, 0), L"Valdrin Agent");
        EXPECT_STREQ(platform::config::get_string_property(binding, 2), L"Valdrin\\Agent");
        EXPECT_STREQ(platform::config::get_string_property(binding, 755),
                     L"SOFTWARE\\Valdrin Agent");
        EXPECT_EQ(platform::config::get_string_property(binding, 1), nullptr);
    }
    // Released: the library is no longer loaded.
    EXPECT_EQ(::GetModuleHandleW(dll.c_str()), nullptr);

    write_ini("# test\r\n0=Valdrin Secure\r\n755=\r\n");
    platform::config::product_config binding;
    ASSERT_EQ(load_error(binding, dll), 0u);
    EXPECT_STREQ(platform::config::get_string_property(binding, 0), L"Valdrin Secure");
    EXPECT_EQ(platform::config::get_string_property(binding, 755), nullptr);
}

TEST_F(ProductConfigWin, FailuresOfTheLibrary) {
    platform::config::product_config binding;
    write_ini("create_error=5\n");
    EXPECT_EQ(load_error(binding, dll), 5u);
    write_ini("interface=0\n");
    EXPECT_EQ(load_error(binding, dll), 632u);
    EXPECT_EQ(::GetModuleHandleW(dll.c_str()), nullptr);
    EXPECT_EQ(load_error(binding, folder + L"\\Missing.dll"), 126u);
}

TEST_F(ProductConfigWin, ProductNameByPlainLibraryName) {
    write_ini("0=Valdrin Home\n");
    ASSERT_TRUE(::SetDllDirectoryW(folder.c_str()));
    const std::wstring name = platform::config::get_product_name();
    ::SetDllDirectoryW(nullptr);
    EXPECT_EQ(name, L"Valdrin Home");
    EXPECT_EQ(platform::config::get_product_name(), L"Valdrin");
}

}  // namespace
