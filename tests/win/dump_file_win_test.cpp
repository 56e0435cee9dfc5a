// The protection events' dump file on a real file system: records appended and read back, the
// file held by another opener, the 10 MiB restart, and a name that leads to another file (which
// the repair log refuses too).
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "dllprotect/dump_file.h"
#include "dllprotect/dump_reader.h"
#include "dllprotect/trust_decisions.h"
#include "stdext/final_path.h"
#include "win/support.h"
#include "winapi/append_file.h"
#include "winapi/diagnostics.h"
#include "winapi/facility.h"
#include "winapi/file_system.h"

namespace {

using namespace dllprotect;

DllProtectInfo event(std::string name) {
    return {std::move(name), "C:\\x.dll", "VULNERABLE_PATH", "LoadLibraryExW", "0x8", "", "", ""};
}

class DumpFileWin : public ::testing::Test {
protected:
    DumpFileWin() { decisions().dump_file_path = path_; }
    ~DumpFileWin() override { decisions().dump_file_path.clear(); }
    static winapi::file_system& files() { return winapi::facility<winapi::file_system>::get(); }
    std::vector<DllProtectInfo> records() {
        const auto contents = read_dump(files().read_file(path_).value());
        EXPECT_FALSE(contents.error);
        return contents.records;
    }

    const wintest::temp_folder folder_{"dump"};
    const std::wstring path_ = (folder_ / "dllReport.Wardex.exe.V2").wstring();
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
        // The event's own open asks for read access, which the held one does not share.
        auto held = appends.open(path_);
        ASSERT_TRUE(held);
        const DWORD start = ::GetTickCount();
        EXPECT_FALSE(DumpDllProtEvent(event("b.dll")));
        EXPECT_GE(::GetTickCount() - start, 90u);  // ten waits of 10 ms
    }
    ASSERT_TRUE(DumpDllProtEvent(event("c.dll")));
    EXPECT_EQ(records(), (std::vector{event("a.dll"), event("c.dll")}));
}

// The ctest fixture makes a Unix symbolic link "link.bin" to "target.bin" in WARDEX_LINK_DIR;
// Wine opens the target through it and reports the target's final path. The dump file and the
// repair log refuse the link and leave the target as it was: not cut, not written.
TEST_F(DumpFileWin, ANameThatLeadsToAnotherFileIsRefused) {
    const std::wstring link = wintest::env_path("WARDEX_LINK_DIR", L"link.bin");
    const std::wstring target = wintest::env_path("WARDEX_LINK_DIR", L"target.bin");
    if (link.empty()) {
        GTEST_SKIP() << "WARDEX_LINK_DIR not set";
    }
    const std::string before = files().read_file(target).value();
    ASSERT_FALSE(before.empty());

    decisions().dump_file_path = link;
    EXPECT_FALSE(DumpDllProtEvent(event("a.dll")));
    const auto log = winapi::facility<winapi::diagnostics>::get().open_log_file(
        link, [&](const std::wstring& final_path) {
            return stdext::path::is_final_path_of(final_path, link);
        });
    EXPECT_EQ(log ? 0 : log.error().code.value(), 1656);
    EXPECT_EQ(files().read_file(target).value(), before);
    // The target itself, by its own name, is written.
    decisions().dump_file_path = target;
    EXPECT_TRUE(DumpDllProtEvent(event("a.dll")));
    EXPECT_GT(files().read_file(target).value().size(), before.size());
}

}  // namespace
