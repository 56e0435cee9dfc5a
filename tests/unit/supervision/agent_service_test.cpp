#include "supervision/agent_service.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <system_error>

#include "fakes/log_messages.h"
#include "winapi/win_error_category.h"

namespace {

using namespace supervision;
using namespace winapi;

const std::wstring agent_root = L"C:\\Program Files\\Valdrin\\Agent";
const std::wstring supervisor_dir = agent_root + L"\\1.0.0";  // the fake program's folder

class AgentService : public fakes::logged_machine_test {
protected:
    // Starts the service through an open handle; the error text, empty on success.
    std::string start() {
        auto service = service::open(manager.manager(), service_all_access);
        const auto started = service::start_service(service.value().get(), agent_timeout_ms);
        return started ? "" : started.error().text;
    }

    fakes::fake_service_manager& scm = machine.services;
    agent_service manager;
};

TEST_F(AgentService, StartWaitsForPendingStatesAtATenthOfTheHint) {
    // Running, starting or paused: no start request.
    for (std::uint32_t state : {service_running, service_start_pending, service_paused}) {
        scm.script = {{state, 0}};
        EXPECT_EQ(start(), "") << state;
        EXPECT_TRUE(manager.is_running()) << state;
    }
    EXPECT_EQ(scm.service_access.back(), service_query_status);

    scm.script = {
        {service_stopped, 0}, {service_start_pending, 200000}, {service_start_pending, 0}};
    scm.then(service_start_pending, 30000);
    scm.then(service_running);
    EXPECT_EQ(start(), "");
    EXPECT_EQ(scm.starts, 1);
    EXPECT_EQ(machine.clock.sleeps, (std::vector<std::uint32_t>{10000, 1000, 3000}));
}

TEST_F(AgentService, StartFailures) {
    // Start pending for longer than the time-out.
    scm.script = {{service_stopped, 0}, {service_start_pending, 5000}};
    const auto begin = machine.clock.monotonic_ms();
    EXPECT_EQ(start(), "timeout wait for service to start");
    EXPECT_GT(machine.clock.monotonic_ms() - begin, 60000u);
    EXPECT_LE(machine.clock.monotonic_ms() - begin, 61000u);
    // Stopped again right after the request.
    scm.script = {{service_stopped, 0}};
    EXPECT_EQ(start(), "service not started");
    faults.fail("start_service", faults.calls("start_service") + 1, 0x80000001u);
    EXPECT_EQ(start(), "start service err=2147483649");
    scm.script = {{service_stopped, 0}, {service_start_pending, 0}};
    faults.fail("query_status", faults.calls("query_status") + 2, 6);
    EXPECT_EQ(start(), "service::query_status err=6");
}

TEST_F(AgentService, HungStopTerminatesOnlyTheAgentFromTheSupervisorFolder) {
    const std::wstring image = supervisor_dir + L"\\CorvelService.exe";
    procs.table = {
        {100, {L"CorvelService.exe", 0, image}},
        {200, {L"corvelservice.EXE", 0, agent_root + L"\\CorvelService.exe"}},
        {300, {L"notepad.exe", 1, image}},
        {400, {L"corvelservice.exe", 0, stdext::to_lower(image, stdext::case_rule::latin1)}}};
    scm.script = {{service_stop_pending, 5000}};  // passes of one second
    scm.then(service_stop_pending, 5000, 70);
    scm.then(service_stopped);
    scm.then(service_running);
    faults.fail("list_processes", 1, 8);
    faults.fail("image_path", 1, 5);
    EXPECT_EQ(start(), "");
    // Every pass after the first minute, from 61 s to 70 s, ends both, except the first, which
    // cannot list the processes, and the image of 100 cannot be read in the second.
    EXPECT_EQ(std::count(procs.terminated.begin(), procs.terminated.end(), 400u), 9);
    EXPECT_EQ(std::count(procs.terminated.begin(), procs.terminated.end(), 100u), 8);
    EXPECT_EQ(procs.terminated.size(), 17u);
    EXPECT_EQ(procs.image_access.back(), process_query_information);
    EXPECT_TRUE(log.contains(logging::level_warning, L"start_service",
                             L"timeout wait service to stop => kill him err="
                             L"list_processes failed: unknown error 8"));
    EXPECT_TRUE(log.contains(logging::level_error, L"operator ==",
                             L"failed get_module_file_name for pid=100 error:image_path failed: "
                             L"Access is denied.\r\n"));
}

TEST_F(AgentService, StartAgentServiceRunsBothCommandsAndJoinsErrors) {
    // A failed command does not matter when the start succeeds.
    faults.fail("start_process", 1, 2);
    scm.then(service_running);
    ASSERT_TRUE(manager.start_agent_service());
    const std::string exe = "\"C:\\Program Files\\Valdrin\\Agent\\CorvelService.exe\"";
    ASSERT_EQ(procs.started.size(), 2u);
    EXPECT_EQ(procs.started[1].flags, 0u);
    EXPECT_EQ(procs.waits, std::vector<std::uint32_t>{60000});
    EXPECT_EQ(scm.service_access.back(), service_all_access);

    scm.script = {{service_stopped, 0}};
    procs.wait_result = wait_timeout;
    EXPECT_EQ(manager.start_agent_service().error().text,
              "install service error:wait for process result=258; enable service error:wait for "
              "process result=258; service not started");
    procs.wait_result = 0;
    faults.fail_always("start_process", 2);
    faults.fail_always("open_service", 1060);
    const std::string not_found = "err=2 The system cannot find the file specified.\r\n";
    EXPECT_EQ(manager.start_agent_service().error().text,
              "install service error:create process [" + exe + " install] " + not_found +
                  "; enable service error:create process [" + exe + " enable] " + not_found +
                  "; service::open err=1060");
}

TEST_F(AgentService, OpenAndCommandFailures) {
    faults.fail("wait_process", 1, 6);
    EXPECT_THROW((void)run_agent_command(L"install"), std::system_error);
    machine.modules.self_path = L"Wardex.exe";
    EXPECT_EQ(run_agent_command(L"install").error().text, "this_process::get_foldername err=31");
    faults.fail("open_service", 1, 5);
    EXPECT_FALSE(manager.is_running());
    EXPECT_TRUE(log.contains(logging::level_info, L"agent_service::is_running",
                             L"open_service failed: Access is denied.\r\n"));
    faults.fail("open_manager", 2, 5);
    EXPECT_THROW(agent_service(), std::system_error);
}

TEST_F(AgentService, ReadAgentRegValues) {
    const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\CorvelService";
    auto& reg = machine.registry;
    EXPECT_EQ(read_agent_reg_values().error().text, "open regkey err=2");
    reg.set_string(hkey_local_machine, key, L"ImagePath", L"C:\\A\\CorvelService.exe");
    reg.set_string(hkey_local_machine, key, L"Start", L"2");
    EXPECT_EQ(read_agent_reg_values().error().text, "get value err=1630");  // not a number
    reg.set_dword(hkey_local_machine, key, L"Start", 2);
    EXPECT_EQ(read_agent_reg_values().error().text, "get value err=2");  // no "Type"
    reg.set_dword(hkey_local_machine, key, L"Type", 0x80000010u);
    EXPECT_EQ(read_agent_reg_values().value().type, L"2147483664");
}

}  // namespace
