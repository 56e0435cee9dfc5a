#include "stdext/path.h"
#include "stdext/final_path.h"

#include <gtest/gtest.h>

#include <array>

namespace {

namespace path = stdext::path;

TEST(Path, WindowsRules) {
    for (const auto& [base, tail, joined] : std::initializer_list<std::array<const wchar_t*, 3>>{
             {L"C:\\a", L".\\b.json", L"C:\\a\\.\\b.json"},
             {L"C:\\", L".\\b.json", L"C:\\.\\b.json"},
             {L"C:\\Agent\\", L"settings\\Corvel.json", L"C:\\Agent\\settings\\Corvel.json"},
             {L"C:", L"x", L"C:x"},
             {L"", L"x", L"x"},
             {L"C:\\Agent\\", L"D:\\Other", L"D:\\Other"},
             {L"C:\\Agent\\", L"\\\\srv\\share\\a", L"\\\\srv\\share\\a"},
             {L"C:\\Agent\\", L"\\Root", L"C:\\Root"},
             {L"C:\\Agent\\", L"c:rel", L"C:\\Agent\\rel"},
             {L"C:\\Agent\\", L"D:rel", L"D:rel"},
         }) {
        EXPECT_EQ(path::join(base, tail), joined) << base << L" + " << tail;
    }

    // A path, its parent, its folder as split gives it (with the separator), its file name and
    // its normal form.
    for (const auto& [full, parent, folder, name, normal] :
         std::initializer_list<std::array<const wchar_t*, 5>>{
             {L"C:\\a\\.\\storage\\w.json", L"C:\\a\\.\\storage", L"C:\\a\\.\\storage\\", L"w.json",
              L"c:\\a\\.\\storage\\w.json"},
             {L"C:\\a\\B\\", L"C:\\a", L"C:\\a\\B\\", L"", L"c:\\a\\b"},
             {L"C:/a//b", L"C:/a", L"C:/a//", L"b", L"c:\\a\\\\b"},
             {L"C:\\w.json", L"C:\\", L"C:\\", L"w.json", L"c:\\w.json"},
             {L"C:\\", L"C:\\", L"C:\\", L"", L"c:\\"},
             {L"C:name", L"C:", L"", L"C:name", L"c:name"},
             {L"\\\\srv\\share\\f", L"\\\\srv\\share", L"\\\\srv\\share\\", L"f",
              L"\\\\srv\\share\\f"},
             {L"w.json", L"", L"", L"w.json", L"w.json"},
         }) {
        EXPECT_EQ(path::parent(full), parent) << full;
        EXPECT_EQ(path::split(full).folder, folder) << full;
        EXPECT_EQ(path::file_name(full), name) << full;
        EXPECT_EQ(path::normal_form(full), normal) << full;
    }

    for (const auto& [raw, normal] :
         std::initializer_list<std::pair<const wchar_t*, const wchar_t*>>{
             {L"C:/a/./b/../c", L"C:\\a\\c"},
             {L"c:\\a\\\\b\\", L"c:\\a\\b\\"},
             {L"a/b/..", L"a\\"},
             {L"a/b/.", L"a\\b\\"},
             {L"a/..", L"."},
             {L"./", L"."},
             {L"", L""},
             {L"../x/../..", L"..\\.."},
             {L"../.", L".."},
             {L"C:\\..\\..\\a", L"C:\\a"},
             {L"C:..\\a", L"C:..\\a"},
             {L"//srv/share/./f", L"\\\\srv\\share\\f"},
         }) {
        EXPECT_EQ(path::lexically_normal(raw), normal) << raw;
    }

    EXPECT_EQ(path::with_trailing_separator(L"C:\\a//"), L"C:\\a\\");
    EXPECT_EQ(path::with_trailing_separator(L""), L"");
    EXPECT_EQ(path::ending_in_backslash(L"C:/"), L"C:/\\");
    EXPECT_EQ(path::ending_in_backslash(L""), L"\\");
    EXPECT_EQ(path::without_trailing_separator(L"\\"), L"\\");
    EXPECT_TRUE(path::is_absolute(L"c:/x"));
    EXPECT_TRUE(path::is_absolute(L"\\\\srv\\x"));
    EXPECT_FALSE(path::is_absolute(L"C:x"));
    EXPECT_FALSE(path::is_absolute(L"\\x"));
    EXPECT_EQ(path::root_name(L"\\\\srv\\share"), L"\\\\srv");
    for (const std::wstring_view drive : {L"A:\\a", L"Z:", L"a:", L"z:\\a"}) {
        EXPECT_EQ(path::root_name(drive), drive.substr(0, 2));
    }
    EXPECT_EQ(path::root_name(L"[:\\a"), L"");
    for (const wchar_t* root : {L"\\", L"C:", L"c:/"}) {
        EXPECT_TRUE(path::is_root(root)) << root;
    }
    for (const wchar_t* other : {L"C:a", L"C:\\a", L"[:\\"}) {
        EXPECT_FALSE(path::is_root(other)) << other;
    }
}

TEST(Path, AFinalPathNamesTheOpenedPathOnlyWhenNothingLedElsewhere) {
    const std::wstring log = L"C:\\ProgramData\\VDLogging\\Wardex\\repair\\a .log";
    EXPECT_TRUE(path::is_final_path_of(log, log));
    EXPECT_TRUE(path::is_final_path_of(L"\\\\?\\UNC\\srv\\share\\f", L"\\\\srv\\share\\f"));
    EXPECT_TRUE(path::is_final_path_of(L"\\\\?\\C:\\long\\f", L"\\\\?\\C:\\long\\f"));
    // No final path at all.
    EXPECT_FALSE(path::is_final_path_of(L"", log));
    EXPECT_FALSE(path::is_final_path_of(L"", L""));
}

}  // namespace
