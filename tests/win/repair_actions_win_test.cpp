// Repair actions against the real system: the file operations Wine carries out (it makes no
// symbolic links, so the link logic is tested with the fakes) and the registry views of the two
// keys.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "supervision/repair_actions.h"
#include "win/support.h"
#include "winapi/facility.h"
#include "winapi/file_system.h"

namespace {

namespace fs = std::filesystem;
using winapi::file_type;

using wintest::key_exists;

TEST(RepairActionsWin, FileOperations) {
    auto& files = winapi::facility<winapi::file_system>::get();
    const wintest::temp_folder root("actions");
    fs::create_directories(root / "a");
    fs::create_directories(root / "empty");
    std::ofstream(root / "a" / "f.txt") << "text";
    auto at = [&](const char* relative) { return (root / relative).wstring(); };

    EXPECT_EQ(files.status(at("a/f.txt")).value(), file_type::regular);
    EXPECT_EQ(files.symlink_status(at("a")).value(), file_type::directory);
    EXPECT_EQ(files.status(at("none/x")).value(), file_type::not_found);
    EXPECT_EQ(files.read_symlink(at("a/f.txt")).error().code.value(), 4390);
    ASSERT_TRUE(files.copy_file(at("a/f.txt"), at("copy.txt")));
    EXPECT_EQ(files.copy_file(at("a/f.txt"), at("copy.txt")).error().code.value(), 80);
    EXPECT_FALSE(files.copy_file(at("a/f.txt"), at("empty")));
    EXPECT_EQ(files.remove(at("a")).error().code.value(), 145);
    EXPECT_TRUE(files.remove(at("a/f.txt")) && files.remove(at("empty")));
    EXPECT_EQ(files.status(at("empty")).value(), file_type::not_found);
}

class RepairKeysWin : public ::testing::Test {
protected:
    ~RepairKeysWin() override {
        ::SetDllDirectoryW(nullptr);
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\WardexTest");
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\WardexTest");
    }
};

TEST_F(RepairKeysWin, RepairedMarkerIsVolatileInThe32BitView) {
    const std::wstring marker = L"SOFTWARE\\WardexTest\\Actions\\repaired";
    ASSERT_EQ(supervision::SetIsRepaired(marker), 0u);
    EXPECT_EQ(supervision::SetIsRepaired(marker), 0u);  // an existing key is opened
    EXPECT_TRUE(key_exists(marker, KEY_WOW64_32KEY));
    EXPECT_FALSE(key_exists(marker, KEY_WOW64_64KEY));
    // Only a volatile key refuses a subkey that is kept on disk.
    HKEY child = nullptr;
    EXPECT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (marker + L"\\child").c_str(), 0, nullptr, 0,
                                KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &child, nullptr),
              ERROR_CHILD_MUST_BE_VOLATILE);
}

TEST_F(RepairKeysWin, UpdatingKeyCountsInThe64BitViewOnly) {
    const fs::path dll = wintest::built("lab/iservconfig/IServConfig.dll");
    if (dll.empty()) {
        GTEST_SKIP() << "the lab's IServConfig.dll is not built";
    }
    const wintest::temp_folder folder("actions-config");
    fs::copy_file(dll, folder / "IServConfig.dll");
    std::ofstream(folder / "iservconfig.ini") << "755=SOFTWARE\\WardexTest\\Product\n";
    ASSERT_TRUE(::SetDllDirectoryW(folder.path().c_str()));

    const wchar_t* key = L"SOFTWARE\\WardexTest\\Product\\Install\\AgentUpdating";
    EXPECT_FALSE(supervision::agent_kit::is_updating());
    for (const REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        HKEY created = nullptr;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS | view,
                                    nullptr, &created, nullptr),
                  0);
        ::RegCloseKey(created);
        EXPECT_EQ(supervision::agent_kit::is_updating(), view == KEY_WOW64_64KEY);
    }
}

}  // namespace
