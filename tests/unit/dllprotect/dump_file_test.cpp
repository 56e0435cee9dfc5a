// Appending events to the dump file over the fake machine's append-file facility.
#include "dllprotect/dump_file.h"

#include <gtest/gtest.h>

#include "dllprotect/dump_reader.h"
#include "dllprotect/dump_record.h"
#include "dllprotect/trust_decisions.h"
#include "unit/dllprotect/protect_machine.h"

namespace {

using namespace dllprotect;

const std::wstring dump_path = L"C:\\Program Files\\Valdrin\\Agent\\dllReport.Wardex.exe.V2";

class DumpFile : public dllprotect::protect_machine {
protected:
    DumpFile() { decisions().dump_file_path = dump_path; }
    ~DumpFile() override { decisions().dump_file_path.clear(); }

    static DllProtectInfo event(std::string name) {
        return {std::move(name), "C:\\x.dll", "VULNERABLE_PATH", "LoadLibraryW", "0x0",
                "a.exe",         "0x1f",      "err:0x0"};
    }
    std::string& file() { return machine.appends.content(dump_path); }
    std::vector<DllProtectInfo> records() {
        const auto contents = read_dump(file());
        EXPECT_FALSE(contents.error);
        return contents.records;
    }
};

TEST_F(DumpFile, AppendsOneRecordPerEvent) {
    EXPECT_TRUE(DumpDllProtEvent(event("a.dll")));
    // Each step writes its enter and leave lines around its own.
    EXPECT_EQ(traced(trace, {"Dump"}),
              (std::vector<std::string>{
                  "DumpDllProtEvent -> ", "DumpEventToFile -> ",
                  "DumpEventToFile() - event dump is: "
                  "a.dll|C:\\x.dll|VULNERABLE_PATH|LoadLibraryW|0x0|a.exe|0x1f|err:0x0|",
                  "DumpEventToFile <- ", "DumpDllProtEvent <- "}));
    EXPECT_TRUE(DumpDllProtEvent(event("b.dll")));
    EXPECT_EQ(records(), (std::vector{event("a.dll"), event("b.dll")}));

    // No path: nothing is opened.
    decisions().dump_file_path.clear();
    EXPECT_FALSE(DumpDllProtEvent(event("c.dll")));
    EXPECT_EQ(machine.faults.calls("open"), 2);
}

TEST_F(DumpFile, StartsAgainOnlyPastTenMebibytes) {
    file() = std::string(10485760, 'x');
    EXPECT_TRUE(DumpDllProtEvent(event("a.dll")));
    EXPECT_EQ(file().substr(0, 10485760), std::string(10485760, 'x'));
    EXPECT_GT(file().size(), 10485760u);

    file() = std::string(10485761, 'x');
    EXPECT_TRUE(DumpDllProtEvent(event("b.dll")));
    EXPECT_EQ(records(), std::vector{event("b.dll")});
}

TEST_F(DumpFile, WaitsForAnotherWriterTenTimesTenMilliseconds) {
    for (int nth = 1; nth <= 10; ++nth) {
        machine.faults.fail("open", nth, winapi::error_sharing_violation);
    }
    EXPECT_TRUE(DumpDllProtEvent(event("a.dll")));
    EXPECT_EQ(machine.clock.sleeps, std::vector<std::uint32_t>(10, 10));
    EXPECT_EQ(records(), std::vector{event("a.dll")});

    // An eleventh violation gives up; any other error gives up at once.
    machine.clock.sleeps.clear();
    machine.faults.clear();
    machine.faults.fail_always("open", winapi::error_sharing_violation);
    EXPECT_FALSE(DumpDllProtEvent(event("b.dll")));
    EXPECT_EQ(machine.clock.sleeps.size(), 10u);
    EXPECT_TRUE(trace.contains("DumpDllProtEvent() - cannot open write file"));
    machine.faults.fail_always("open", winapi::error_access_denied);
    EXPECT_FALSE(DumpDllProtEvent(event("b.dll")));
    EXPECT_EQ(machine.clock.sleeps.size(), 10u);
    EXPECT_EQ(records(), std::vector{event("a.dll")});
}

TEST_F(DumpFile, RefusesAPathThatLeadsElsewhere) {
    const std::wstring target = L"C:\\Windows\\System32\\config\\important";
    machine.appends.links[fakes::path_key(dump_path)] = target;
    EXPECT_FALSE(DumpDllProtEvent(event("a.dll")));
    EXPECT_TRUE(machine.appends.content(target).empty());
    EXPECT_TRUE(trace.contains("cannot open write file"));
    EXPECT_TRUE(machine.clock.sleeps.empty());

    // Another letter case of the same file is the same file.
    machine.appends.links[fakes::path_key(dump_path)] =
        L"c:\\PROGRAM FILES\\valdrin\\agent\\"
        L"DLLREPORT.Wardex.exe.V2";
    EXPECT_TRUE(DumpDllProtEvent(event("a.dll")));
}

TEST_F(DumpFile, AFailedWriteLeavesTheFileAsItWas) {
    ASSERT_TRUE(DumpDllProtEvent(event("a.dll")));
    const std::string before = file();
    // The length written and the ciphertext refused; then the length itself cut short (the
    // first record took writes 1 and 2).
    machine.faults.fail("write", 4, 112);
    EXPECT_TRUE(DumpDllProtEvent(event("b.dll")));
    EXPECT_EQ(file(), before);
    EXPECT_TRUE(
        trace.contains("[DLLPROTECT] :: WriteStringToFile() - WriteFile failed 0x70  dw: "
                       "0x0 size: 0x48"));
    EXPECT_TRUE(trace.contains("DumpDllProtEvent() - DumpEventToFile failed"));
    machine.appends.short_write_at = 5;
    EXPECT_TRUE(DumpDllProtEvent(event("c.dll")));
    EXPECT_EQ(file(), before);
    EXPECT_TRUE(trace.contains("WriteFile failed 0x0  dw: 0x2 size: 0x4"));
    // A text without a block to encrypt is refused before anything is written.
    const auto opened = machine.appends.open(dump_path);
    ASSERT_TRUE(opened);
    EXPECT_FALSE(DumpEventToFile(opened->file.get(), ""));
    EXPECT_TRUE(trace.contains("DumpEventToFile() - encrypt failed"));

    EXPECT_TRUE(DumpDllProtEvent(event("d.dll")));
    EXPECT_EQ(records(), (std::vector{event("a.dll"), event("d.dll")}));
}

}  // namespace
