#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "stdext/path.h"
#include "supervision/storage/storage.h"
#include "winapi/facility.h"
#include "winapi/file_system.h"

namespace {

using supervision::storage::wardex_storage;

winapi::file_system& fs() {
    return winapi::facility<winapi::file_system>::get();
}

// A fresh folder under the temporary folder, made the current directory for the test and
// removed with its content afterwards.
class FileSystemWin : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH + 1] = {};
        ASSERT_NE(::GetTempPathW(MAX_PATH, temp), 0u);
        root_ = stdext::path::join(temp, L"wardex-fs-" + std::to_wstring(::GetCurrentProcessId()));
        ASSERT_TRUE(fs().create_folder_tree(stdext::path::join(root_, L"a\\.\\b\\c")));
        previous_ = fs().current_directory().value();
        ASSERT_TRUE(fs().set_current_directory(root_));
    }
    void TearDown() override {
        (void)fs().set_current_directory(previous_);  // the folder goes in any case
        ::SetFileAttributesW(temporary().c_str(), FILE_ATTRIBUTE_NORMAL);
        std::filesystem::remove_all(root_);
    }
    std::wstring temporary() const {
        return winapi::replacement_file_name(root_ + L"\\.\\storage\\wardex.json", 0);
    }

    std::wstring root_;
    std::wstring previous_;
};

TEST_F(FileSystemWin, FilesAndFolders) {
    EXPECT_EQ(stdext::path::normal_form(fs().current_directory().value()),
              stdext::path::normal_form(root_));
    EXPECT_TRUE(fs().create_folder_tree(L"a\\b"));
    EXPECT_EQ(fs().read_file(L"a\\b\\c").error().text, winapi::create_file_failed);
    EXPECT_EQ(fs().read_file(L"missing.txt").error().code.value(), 2);
    EXPECT_FALSE(fs().set_current_directory(L"no\\such\\folder"));

    const std::string bytes("line\r\n\0\xff end", 12);
    ASSERT_TRUE(fs().write_file(L"a\\one.bin", bytes));
    ASSERT_TRUE(fs().write_file(L"a\\two.bin", "longer content"));
    EXPECT_EQ(fs().create_folder_tree(L"a\\one.bin\\x").error().code.value(), 183);
    ASSERT_TRUE(fs().move_file_replacing(L"a\\one.bin", L"a\\two.bin"));
    EXPECT_EQ(fs().read_file(root_ + L"\\a\\two.bin").value(), bytes);
    EXPECT_EQ(fs().move_file_replacing(L"a\\one.bin", L"a\\two.bin").error().code.value(), 2);
    EXPECT_TRUE(fs().delete_file(L"a\\two.bin"));
    EXPECT_FALSE(fs().read_file(L"a\\two.bin"));
}

// Writes through the state file, with the temporary name free, held by a folder, and held by a
// read-only file.
TEST_F(FileSystemWin, StateFileWrites) {
    const std::wstring file = wardex_storage::path().value();
    EXPECT_FALSE(wardex_storage::read_repair_data());
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        if (round == 1) {
            ASSERT_TRUE(fs().create_folder_tree(temporary()));
        } else if (round == 2) {
            ASSERT_TRUE(::RemoveDirectoryW(temporary().c_str()));
            ASSERT_TRUE(fs().write_file(temporary(), "old"));
            ASSERT_TRUE(::SetFileAttributesW(temporary().c_str(), FILE_ATTRIBUTE_READONLY));
        }
        ASSERT_TRUE(wardex_storage::write_repair_data({1, 5}));
        ASSERT_TRUE(
            wardex_storage::write_local_update_data({2, 7, "1.0." + std::to_string(round)}));
        EXPECT_EQ(fs().read_file(file).value(),
                  R"({"local_update":{"count":2,"time":7,"version":"1.0.)" + std::to_string(round) +
                      R"("},"repair":{"count":1,"time":5},"start_service":{"count":0,"time":0},)"
                      R"("tolvar_report":{"last_report_time":0}})");
        EXPECT_FALSE(fs().read_file(winapi::replacement_file_name(file, 1)));
    }
    EXPECT_EQ(fs().read_file(temporary()).value(), "old");
}

}  // namespace
