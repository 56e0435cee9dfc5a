#include "platform/process_utils.h"

#include <gtest/gtest.h>

#include "fakes/fake_log_library.h"
#include "fakes/fake_machine.h"
#include "logging/log.h"
#include "winapi/folders.h"
#include "winapi/win_error_category.h"

namespace {

constexpr std::uint32_t inactive = 4;  // WTSDisconnected

class ProcessUtils : public fakes::machine_test {
protected:
    fakes::fake_processes& procs = machine.processes;
    fakes::fault_plan& faults = machine.faults;
    fakes::fake_log_library log{machine.modules};
    logging::scopped_log_init logging_on;
};

TEST_F(ProcessUtils, SessionChoice) {
    struct row {
        std::uint32_t console;
        std::vector<winapi::session_entry> list;
        std::uint32_t target;
        std::uint32_t first;
    };
    const std::vector<row> rows{
        // The console session is active: it wins even when others come after it.
        {2, {{0, L"Services", inactive}, {1, L"RDP-1", 0}, {2, L"Con", 0}, {3, L"RDP-2", 0}}, 2, 1},
        // The console is inactive: the last active session of the list, the first for the other.
        {1, {{1, L"Console", inactive}, {3, L"RDP-1", 0}, {5, L"RDP-2", 0}}, 5, 3},
        // No active session at all: the console session.
        {7, {{0, L"Services", inactive}, {7, L"Console", inactive}}, 7, 7},
    };
    for (const auto& r : rows) {
        procs.console = r.console;
        procs.session_list = r.list;
        EXPECT_EQ(platform::get_target_session(), r.target);
        EXPECT_EQ(platform::get_first_active_session(), r.first);
    }
    procs.session_list = {{3, L"RDP-1", 0}};
    faults.fail_always("sessions");
    EXPECT_EQ(platform::get_target_session(), 7u);
    EXPECT_EQ(platform::get_first_active_session(), 7u);
}

TEST_F(ProcessUtils, GetProcessPidTakesOnlyTheGivenSession) {
    procs.table = {{4, L"System", 0}, {500, L"winlogon.exe", 2}, {600, L"WinLogon.EXE", 1}};
    EXPECT_EQ(platform::GetProcessPid(L"winlogon.exe", 1), 600u);
    EXPECT_EQ(platform::GetProcessPid(L"winlogon.exe", 2), 500u);
    EXPECT_EQ(platform::GetProcessPid(L"winlogon.exe", 3), 0u);
    faults.fail("session_of", faults.calls("session_of") + 1, 5);
    EXPECT_EQ(platform::GetProcessPid(L"winlogon.exe", 2), 0u);
    faults.fail("list_processes", faults.calls("list_processes") + 1, 8);
    EXPECT_EQ(platform::GetProcessPid(L"winlogon.exe", 2), 0u);
    EXPECT_TRUE(log.contains(4, L"GetProcessPid", L"list_processes failed err=8"));
}

TEST_F(ProcessUtils, ExecuteProcessInSessionQuotesThePathOnceWithTheSessionsToken) {
    procs.table = {{600, L"winlogon.exe", 3}, {700, L"winlogon.exe", 1}};
    procs.session_list = {{1, L"Console", 0}, {3, L"RDP", 0}};
    const std::wstring exe = L"C:\\Program Files\\Valdrin\\installer.exe";
    const std::wstring quoted = L"\"" + exe + L"\"";
    struct row {
        std::wstring path;
        std::optional<std::wstring> arguments;
        std::uint32_t session;  // 0: the first active session
        std::wstring command_line;
        std::uint32_t token_pid;
        std::uint32_t token_session;
    };
    for (const auto& r : std::vector<row>{
             {exe, L"/source:wardex_repair", 3, quoted + L" /source:wardex_repair", 600, 3},
             {quoted, std::nullopt, 3, quoted, 600, 3},
             {L"\"" + exe, L"", 3, quoted + L" ", 600, 3},
             {exe, std::nullopt, 0, quoted, 700, 1}}) {
        procs.started.clear();
        EXPECT_EQ(platform::ExecuteProcessInSession(r.path, r.session, r.arguments), 0u);
        ASSERT_EQ(procs.started.size(), 1u);
        EXPECT_EQ(procs.started[0].command_line, r.command_line);
        EXPECT_EQ(procs.started[0].token_of.pid, r.token_pid);
        EXPECT_EQ(procs.started[0].token_of.session, r.token_session);
        EXPECT_TRUE(log.contains(16, L"ExecuteProcessInSession", L"Run " + r.command_line));
    }
}

TEST_F(ProcessUtils, ExecuteProcessInSessionFailures) {
    procs.table = {{600, L"winlogon.exe", 1}};
    // No "winlogon.exe" in the session, or no token from it: no process, error 31.
    EXPECT_EQ(platform::ExecuteProcessInSession(L"C:\\a.exe", 2, std::nullopt), 31u);
    EXPECT_TRUE(log.contains(4, L"GetUserToken", L"GetProcessPid for system failed"));
    EXPECT_TRUE(log.contains(8, L"ExecuteProcessInSession", L"get user token failed"));
    faults.fail("session_token", 1, 5);
    EXPECT_EQ(platform::ExecuteProcessInSession(L"C:\\a.exe", 1, std::nullopt), 31u);
    EXPECT_TRUE(log.contains(4, L"GetUserToken", L"session_token failed err = 5"));
    EXPECT_EQ(platform::ExecuteProcessInSession(std::wstring(32760, L'x'), 1, L"/quiet"),
              winapi::error_insufficient_buffer);
    EXPECT_TRUE(procs.started.empty());

    faults.fail("start_as_user", 1, 2);
    EXPECT_EQ(platform::ExecuteProcessInSession(L"C:\\a.exe", 1, std::nullopt), 2u);
    EXPECT_TRUE(log.contains(4, L"ExecuteProcessInSession", L"start_as_user failed err=2"));
}

TEST_F(ProcessUtils, PrivilegeScope) {
    {
        platform::privilege_scope scope;
        EXPECT_TRUE(scope.active());
        EXPECT_TRUE(procs.debug_enabled);
    }
    EXPECT_FALSE(procs.debug_enabled);
    faults.fail("set_debug_privilege", 3, 1300);
    EXPECT_FALSE(platform::privilege_scope().active());
    EXPECT_TRUE(log.contains(4, L"set_privilege", L"set_debug_privilege failed err=1300"));
    faults.fail("thread_token", 3, 5);
    EXPECT_FALSE(platform::privilege_scope().active());
}

TEST_F(ProcessUtils, GetFoldername) {
    const std::wstring agent = L"C:\\Program Files\\Valdrin\\Agent\\";
    for (const auto& [path, folder, error] :
         std::vector<std::tuple<std::wstring, std::wstring, int>>{
             {agent + L"Wardex.exe", agent, 0},
             {L"C:\\Wardex.exe", L"C:\\", 0},
             {L"Wardex.exe", L"", 31},
             {L"C:\\" + std::wstring(40000, L'a'), L"", 122}}) {  // does not fit the buffer
        machine.modules.self_path = path;
        const auto got = winapi::this_process::get_foldername();
        EXPECT_EQ(got.value_or(L""), folder);
        EXPECT_EQ(got ? 0 : got.error().code.value(), error);
    }
    procs.table = {{70, L"CorvelService.exe", 0, L"D:\\Agent\\CorvelService.exe"}};
    EXPECT_EQ(winapi::get_foldername(winapi::process_id{70}).value(), L"D:\\Agent\\");
    EXPECT_EQ(procs.image_access.back(),
              winapi::process_query_information | winapi::process_vm_read);
    faults.fail("image_path", 2, 5);
    EXPECT_EQ(winapi::get_foldername(winapi::process_id{70}).error().code.value(), 5);
}

}  // namespace
