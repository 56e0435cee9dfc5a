#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "supervision/storage/storage.h"
#include "win/support.h"
#include "winapi/facility.h"
#include "winapi/file_system.h"

namespace {

using supervision::storage::wardex_storage;

// Files and folders, then state file writes with the temporary name free, held by a folder, held
// by a read-only file and free again, all in a fresh folder made the current directory. (Wine run
// by root may overwrite the read-only file; that round then shows only that the write succeeds.)
TEST(FileSystemWin, FilesFoldersAndStateFileWrites) {
    auto& fs = winapi::facility<winapi::file_system>::get();
    const wintest::temp_folder folder("fs");
    const std::wstring root = folder.path().wstring();
    ASSERT_TRUE(fs.create_folder_tree(root + L"\\a\\.\\b\\c"));
    const std::wstring previous = fs.current_directory().value();
    ASSERT_TRUE(fs.set_current_directory(root));
    EXPECT_FALSE(fs.set_current_directory(L"no\\such\\folder"));
    EXPECT_EQ(fs.read_file(L"a\\b").error().text, winapi::create_file_failed);
    EXPECT_EQ(fs.read_file(L"missing.txt").error().code.value(), 2);

    const std::string bytes("line\r\n\0\xff end", 12);
    ASSERT_TRUE(fs.write_file(L"a\\one.bin", bytes));
    EXPECT_EQ(fs.read_file(root + L"\\a\\one.bin").value(), bytes);
    EXPECT_EQ(fs.create_folder_tree(L"a\\one.bin\\x").error().code.value(), 183);
    EXPECT_TRUE(fs.delete_file(L"a\\one.bin"));
    EXPECT_EQ(fs.move_file_replacing(L"a\\one.bin", L"a\\two.bin").error().code.value(), 2);

    const std::wstring file = wardex_storage::path().value();
    const std::wstring temporary = winapi::replacement_file_name(file, 0);
    for (int round = 0; round < 4; ++round) {
        if (round == 1) {
            ASSERT_TRUE(fs.create_folder_tree(temporary));
        } else if (round == 2) {
            ASSERT_TRUE(::RemoveDirectoryW(temporary.c_str()));
            ASSERT_TRUE(fs.write_file(temporary, "old"));
            ASSERT_TRUE(::SetFileAttributesW(temporary.c_str(), FILE_ATTRIBUTE_READONLY));
        }
        ASSERT_TRUE(wardex_storage::write_local_update_data({2, 7, std::to_string(round)}));
        EXPECT_EQ(fs.read_file(file).value(),
                  R"({"local_update":{"count":2,"time":7,"version":")" + std::to_string(round) +
                      R"("},"repair":{"count":0,"time":0},"start_service":{"count":0,"time":0},)"
                      R"("tolvar_report":{"last_report_time":0}})");
        EXPECT_FALSE(fs.read_file(winapi::replacement_file_name(file, 1)));
    }

    ::SetFileAttributesW(temporary.c_str(), FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(fs.set_current_directory(previous));
}

}  // namespace
