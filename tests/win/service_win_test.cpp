// The agent service against the real service control manager and registry, with the lab's
// stand-in CorvelService.exe placed in the parent of this program's folder, where the supervisor
// looks for the agent executable.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/process_utils.h"
#include "stdext/utf.h"
#include "supervision/agent_service.h"
#include "winapi/facility.h"
#include "winapi/folders.h"

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// Polls `done` every 100 ms for up to `seconds`.
template <class Done>
bool wait_until(Done done, int seconds) {
    for (int i = 0; i < seconds * 10; ++i) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return done();
}

// The agent service opened with `access`; both handles close with the holder.
struct agent_handle {
    explicit agent_handle(DWORD access)
        : scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)),
          service(scm ? ::OpenServiceW(scm, L"CorvelService", access) : nullptr) {}
    ~agent_handle() {
        for (SC_HANDLE h : {service, scm}) {
            if (h != nullptr) {
                ::CloseServiceHandle(h);
            }
        }
    }
    SC_HANDLE scm;
    SC_HANDLE service;
};

DWORD service_state() {
    agent_handle agent(SERVICE_QUERY_STATUS);
    SERVICE_STATUS status{};
    return agent.service && ::QueryServiceStatus(agent.service, &status) ? status.dwCurrentState
                                                                         : 0;
}

void stop_service() {
    if (agent_handle agent(SERVICE_STOP); agent.service) {
        SERVICE_STATUS status{};
        ::ControlService(agent.service, SERVICE_CONTROL_STOP, &status);
    }
    wait_until([] { return service_state() != SERVICE_RUNNING; }, 10);
    wait_until([] { return service_state() != SERVICE_STOP_PENDING; }, 10);
}

// Copies over an existing file; a service process that is still ending may hold it a moment.
bool place(const fs::path& from, const fs::path& to) {
    return wait_until(
        [&] { return ::CopyFileW(from.wstring().c_str(), to.wstring().c_str(), FALSE) != FALSE; },
        10);
}

class ServiceWin : public ::testing::Test {
protected:
    void SetUp() override {
        const char* build = std::getenv("WARDEX_BUILD_DIR");
        if (build == nullptr) {
            GTEST_SKIP() << "WARDEX_BUILD_DIR not set";
        }
        bin = fs::path(std::string("Z:") + build) / "lab" / "bin";
        if (!fs::exists(bin / "CorvelService.exe")) {
            GTEST_SKIP() << "the lab stand-ins are not built";
        }
        const auto own = winapi::this_process::get_foldername();
        ASSERT_TRUE(own);
        agent_folder = fs::path(*own).parent_path().parent_path();
        agent = agent_folder / "CorvelService.exe";
        stop_service();
        ASSERT_TRUE(place(bin / "CorvelService.exe", agent));
        fs::remove(agent_folder / "CorvelService.behaviour");
        fs::remove(agent_folder / "CorvelService.calls");
    }
    void TearDown() override {
        if (!agent.empty()) {
            stop_service();
            fs::remove(agent_folder / "CorvelService.behaviour");
        }
    }
    void behave(const std::string& lines) {
        std::ofstream(agent_folder / "CorvelService.behaviour", std::ios::binary) << lines;
    }

    fs::path bin;
    fs::path agent_folder;
    fs::path agent;
};

TEST_F(ServiceWin, StartsTheStoppedServiceAfterInstallAndEnable) {
    supervision::agent_service service;
    ASSERT_TRUE(supervision::run_agent_command(L"install"));
    stop_service();
    EXPECT_FALSE(service.is_running());

    const auto started = service.start_agent_service();
    ASSERT_TRUE(started) << stdext::wide_to_utf8(started.error());
    EXPECT_TRUE(service.is_running());
    EXPECT_EQ(service_state(), static_cast<DWORD>(SERVICE_RUNNING));

    const std::string calls = read_file(agent_folder / "CorvelService.calls");
    const std::string quoted = "\"" + stdext::wide_to_utf8(agent.wstring()) + "\"";
    EXPECT_NE(calls.find(quoted + " install"), std::string::npos) << calls;
    EXPECT_NE(calls.find(quoted + " enable"), std::string::npos) << calls;

    const auto values = supervision::read_agent_reg_values();
    ASSERT_TRUE(values) << stdext::wide_to_utf8(values.error());
    EXPECT_TRUE(stdext::iequals(values->image_path, agent.wstring()) ||
                stdext::iequals(values->image_path, L"\"" + agent.wstring() + L"\""))
        << stdext::wide_to_utf8(values->image_path);
    EXPECT_EQ(values->start, L"2");  // automatic, after "enable"
    EXPECT_EQ(values->type, L"16");  // own process
}

TEST_F(ServiceWin, ExecuteProcessInSessionUsesTheSessionsWinlogon) {
    ASSERT_TRUE(place(bin / "winlogon.exe", agent_folder / "winlogon.exe"));
    fs::remove(agent_folder / "winlogon.pid");
    fs::remove(agent_folder / "winlogon.stop");

    // Without a "winlogon.exe" in the session there is no token to start with.
    EXPECT_EQ(platform::ExecuteProcessInSession(agent.wstring(), 1, L"update_ready"), 31u);

    std::wstring line = L"\"" + (agent_folder / "winlogon.exe").wstring() + L"\" 120";
    auto winlogon = supervision::create_process(line, 0);
    ASSERT_TRUE(winlogon);
    ASSERT_TRUE(wait_until([&] { return fs::exists(agent_folder / "winlogon.pid"); }, 15));

    EXPECT_EQ(platform::ExecuteProcessInSession(agent.wstring(), 1, L"update_ready"), 0u);
    const std::string expected = "\"" + stdext::wide_to_utf8(agent.wstring()) + "\" update_ready";
    EXPECT_TRUE(wait_until(
        [&] {
            return read_file(agent_folder / "CorvelService.calls").find(expected) !=
                   std::string::npos;
        },
        15))
        << read_file(agent_folder / "CorvelService.calls");

    std::ofstream(agent_folder / "winlogon.stop") << "";
    EXPECT_EQ(supervision::wait_process(winlogon->process.get(), 15000), 0u);
}

// Slow: the agent command is given its full minute.
TEST_F(ServiceWin, HangingInstallTimesOut) {
    behave("install.hang=75\ninstall.exit=0\n");
    const auto result = supervision::run_agent_command(L"install");
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), L"wait for process result=258");

    // End the hanging command rather than leave it behind.
    for (const auto& entry : platform::process_snapshot()) {
        if (stdext::iequals(entry.exe_file, L"CorvelService.exe")) {
            HANDLE h = ::OpenProcess(PROCESS_TERMINATE, FALSE, entry.process_id);
            if (h != nullptr) {
                ::TerminateProcess(h, 0);
                ::CloseHandle(h);
            }
        }
    }
}

}  // namespace
