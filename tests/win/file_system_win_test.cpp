#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "stdext/path.h"
#include "supervision/storage/storage.h"
#include "winapi/facility.h"
#include "winapi/file_system.h"
#include "winapi/win_error_category.h"

namespace {

using winapi::file_step;

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
        ASSERT_EQ(winapi::create_folder_tree(root_), 0u);
        ASSERT_EQ(fs().current_directory(previous_), 0u);
        ASSERT_EQ(fs().set_current_directory(root_), 0u);
    }
    void TearDown() override {
        fs().set_current_directory(previous_);
        std::filesystem::remove_all(root_);
    }

    std::wstring root_;
    std::wstring previous_;
};

TEST_F(FileSystemWin, FilesAndFolders) {
    std::wstring current;
    ASSERT_EQ(fs().current_directory(current), 0u);
    EXPECT_TRUE(fs().folder_exists(current));
    EXPECT_TRUE(fs().folder_exists(L"."));

    std::string content;
    const auto missing = fs().read_file(L"missing.txt", content);
    EXPECT_EQ(missing.step, file_step::open);
    EXPECT_EQ(missing.error, winapi::error_file_not_found);
    EXPECT_EQ(fs().read_file(L".", content).step, file_step::open);
    EXPECT_NE(fs().set_current_directory(L"no\\such\\folder"), 0u);

    EXPECT_EQ(winapi::create_folder_tree(L"a\\.\\b\\c"), 0u);
    EXPECT_TRUE(fs().folder_exists(root_ + L"\\a\\b\\c"));
    EXPECT_EQ(fs().create_folder(L"a\\b"), winapi::error_already_exists);

    const std::string bytes("line\r\n\0\xff end", 12);
    ASSERT_TRUE(fs().write_file(L"a\\one.bin", bytes).ok());
    ASSERT_TRUE(fs().write_file(L"a\\two.bin", "short").ok());
    EXPECT_TRUE(fs().file_exists(L"a\\one.bin"));
    EXPECT_FALSE(fs().folder_exists(L"a\\one.bin"));
    EXPECT_FALSE(fs().file_exists(L"a"));

    ASSERT_EQ(fs().replace_file(L"a\\one.bin", L"a\\two.bin"), 0u);
    EXPECT_FALSE(fs().file_exists(L"a\\one.bin"));
    ASSERT_TRUE(fs().read_file(root_ + L"\\a\\two.bin", content).ok());
    EXPECT_EQ(content, bytes);

    EXPECT_EQ(fs().replace_file(L"a\\gone.bin", L"a\\two.bin"), winapi::error_file_not_found);
    EXPECT_EQ(fs().delete_file(L"a\\two.bin"), 0u);
    EXPECT_EQ(fs().delete_file(L"a\\two.bin"), winapi::error_file_not_found);
}

TEST_F(FileSystemWin, StorageRoundTrip) {
    const std::wstring file = root_ + L"\\.\\storage\\wardex.json";
    EXPECT_EQ(supervision::storage::wardex_storage::path().value(), file);

    EXPECT_FALSE(supervision::storage::wardex_storage::read_repair_data());
    ASSERT_TRUE(supervision::storage::wardex_storage::write_repair_data({1, 5}));
    ASSERT_TRUE(supervision::storage::wardex_storage::write_local_update_data({2, 7, "1.0.1"}));
    std::string content;
    ASSERT_TRUE(fs().read_file(file, content).ok());
    EXPECT_EQ(content, R"({"local_update":{"count":2,"time":7,"version":"1.0.1"},)"
                       R"("repair":{"count":1,"time":5},"start_service":{"count":0,"time":0},)"
                       R"("tolvar_report":{"last_report_time":0}})");
    EXPECT_FALSE(fs().file_exists(winapi::replacement_file_name(file)));

    // A storage path taken by a folder: the write fails and leaves it alone.
    ASSERT_EQ(fs().delete_file(file), 0u);
    ASSERT_EQ(fs().create_folder(file), 0u);
    EXPECT_FALSE(supervision::storage::wardex_storage::write_repair_data({1, 5}));
    EXPECT_TRUE(fs().folder_exists(file));
    EXPECT_FALSE(fs().file_exists(winapi::replacement_file_name(file)));
}

}  // namespace
