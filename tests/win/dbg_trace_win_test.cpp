// The debug trace for real: copies of lab/dbg_trace_probe run from temporary folders, with and
// without a "dbg_trace.ini" beside them, and the log file they leave under
// <drive>\ProgramData\VDLogging\CstLogs\<exe name>\<run folder>\ is read back.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "win/support.h"

namespace {

namespace fs = std::filesystem;

const char* const probe_program = "lab/bin/dbg-trace-probe.exe";

// Runs a copy of the probe named `name` from a fresh temporary folder, as its current folder,
// with `ini` beside it when given. Returns the exit code and the probe's log folder.
struct probe_run {
    DWORD exit_code = 0xFFFFFFFF;
    fs::path logs;
};

probe_run run_probe(const std::string& name, const std::optional<std::string>& ini) {
    probe_run run;
    const wintest::temp_folder folder(name);
    const fs::path exe = folder / (name + ".exe");
    fs::copy_file(wintest::built(probe_program), exe);
    if (ini) {
        std::ofstream(folder / "dbg_trace.ini", std::ios::binary) << *ini;
    }
    run.logs = exe.root_path() / "ProgramData/VDLogging/CstLogs" / exe.filename();
    fs::remove_all(run.logs);

    std::wstring command = L"\"" + exe.wstring() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (::CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                         folder.path().c_str(), &startup, &process)) {
        ::WaitForSingleObject(process.hProcess, 30000);
        ::GetExitCodeProcess(process.hProcess, &run.exit_code);
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    }
    return run;
}

// The bytes of the one log file in the one run folder, checking the folder's name.
std::string read_log(const fs::path& logs) {
    std::string bytes;
    int runs = 0;
    for (const auto& run : fs::directory_iterator(logs)) {
        ++runs;
        const std::string name = run.path().filename().string();
        // "yyyy-mm-dd_hh_mm_ss__pid"
        EXPECT_EQ(name.size() >= 25 && name[4] == '-' && name[7] == '-' && name[10] == '_' &&
                      name.substr(19, 2) == "__",
                  true)
            << name;
        bytes = wintest::read_all(run.path() / "DLLPROTECT.log");
    }
    EXPECT_EQ(runs, 1);
    return bytes;
}

class DbgTraceWin : public ::testing::Test {
protected:
    void SetUp() override {
        if (wintest::built(probe_program).empty()) {
            GTEST_SKIP() << "dbg-trace-probe.exe not built";
        }
        // A settings file at the drive root would turn every case on.
        ASSERT_FALSE(fs::exists(fs::temp_directory_path().root_path() / "dbg_trace.ini"));
    }
};

// "QZVK" as the key leaves the output plain.
TEST_F(DbgTraceWin, SettingsBesideTheProgramWriteTheLogFileBannerFirst) {
    const probe_run run = run_probe("dbg-trace-plain", "; trace\r\nkey=QZVK\r\nDLLPROTECT=2\r\n");
    EXPECT_EQ(run.exit_code, 1u);
    const std::string log = read_log(run.logs);
    EXPECT_EQ(log.find(" ----------------------------- \r\n>Started at : "), 0u) << log;
    EXPECT_NE(log.find(">Version    : 5.6.7.8\r\n"), std::string::npos) << log;
    for (const char* part : {"] x [DLLPROTECT] :: probe_scope -> \r\n",
                             "] x [DLLPROTECT] :: probe_scope() - narrow text 7\r\n",
                             "] x [DLLPROTECT] :: probe_scope() - wide text\r\n",
                             "] x [DLLPROTECT] :: probe_scope <- \r\n[> ",
                             "] x [PROBE] tolerated\r\n", ">Closed  at : "}) {
        EXPECT_NE(log.find(part), std::string::npos) << part << "\n" << log;
    }
    fs::remove_all(run.logs);
}

// All four outputs: the debugger and ETW as Wine offers them, the Process Monitor device absent.
TEST_F(DbgTraceWin, AKeyScramblesTheWholeFileWithEveryOutputOn) {
    const probe_run run = run_probe("dbg-trace-key", "*=15\nkey=ABCD\n");
    EXPECT_EQ(run.exit_code, 1u);
    std::string log = read_log(run.logs);
    EXPECT_EQ(log.find("narrow"), std::string::npos);
    // "QZVK" XOR "ABCD" scrambles with the byte 0x04.
    for (char& c : log) {
        c = static_cast<char>(c ^ 0x04);
    }
    EXPECT_EQ(log.find(" ----------------------------- \n>Started at : "), 0u) << log;
    EXPECT_NE(log.find("probe_scope() - narrow text 7\n"), std::string::npos) << log;
    EXPECT_NE(log.find("probe_scope() - wide text\n"), std::string::npos) << log;
    fs::remove_all(run.logs);
}

TEST_F(DbgTraceWin, WithoutSettingsNothingIsWritten) {
    const probe_run run = run_probe("dbg-trace-none", std::nullopt);
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_FALSE(fs::exists(run.logs));
    const probe_run off = run_probe("dbg-trace-zero", "DLLPROTECT=0\n");
    EXPECT_EQ(off.exit_code, 0u);
    EXPECT_FALSE(fs::exists(off.logs));
}

}  // namespace
