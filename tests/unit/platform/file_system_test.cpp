#include "winapi/file_system.h"

#include <gtest/gtest.h>

#include "fakes/fake_file_system.h"
#include "winapi/facility.h"
#include "winapi/win_error_category.h"

namespace {

using fakes::fake_file_system;

TEST(FolderTree, CreatesEveryMissingFolderOrReportsTheFailure) {
    fake_file_system fs;
    winapi::scoped_facility<winapi::file_system> use(fs);
    EXPECT_EQ(winapi::create_folder_tree(L"D:\\x\\.\\y\\z"), 3u);  // no drive D

    fs.add_folder(L"D:\\");
    EXPECT_EQ(winapi::create_folder_tree(L"D:\\x\\.\\y\\z"), 0u);
    EXPECT_TRUE(fs.has_folder(L"d:\\X\\Y\\Z"));
    EXPECT_EQ(winapi::create_folder_tree(L"D:\\x\\y"), 0u);  // existing

    fs.set_file(L"D:\\f", "");
    EXPECT_EQ(winapi::create_folder_tree(L"D:\\f\\g"), winapi::error_already_exists);

    fs.fail(fake_file_system::op::create_folder, 5, 1);
    EXPECT_EQ(winapi::create_folder_tree(L"D:\\p\\q\\r"), 5u);
    EXPECT_TRUE(fs.has_folder(L"D:\\p"));
    EXPECT_FALSE(fs.has_folder(L"D:\\p\\q"));
}

}  // namespace
