#include "supervision/agent_service.h"

#include <gtest/gtest.h>

#include <system_error>

#include "fakes/fake_clock.h"
#include "fakes/fake_error_messages.h"
#include "fakes/fake_log_library.h"
#include "fakes/fake_modules.h"
#include "fakes/fake_processes.h"
#include "fakes/fake_registry.h"
#include "fakes/fake_service_manager.h"
#include "logging/log.h"
#include "stdext/expected.h"
#include "winapi/facility.h"
#include "winapi/folders.h"
#include "winapi/win_error_category.h"

namespace {

using namespace supervision;
using winapi::service_running;
using winapi::service_start_pending;
using winapi::service_stop_pending;
using winapi::service_stopped;

const std::wstring agent_root = L"C:\\Program Files\\Valdrin\\Agent";
const std::wstring supervisor_dir = agent_root + L"\\1.0.0";

class AgentService : public ::testing::Test {
protected:
    AgentService() { mods.self_path = supervisor_dir + L"\\Wardex.exe"; }

    // Starts the service through an open handle and returns the result.
    status_result start() {
        auto service = service::open(manager.manager(), winapi::service_all_access);
        EXPECT_TRUE(service);
        return service::start_service(service->get(), agent_timeout_ms);
    }
    // A stop that stays pending for `passes` queries, then stopped, then running after the start.
    void hung_stop(std::uint32_t wait_hint, int passes) {
        scm.script = {{service_stop_pending, wait_hint}};
        scm.then(service_stop_pending, wait_hint, passes);
        scm.then(service_stopped);
        scm.then(service_running);
    }

    fakes::fake_clock clock;
    fakes::fake_processes procs;
    fakes::fake_service_manager scm;
    fakes::fake_registry reg;
    fakes::fake_modules mods;
    fakes::fake_error_messages messages;
    winapi::scoped_facility<winapi::clock> use_clock{clock};
    winapi::scoped_facility<winapi::processes> use_procs{procs};
    winapi::scoped_facility<winapi::service_manager> use_scm{scm};
    winapi::scoped_facility<winapi::registry> use_reg{reg};
    winapi::scoped_facility<winapi::modules> use_mods{mods};
    winapi::scoped_facility<winapi::error_messages> use_messages{messages};
    fakes::fake_log_library log{mods};
    logging::scopped_log_init logging_on;
    agent_service manager;
};

TEST_F(AgentService, RunningStartingOrPausedNeedsNoStart) {
    for (std::uint32_t state : {service_running, service_start_pending, winapi::service_paused}) {
        scm.script = {{state, 0}};
        EXPECT_TRUE(start()) << state;
        EXPECT_TRUE(manager.is_running()) << state;
    }
    EXPECT_EQ(scm.starts, 0);
    EXPECT_TRUE(clock.sleeps.empty());
}

TEST_F(AgentService, StartWaitsWhileStartPending) {
    EXPECT_FALSE(manager.is_running());
    // The pause is a tenth of the wait hint, at most ten seconds.
    scm.then(service_start_pending, 200000, 3);
    scm.then(service_running);
    EXPECT_TRUE(start());
    EXPECT_EQ(scm.starts, 1);
    EXPECT_EQ(clock.sleeps, (std::vector<std::uint32_t>{10000, 10000, 10000}));
}

TEST_F(AgentService, StartFailures) {
    // Start pending for longer than the time-out.
    scm.script = {{service_stopped, 0}, {service_start_pending, 5000}};
    const auto begin = clock.monotonic_ms();
    EXPECT_EQ(start().error(), L"timeout wait for service to start");
    EXPECT_GT(clock.monotonic_ms() - begin, 60000u);
    EXPECT_LE(clock.monotonic_ms() - begin, 61000u);

    // Stopped again right after the request.
    scm.script = {{service_stopped, 0}};
    EXPECT_EQ(start().error(), L"service not started");

    scm.fail_start = 0x80000001u;
    EXPECT_EQ(start().error(), L"start service err=2147483649");
    scm.fail_start.reset();

    scm.script = {{service_stopped, 0}, {service_start_pending, 0}};
    scm.on_query = [&](int n) {
        if (n == 2) {
            scm.fail_query = 6;
        }
    };
    scm.queries = 0;
    EXPECT_EQ(start().error(), L"service::query_status err=6");
    EXPECT_FALSE(manager.is_running());
    EXPECT_EQ(scm.open_handles(), 1);  // only the manager
}

TEST_F(AgentService, HungStopTerminatesOnlyTheAgentFromTheSupervisorFolder) {
    procs.add_process(100, L"CorvelService.exe", 0, supervisor_dir + L"\\CorvelService.exe");
    procs.add_process(200, L"corvelservice.EXE", 0, agent_root + L"\\CorvelService.exe");
    procs.add_process(300, L"notepad.exe", 1, L"C:\\Windows\\notepad.exe");
    procs.add_process(400, L"CorvelService.exe", 0, L"C:\\Other\\CorvelService.exe");
    hung_stop(5000, 70);  // passes of one second
    const auto begin = clock.monotonic_ms();
    std::vector<std::pair<std::uint64_t, std::size_t>> seen;  // elapsed, terminations so far
    scm.on_query = [&](int) {
        seen.emplace_back(clock.monotonic_ms() - begin, procs.terminated.size());
    };

    EXPECT_TRUE(start());
    EXPECT_EQ(procs.terminated, (std::vector<std::uint32_t>{100}));
    for (const auto& [elapsed, terminations] : seen) {
        if (elapsed <= 60000) {
            EXPECT_EQ(terminations, 0u) << elapsed;
        }
    }
    EXPECT_EQ(scm.starts, 1);
    EXPECT_EQ(procs.open_handles(), 0);
}

TEST_F(AgentService, FailedTerminationPassIsTolerated) {
    procs.add_process(100, L"CorvelService.exe", 0, supervisor_dir + L"\\CorvelService.exe");
    procs.failures["create_snapshot"] = 8;
    hung_stop(0, 65);
    EXPECT_TRUE(start());
    EXPECT_TRUE(procs.terminated.empty());
    EXPECT_TRUE(log.contains(8, L"start_service",
                             L"timeout wait service to stop => kill him err="
                             L"CreateToolhelp32Snapshot failed: unknown error 8"));
}

TEST_F(AgentService, ProcessMatch) {
    procs.add_process(100, L"corvelservice.exe", 0, L"C:\\AGENT\\CorvelService.exe");
    const agent_image image{L"C:\\Agent\\corvelservice.EXE"};
    EXPECT_TRUE((winapi::process_entry{100, L"corvelservice.exe"} == image));
    EXPECT_FALSE((winapi::process_entry{100, L"other.exe"} == image));
    procs.failures["module_file_name"] = 299;
    EXPECT_FALSE((winapi::process_entry{100, L"CorvelService.exe"} == image));
    EXPECT_EQ(procs.open_handles(), 0);
}

TEST_F(AgentService, StartAgentServiceRunsBothCommandsAndJoinsErrors) {
    scm.then(service_running);
    ASSERT_TRUE(manager.start_agent_service());
    const std::wstring exe = L"\"" + agent_root + L"\\CorvelService.exe\"";
    ASSERT_EQ(procs.created.size(), 2u);
    EXPECT_EQ(procs.created[0].command_line, exe + L" install");
    EXPECT_EQ(procs.created[1].command_line, exe + L" enable");
    EXPECT_EQ(procs.created[0].flags, 0u);
    EXPECT_EQ(procs.waits, (std::vector<std::uint32_t>{60000, 60000}));
    EXPECT_EQ(scm.service_access.back(), winapi::service_all_access);

    // Failed commands do not matter when the start succeeds.
    procs.failures["create_process"] = 2;
    scm.script = {{service_stopped, 0}, {service_running, 0}};
    EXPECT_TRUE(manager.start_agent_service());

    scm.script = {{service_stopped, 0}};
    procs.failures.clear();
    procs.wait_results = {winapi::wait_timeout};
    EXPECT_EQ(manager.start_agent_service().error(),
              L"install service error:wait for process result=258; service not started");

    procs.failures["create_process"] = 2;
    scm.fail_open_service = 1060;
    const std::wstring not_found = L"err=2 The system cannot find the file specified.\r\n";
    EXPECT_EQ(manager.start_agent_service().error(),
              L"install service error:create process [" + exe + L" install] " + not_found +
                  L"; enable service error:create process [" + exe + L" enable] " + not_found +
                  L"; service::open err=1060");
    EXPECT_EQ(procs.open_handles(), 0);
    EXPECT_EQ(scm.open_handles(), 1);
}

TEST_F(AgentService, OpenAndCommandFailures) {
    procs.failures["wait"] = 6;
    EXPECT_THROW(run_agent_command(L"install"), std::system_error);
    procs.failures.clear();
    mods.faults().fail_always("file_name", 5);
    EXPECT_EQ(run_agent_command(L"install").error(), L"this_process::get_foldername err=5");
    EXPECT_EQ(procs.open_handles(), 0);

    scm.fail_open_service = 5;
    EXPECT_FALSE(manager.is_running());
    EXPECT_EQ(scm.service_access.back(), winapi::service_query_status);
    scm.fail_open_manager = 5;
    EXPECT_THROW(agent_service(), std::system_error);
}

TEST_F(AgentService, ReadAgentRegValues) {
    const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\CorvelService";
    const auto hklm = winapi::hkey_local_machine;
    EXPECT_EQ(read_agent_reg_values().error(), L"open regkey err=2");
    reg.set_string(hklm, key, L"ImagePath", L"\"C:\\Agent\\CorvelService.exe\"");
    reg.set_dword(hklm, key, L"Start", 2);
    EXPECT_EQ(read_agent_reg_values().error(), L"get value err=2");  // no "Type"

    reg.set_dword(hklm, key, L"Type", 0x80000010u);
    const auto values = read_agent_reg_values();
    ASSERT_TRUE(values);
    EXPECT_EQ(values->image_path, L"\"C:\\Agent\\CorvelService.exe\"");
    EXPECT_EQ(values->start, L"2");
    EXPECT_EQ(values->type, L"2147483664");
    EXPECT_EQ(reg.opens.back().access, winapi::key_read);
    EXPECT_EQ(reg.open_keys(), 0);

    reg.set_string(hklm, key, L"Start", L"2");
    EXPECT_EQ(read_agent_reg_values().error(), L"get value err=1630");
}

}  // namespace
