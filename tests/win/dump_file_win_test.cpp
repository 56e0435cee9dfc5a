// The protection events' dump file on a real file system: records appended and read back, the
// file held by another opener, the 10 MiB restart, and a name that leads to another file.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "dllprotect/dump_file.h"
#include "dllprotect/dump_reader.h"
#include "dllprotect/trust_decisions.h"
#include "stdext/path.h"
#include "stdext/utf.h"
#include "winapi/append_file.h"
#include "winapi/facility.h"
#include "winapi/file_system.h"

namespace {

using namespace dllprotect;

DllProtectInfo event(std::string name) {
    return {std::move(name), "C:\\x.dll", "VULNERABLE_PATH", "LoadLibraryExW", "0x8", "", "", ""};
}

class DumpFileWin : public ::testing::Test {
protected:
    DumpFileWin() {
        wchar_t temp[MAX_PATH + 1] = {};
        ::GetTempPathW(MAX_PATH, temp);
        folder_ =
            stdext::path::join(temp, L"wardex-dump-" + std::to_wstring(::GetCurrentProcessId()));
        EXPECT_TRUE(files().create_folder_tree(folder_));
        path_ = stdext::path::join(folder_, L"dllReport.Wardex.exe.V2");
        decisions().dump_file_path = path_;
    }
    ~DumpFileWin() override {
        decisions().dump_file_path.clear();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    static winapi::file_system& files() { return winapi::facility<winapi::file_system>::get(); }
    std::vector<DllProtectInfo> records() {
        const auto contents = read_dump(files().read_file(path_).value());
        EXPECT_FALSE(contents.error);
        return contents.records;
    }

    std::wstring folder_;
    std::wstring path_;
};

TEST_F(DumpFileWin, AppendsRecordsAndStartsAgainPastTenMebibytes) {
    ASSERT_TRUE(DumpDllProtEvent(event("a.dll")));
    ASSERT_TRUE(DumpDllProtEvent(event("b.dll")));
    EXPECT_EQ(records(), (std::vector{event("a.dll"), event("b.dll")}));

    ASSERT_TRUE(files().write_file(path_, std::string(10485761, '\0')));
    ASSERT_TRUE(DumpDllProtEvent(event("c.dll")));
    EXPECT_EQ(records(), std::vector{event("c.dll")});
}

TEST_F(DumpFileWin, AnotherWriterHoldingTheFileMakesTheEventGiveUp) {
    ASSERT_TRUE(DumpDllProtEvent(event("a.dll")));
    auto& appends = winapi::facility<winapi::append_file>::get();
    {
        // A second open of the same kind asks for read access, which the first does not share.
        auto held = appends.open(path_);
        ASSERT_TRUE(held);
        EXPECT_EQ(appends.open(path_).error().code.value(), 32);
        const DWORD start = ::GetTickCount();
        EXPECT_FALSE(DumpDllProtEvent(event("b.dll")));
        EXPECT_GE(::GetTickCount() - start, 90u);  // ten waits of 10 ms
    }
    ASSERT_TRUE(DumpDllProtEvent(event("c.dll")));
    EXPECT_EQ(records(), (std::vector{event("a.dll"), event("c.dll")}));
}

// The ctest fixture makes a Unix symbolic link "link.bin" to "target.bin" in WARDEX_LINK_DIR;
// Wine opens the target through it and reports the target's final path.
TEST_F(DumpFileWin, ANameThatLeadsToAnotherFileIsRefused) {
    const char* dir = std::getenv("WARDEX_LINK_DIR");
    if (dir == nullptr) {
        GTEST_SKIP() << "WARDEX_LINK_DIR not set";
    }
    const std::wstring link = stdext::path::join(stdext::utf8_to_wide(dir), L"link.bin");
    const std::wstring target = stdext::path::join(stdext::utf8_to_wide(dir), L"target.bin");
    const std::string before = files().read_file(target).value();

    auto opened = winapi::facility<winapi::append_file>::get().open(link);
    ASSERT_TRUE(opened);
    EXPECT_TRUE(
        stdext::to_lower(opened->final_path, stdext::case_rule::ascii).ends_with(L"\\target.bin"));
    opened->file.reset();

    decisions().dump_file_path = link;
    EXPECT_FALSE(DumpDllProtEvent(event("a.dll")));
    EXPECT_EQ(files().read_file(target).value(), before);
    // The target itself, by its own name, is written.
    decisions().dump_file_path = target;
    EXPECT_TRUE(DumpDllProtEvent(event("a.dll")));
    EXPECT_GT(files().read_file(target).value().size(), before.size());
}

}  // namespace
