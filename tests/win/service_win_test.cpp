// Processes and the agent service against the real system. The lab's stand-in CorvelService.exe
// is placed in the parent of this program's folder, where the supervisor looks for the agent
// executable; its stand-in winlogon.exe gives session 1 a token to start programs with.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/process_utils.h"
#include "stdext/path.h"
#include "stdext/utf.h"
#include "supervision/agent_service.h"
#include "win/support.h"
#include "winapi/folders.h"

namespace {

namespace fs = std::filesystem;
using wintest::wait_until;

// Asks the agent service to stop and waits until it has.
void stop_service() {
    SC_HANDLE scm = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = ::OpenServiceW(scm, L"CorvelService", SERVICE_STOP);
    SERVICE_STATUS status{};
    // A service that is not there, or not running, is stopped already.
    (void)::ControlService(service, SERVICE_CONTROL_STOP, &status);
    (void)::CloseServiceHandle(service);
    (void)::CloseServiceHandle(scm);
    wait_until([] { return !supervision::agent_service().is_running(); }, 20000);
}

TEST(ProcessesWin, FoldersProcessListAndPrivilege) {
    wchar_t own[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, own, MAX_PATH);
    const auto [folder, name] = stdext::path::split(own);
    EXPECT_EQ(winapi::this_process::get_foldername().value(), folder);
    const auto of_process = winapi::get_foldername(winapi::process_id{::GetCurrentProcessId()});
    EXPECT_TRUE(stdext::iequals(of_process.value(), folder, stdext::case_rule::latin1));
    EXPECT_EQ(platform::GetProcessPid(std::wstring(name), 1), ::GetCurrentProcessId());
    EXPECT_TRUE(platform::privilege_scope().active());
}

class ServiceWin : public ::testing::Test {
protected:
    void SetUp() override {
        const fs::path bin = wintest::built("lab/bin/CorvelService.exe").parent_path();
        if (bin.empty()) {
            GTEST_SKIP() << "the lab stand-ins are not built";
        }
        agent_folder = stdext::path::parent(winapi::this_process::get_foldername().value());
        agent = agent_folder / "CorvelService.exe";
        stop_service();
        for (const auto* file : {L"CorvelService.exe", L"winlogon.exe"}) {
            // A process that is still ending may hold the file a moment.
            ASSERT_TRUE(wait_until(
                [&] { return ::CopyFileW((bin / file).c_str(), (agent_folder / file).c_str(), 0); },
                10000));
        }
        for (const auto* file :
             {"CorvelService.behaviour", "CorvelService.calls", "winlogon.pid", "winlogon.stop"}) {
            fs::remove(agent_folder / file);
        }
    }
    void TearDown() override { stop_service(); }
    // Whether the stand-in agent was run with `word`, waiting up to 15 seconds for it.
    bool agent_ran(const std::string& word) const {
        const std::string line = "\"" + stdext::wide_to_utf8(agent.wstring()) + "\" " + word;
        return wait_until(
            [&] {
                return wintest::read_all(agent_folder / "CorvelService.calls").find(line) !=
                       std::string::npos;
            },
            15000);
    }

    fs::path agent_folder;
    fs::path agent;
};

TEST_F(ServiceWin, StartsTheStoppedServiceAfterInstallAndEnable) {
    supervision::agent_service service;
    ASSERT_TRUE(supervision::run_agent_command(L"install"));
    stop_service();
    EXPECT_FALSE(service.is_running());
    const auto started = service.start_agent_service();
    ASSERT_TRUE(started) << started.error().text;
    EXPECT_TRUE(service.is_running());
    EXPECT_TRUE(agent_ran("install") && agent_ran("enable"));

    const auto values = supervision::read_agent_reg_values();
    ASSERT_TRUE(values) << values.error().text;
    EXPECT_TRUE(stdext::iequals(values->image_path, agent.wstring(), stdext::case_rule::latin1) ||
                stdext::iequals(values->image_path, L"\"" + agent.wstring() + L"\"",
                                stdext::case_rule::latin1));
    EXPECT_EQ(values->start, L"2");  // automatic, after "enable"
    EXPECT_EQ(values->type, L"16");  // own process
}

TEST_F(ServiceWin, ExecuteProcessInSessionUsesTheSessionsWinlogon) {
    // Without a "winlogon.exe" in the session there is no token to start with.
    EXPECT_EQ(platform::ExecuteProcessInSession(agent.wstring(), 1, L"update_ready"), 31u);
    const auto winlogon = supervision::create_process(
        L"\"" + (agent_folder / "winlogon.exe").wstring() + L"\" 120", 0);
    ASSERT_TRUE(winlogon) << winlogon.error().text;
    ASSERT_TRUE(wait_until([&] { return fs::exists(agent_folder / "winlogon.pid"); }, 15000));

    EXPECT_EQ(platform::ExecuteProcessInSession(agent.wstring(), 1, L"update_ready"), 0u);
    EXPECT_TRUE(agent_ran("update_ready"));
    std::ofstream(agent_folder / "winlogon.stop") << "";
    EXPECT_EQ(supervision::wait_process(winlogon->get(), 15000), 0u);
}

// Slow: the agent command is given its full minute.
TEST_F(ServiceWin, HangingInstallTimesOut) {
    std::ofstream(agent_folder / "CorvelService.behaviour") << "install.hang=75\ninstall.exit=0\n";
    const auto result = supervision::run_agent_command(L"install");
    EXPECT_EQ(result ? "" : result.error().text, "wait for process result=258");
    // End the hanging command rather than leave it behind.
    platform::for_each_process([](const winapi::process_entry& entry) {
        if (stdext::iequals(entry.exe_file, L"CorvelService.exe", stdext::case_rule::latin1)) {
            EXPECT_TRUE(winapi::facility<winapi::processes>::get().terminate(entry.process_id));
        }
    });
}

}  // namespace
