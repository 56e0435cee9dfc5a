#include "winapi/file_system.h"

#include <gtest/gtest.h>

#include "fakes/fake_file_system.h"
#include "winapi/facility.h"

namespace {

using fakes::fake_file_system;

TEST(FilePaths, JoinAndParent) {
    EXPECT_EQ(winapi::join_path(L"C:\\a", L".\\b.json"), L"C:\\a\\.\\b.json");
    EXPECT_EQ(winapi::join_path(L"C:\\", L".\\b.json"), L"C:\\.\\b.json");
    EXPECT_EQ(winapi::join_path(L"", L".\\b.json"), L".\\b.json");

    EXPECT_EQ(winapi::parent_folder(L"C:\\a\\.\\storage\\w.json"), L"C:\\a\\.\\storage");
    EXPECT_EQ(winapi::parent_folder(L"C:\\a\\b\\"), L"C:\\a");
    EXPECT_EQ(winapi::parent_folder(L"C:\\a//b"), L"C:\\a");
    EXPECT_EQ(winapi::parent_folder(L"C:\\w.json"), L"C:\\");
    EXPECT_EQ(winapi::parent_folder(L"C:\\"), L"C:\\");
    EXPECT_EQ(winapi::parent_folder(L"\\\\srv\\share\\f"), L"\\\\srv\\share");
    EXPECT_EQ(winapi::parent_folder(L"w.json"), L"");
}

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
