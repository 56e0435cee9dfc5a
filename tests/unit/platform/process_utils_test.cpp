#include "platform/process_utils.h"

#include <gtest/gtest.h>

#include <system_error>

#include "fakes/fake_modules.h"
#include "fakes/fake_processes.h"
#include "stdext/expected.h"
#include "winapi/facility.h"
#include "winapi/folders.h"
#include "winapi/win_error_category.h"

namespace {

using fakes::fake_processes;

constexpr std::uint32_t inactive = 4;  // WTSDisconnected
constexpr auto debug = fake_processes::debug_luid;

class ProcessUtils : public ::testing::Test {
protected:
    fake_processes procs;
    fakes::fake_modules mods;
    winapi::scoped_facility<winapi::processes> use_procs{procs};
    winapi::scoped_facility<winapi::modules> use_mods{mods};
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
        procs.sessions = r.list;
        EXPECT_EQ(platform::get_target_session(), r.target);
        EXPECT_EQ(platform::get_first_active_session(), r.first);
    }
    procs.failures["enumerate_sessions"] = 5;
    EXPECT_EQ(platform::get_target_session(), 7u);
    EXPECT_EQ(platform::get_first_active_session(), 7u);
}

TEST_F(ProcessUtils, GetProcessPidTakesOnlyTheGivenSession) {
    procs.add_process(4, L"System", 0, L"");
    procs.add_process(500, L"winlogon.exe", 2, L"");
    procs.add_process(600, L"WinLogon.EXE", 1, L"");
    EXPECT_EQ(platform::GetProcessPid(L"winlogon.exe", 1), 600u);
    EXPECT_EQ(platform::GetProcessPid(L"winlogon.exe", 2), 500u);
    EXPECT_EQ(platform::GetProcessPid(L"winlogon.exe", 3), 0u);
    for (const char* call : {"process_session", "first_process", "create_snapshot"}) {
        procs.failures = {{call, 5}};
        EXPECT_EQ(platform::GetProcessPid(L"winlogon.exe", 2), 0u) << call;
    }
    EXPECT_EQ(procs.open_handles(), 0);
}

TEST_F(ProcessUtils, ExecuteProcessInSessionQuotesThePathOnceAndUsesTheSessionsToken) {
    procs.add_process(600, L"winlogon.exe", 3, L"");
    const std::wstring installer = L"C:\\Program Files\\Valdrin\\Agent\\installer\\installer.exe";
    EXPECT_EQ(platform::ExecuteProcessInSession(installer, 3, L"/source:wardex_repair"), 0u);
    EXPECT_EQ(platform::ExecuteProcessInSession(L"\"" + installer + L"\"", 3, std::nullopt), 0u);
    EXPECT_EQ(platform::ExecuteProcessInSession(L"\"" + installer, 3, L""), 0u);
    ASSERT_EQ(procs.created.size(), 3u);
    EXPECT_EQ(procs.created[0].command_line, L"\"" + installer + L"\" /source:wardex_repair");
    EXPECT_EQ(procs.created[1].command_line, L"\"" + installer + L"\"");
    EXPECT_EQ(procs.created[2].command_line, L"\"" + installer + L"\" ");

    const auto& first = procs.created[0];
    EXPECT_TRUE(first.with_environment);
    EXPECT_EQ(first.flags, winapi::create_no_window | winapi::normal_priority_class |
                               winapi::create_unicode_environment);
    ASSERT_TRUE(first.user);
    EXPECT_TRUE(first.user->primary);
    EXPECT_EQ(first.user->session, 3u);
    EXPECT_EQ(first.user->owner_pid, 600u);
    EXPECT_EQ(first.user->privileges.at(debug), winapi::se_privilege_enabled);
    EXPECT_EQ(procs.open_handles(), 0);
}

TEST_F(ProcessUtils, ExecuteProcessInSessionFailures) {
    procs.add_process(600, L"winlogon.exe", 1, L"");
    procs.sessions = {{1, L"Console", 0}};

    // Session 0 stands for the first active session; no environment block is no failure.
    procs.failures["create_environment"] = 5;
    EXPECT_EQ(platform::ExecuteProcessInSession(L"C:\\a.exe", 0, std::nullopt), 0u);
    ASSERT_EQ(procs.created.size(), 1u);
    EXPECT_FALSE(procs.created[0].with_environment);
    EXPECT_EQ(procs.created[0].flags, winapi::create_no_window | winapi::normal_priority_class);
    EXPECT_EQ(procs.created[0].user->session, 1u);

    procs.failures = {{"create_process_as_user", 2}};
    EXPECT_EQ(platform::ExecuteProcessInSession(L"C:\\a.exe", 1, std::nullopt), 2u);

    // No "winlogon.exe" in the session, or any token step failing: no process, error 31.
    procs.failures.clear();
    procs.created.clear();
    EXPECT_EQ(platform::ExecuteProcessInSession(L"C:\\a.exe", 2, std::nullopt), 31u);
    for (const char* call : {"open_process", "open_process_token", "lookup_privilege",
                             "duplicate_token", "set_token_session", "adjust_privileges"}) {
        procs.failures = {{call, 5}};
        EXPECT_EQ(platform::ExecuteProcessInSession(L"C:\\a.exe", 1, std::nullopt), 31u) << call;
    }
    procs.failures.clear();
    EXPECT_EQ(platform::ExecuteProcessInSession(std::wstring(32760, L'x'), 1, L"/quiet"),
              winapi::error_insufficient_buffer);
    EXPECT_TRUE(procs.created.empty());
    EXPECT_EQ(procs.open_handles(), 0);
}

TEST_F(ProcessUtils, PrivilegeScopeImpersonatesOnceAndKeepsOtherAttributes) {
    {
        platform::privilege_scope scope;
        EXPECT_TRUE(scope.active());
        EXPECT_EQ(procs.thread_token().privileges.at(debug), winapi::se_privilege_enabled);
    }
    EXPECT_EQ(procs.thread_token().privileges.at(debug), 0u);

    // The thread impersonates already: its token is used, no new impersonation. An enabled-by-
    // default bit (1) survives both switches.
    winapi::sys_handle token = winapi::sys_handle::null;
    ASSERT_EQ(procs.open_thread_token(0, false, token), 0u);
    ASSERT_EQ(procs.adjust_privileges(token, {debug, 1}, nullptr), 0u);
    procs.close(token);
    {
        platform::privilege_scope scope;
        EXPECT_EQ(procs.thread_token().privileges.at(debug), 3u);
    }
    EXPECT_EQ(procs.impersonations, 1);
    EXPECT_EQ(procs.thread_token().privileges.at(debug), 1u);

    procs.failures["adjust_privileges"] = 5;
    EXPECT_FALSE(platform::privilege_scope().active());
    EXPECT_EQ(procs.open_handles(), 0);
}

TEST_F(ProcessUtils, ProcessesIteratorWalksToTheEnd) {
    {
        platform::process_snapshot empty;
        EXPECT_TRUE(empty.begin() == empty.end());
    }
    for (std::uint32_t pid : {4, 8, 9}) {
        procs.add_process(pid, L"a.exe", 1, L"");
    }
    std::vector<std::uint32_t> pids;
    for (const auto& entry : platform::process_snapshot()) {
        pids.push_back(entry.process_id);
    }
    EXPECT_EQ(pids, (std::vector<std::uint32_t>{4, 8, 9}));
    EXPECT_EQ(procs.open_handles(), 0);

    procs.failures["next_process"] = 5;
    platform::process_snapshot snapshot;
    auto it = snapshot.begin();
    EXPECT_THROW(++it, std::system_error);
    procs.failures = {{"create_snapshot", 8}};
    EXPECT_THROW(platform::process_snapshot(), std::system_error);
}

TEST_F(ProcessUtils, GetFoldername) {
    mods.self_path = L"C:\\Program Files\\Valdrin\\Agent\\Wardex.exe";
    EXPECT_EQ(winapi::this_process::get_foldername().value(),
              L"C:\\Program Files\\Valdrin\\Agent\\");
    mods.self_path = L"C:\\Wardex.exe";
    EXPECT_EQ(winapi::this_process::get_foldername().value(), L"C:\\");
    mods.self_path = L"Wardex.exe";
    EXPECT_EQ(winapi::this_process::get_foldername().error().value(), 31);
    mods.self_path = L"C:\\" + std::wstring(40000, L'a');  // does not fit the buffer
    EXPECT_EQ(winapi::this_process::get_foldername().error().value(), 122);
    mods.faults().fail_always("file_name", 6);
    EXPECT_EQ(winapi::this_process::get_foldername().error().value(), 6);

    procs.add_process(70, L"CorvelService.exe", 0, L"D:\\Agent\\CorvelService.exe");
    winapi::sys_handle process = winapi::sys_handle::null;
    ASSERT_EQ(procs.open_process(winapi::process_query_information, 70, process), 0u);
    EXPECT_EQ(winapi::get_foldername(process).value(), L"D:\\Agent\\");
    procs.failures["module_file_name"] = 5;
    EXPECT_EQ(winapi::get_foldername(process).error().value(), 5);
    procs.close(process);
}

}  // namespace
