#include <windows.h>

#include <gtest/gtest.h>

#include "stdext/path.h"
#include "winapi/facility.h"
#include "winapi/file_identity.h"
#include "winapi/file_system.h"
#include "winapi/modules.h"
#include "winapi/process_context.h"
#include "winapi/registry.h"

namespace {

template <class I>
I& get() {
    return winapi::facility<I>::get();
}

TEST(ProcessContextWin, AdministratorArchitectureAndCommandLine) {
    auto& process = get<winapi::process_context>();
    EXPECT_EQ(process.is_administrator().value(), true);
    EXPECT_EQ(process.native_processor_architecture(), winapi::processor_architecture_amd64);
    const std::vector<std::wstring> expected = {L"C:\\Program Files\\a b\\W.exe", L"REPAIR", L"x"};
    EXPECT_EQ(process.split_command_line(L"\"C:\\Program Files\\a b\\W.exe\" REPAIR  x").value(),
              expected);
    EXPECT_FALSE(process.command_line().empty());
}

// The error number of a failed call, 0 for a success.
template <class T>
int error_of(const stdext::expected<T>& result) {
    return result ? 0 : result.error().code.value();
}

TEST(ModulesWin, NamesLoadsAndExports) {
    auto& modules = get<winapi::modules>();
    const auto own = winapi::module_file_name(modules.self());
    ASSERT_TRUE(own);
    EXPECT_TRUE(stdext::path::is_absolute(*own));
    // A name cut short to fit the buffer is an error, not a shorter name.
    EXPECT_EQ(error_of(modules.file_name(modules.self(), 4)), 122);

    const auto loaded = modules.get_loaded(L"kernel32.dll");
    ASSERT_TRUE(loaded);
    EXPECT_NE(modules.find_export(loaded->get(), "GetTickCount"), nullptr);
    EXPECT_EQ(modules.find_export(loaded->get(), "NoSuchExport"), nullptr);
    EXPECT_EQ(error_of(modules.load(L"C:\\no such folder\\none.dll", 0)), 126);
    EXPECT_EQ(error_of(modules.get_loaded(L"none.dll")), 126);
}

TEST(RegistryWin, EachCallReportsItsError) {
    auto& reg = get<winapi::registry>();
    const std::wstring test_key = L"SOFTWARE\\WardexTest\\Facilities";
    const auto hklm = winapi::hkey_local_machine;
    EXPECT_EQ(error_of(reg.open_key(hklm, test_key, 0x201)), 2);
    {
        const auto key = reg.create_key(hklm, test_key, winapi::key_all_access_32,
                                        winapi::reg_option_non_volatile);
        ASSERT_TRUE(key);
        ASSERT_TRUE(reg.set_string(key->get(), L"text", L"abcdef"));
        EXPECT_EQ(reg.query_value(key->get(), L"text", 100)->data.size(), 14u);
        EXPECT_EQ(error_of(reg.get_dword(key->get(), L"", L"text")), 1630);
        EXPECT_EQ(reg.get_string(key->get(), L"", L"text").value(), L"abcdef");
    }
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\WardexTest");
}

TEST(FileIdentityWin, OneFolderUnderTwoSpellingsAndTheCurrentDirectory) {
    auto& files = winapi::facility<winapi::file_identity>::get();
    const auto windows = files.identify(L"C:\\windows").value();
    const auto system = files.identify(L"C:\\windows\\system32").value();
    EXPECT_EQ(files.identify(L"c:\\WINDOWS\\").value(), windows);
    EXPECT_NE(windows, system);
    EXPECT_EQ(files.identify(L"C:\\no such folder").error().code.value(), 2);

    auto& disk = winapi::facility<winapi::file_system>::get();
    ASSERT_TRUE(disk.set_current_directory(L"C:\\windows\\system32\\"));
    EXPECT_EQ(files.identify(L".").value(), system);
}

}  // namespace
