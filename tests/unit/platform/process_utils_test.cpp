#include "platform/process_utils.h"

#include <gtest/gtest.h>

#include "fakes/log_messages.h"
#include "winapi/folders.h"

namespace {

constexpr std::uint32_t inactive = 4;  // WTSDisconnected

using ProcessUtils = fakes::logged_machine_test;

TEST_F(ProcessUtils, SessionChoice) {
    // Console session, the list, the target session and the first active session.
    for (const auto& [console, list, target, first] :
         std::vector<std::tuple<std::uint32_t, std::vector<winapi::session_entry>, int, int>>{
             // The console session is active: it wins even when others come after it.
             {2, {{0, L"Svc", inactive}, {1, L"RDP", 0}, {2, L"Con", 0}, {3, L"RDP", 0}}, 2, 1},
             // The console is inactive: the last active session of the list, or the first.
             {1, {{1, L"Console", inactive}, {3, L"RDP-1", 0}, {5, L"RDP-2", 0}}, 5, 3},
             // No active session at all: the console session.
             {7, {{0, L"Services", inactive}, {7, L"Console", inactive}}, 7, 7}}) {
        procs.console = console;
        procs.session_list = list;
        EXPECT_EQ(platform::get_target_session(), static_cast<std::uint32_t>(target));
        EXPECT_EQ(platform::get_first_active_session(), static_cast<std::uint32_t>(first));
    }
    procs.session_list = {{3, L"RDP-1", 0}};
    faults.fail_always("sessions");
    EXPECT_EQ(platform::get_target_session(), 7u);
    EXPECT_EQ(platform::get_first_active_session(), 7u);
}

TEST_F(ProcessUtils, ExecuteProcessInSessionQuotesThePathOnceWithTheSessionsToken) {
    procs.table = {{4, {L"System", 0}}, {600, {L"WinLogon.EXE", 3}}, {700, {L"winlogon.exe", 1}}};
    procs.session_list = {{1, L"Console", 0}, {3, L"RDP", 0}};
    const std::wstring exe = L"C:\\A B\\setup.exe";
    const std::wstring quoted = L"\"" + exe + L"\"";
    EXPECT_EQ(platform::ExecuteProcessInSession(exe, 3, L"/source:wardex_repair"), 0u);
    EXPECT_EQ(platform::ExecuteProcessInSession(quoted, 3, std::nullopt), 0u);
    EXPECT_EQ(platform::ExecuteProcessInSession(L"\"" + exe, 3, L""), 0u);
    EXPECT_EQ(platform::ExecuteProcessInSession(exe, 0, std::nullopt), 0u);  // first active
    const std::vector<std::wstring> lines{quoted + L" /source:wardex_repair", quoted, quoted + L" ",
                                          quoted};
    ASSERT_EQ(procs.started.size(), lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(procs.started[i].command_line, lines[i]);
        EXPECT_EQ(procs.started[i].token_pid, i < 3 ? 600u : 700u);
        EXPECT_EQ(procs.started[i].token_session, i < 3 ? 3u : 1u);
    }
    EXPECT_TRUE(log.contains(logging::level_info, L"ExecuteProcessInSession", L"Run " + lines[0]));
}

TEST_F(ProcessUtils, ExecuteProcessInSessionFailures) {
    procs.table = {{600, {L"winlogon.exe", 1}}};
    // No "winlogon.exe" in the session, none whose session can be read, no process list, or no
    // token from it: no process, error 31.
    faults.fail("session_of", 2, 5);
    faults.fail("list_processes", 3, 8);
    faults.fail("session_token", 1, 5);
    for (std::uint32_t session : {2, 1, 1, 1}) {
        EXPECT_EQ(platform::ExecuteProcessInSession(L"C:\\a.exe", session, std::nullopt), 31u);
    }
    EXPECT_TRUE(
        log.contains(logging::level_error, L"GetUserToken", L"GetProcessPid for system failed"));
    EXPECT_TRUE(
        log.contains(logging::level_warning, L"ExecuteProcessInSession", L"get user token failed"));
    EXPECT_TRUE(
        log.contains(logging::level_error, L"GetProcessPid", L"list_processes failed err=8"));
    EXPECT_TRUE(
        log.contains(logging::level_error, L"GetUserToken", L"session_token failed err = 5"));
    EXPECT_EQ(platform::ExecuteProcessInSession(std::wstring(32760, L'x'), 1, L"/quiet"), 122u);
    EXPECT_TRUE(procs.started.empty());

    faults.fail("start_as_user", 1, 2);
    EXPECT_EQ(platform::ExecuteProcessInSession(L"C:\\a.exe", 1, std::nullopt), 2u);
    EXPECT_TRUE(log.contains(logging::level_error, L"ExecuteProcessInSession",
                             L"start_as_user failed err=2"));
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
    EXPECT_TRUE(log.contains(logging::level_error, L"set_privilege",
                             L"set_debug_privilege failed err=1300"));
    faults.fail("thread_token", 3, 5);
    EXPECT_FALSE(platform::privilege_scope().active());
}

TEST_F(ProcessUtils, GetFoldername) {
    const auto folder_of = [&](const std::wstring& path) {
        machine.modules.self_path = path;
        return winapi::this_process::get_foldername();
    };
    EXPECT_EQ(folder_of(L"C:\\Valdrin\\Agent\\Wardex.exe").value(), L"C:\\Valdrin\\Agent\\");
    EXPECT_EQ(folder_of(L"C:\\Wardex.exe").value(), L"C:\\");
    EXPECT_EQ(folder_of(L"C:\\" + std::wstring(40000, L'a')).error().code.value(), 122);
}

}  // namespace
