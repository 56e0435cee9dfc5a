#include <windows.h>

#include <gtest/gtest.h>

#include "platform/process_utils.h"
#include "stdext/utf.h"
#include "winapi/facility.h"
#include "winapi/folders.h"
#include "winapi/service_manager.h"
#include "winapi/win/handles.h"

namespace {

std::wstring own_path() {
    wchar_t buffer[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return buffer;
}

TEST(ProcessUtilsWin, FoldernameOfModuleAndProcess) {
    const std::wstring path = own_path();
    const std::wstring folder = path.substr(0, path.rfind(L'\\') + 1);
    const auto own = winapi::this_process::get_foldername();
    ASSERT_TRUE(own) << own.error().value();
    EXPECT_EQ(*own, folder);

    auto& procs = winapi::facility<winapi::processes>::get();
    winapi::sys_handle raw = winapi::sys_handle::null;
    // Reading another process's module name needs memory-read access as well.
    ASSERT_EQ(procs.open_process(winapi::process_query_information | PROCESS_VM_READ,
                                 ::GetCurrentProcessId(), raw),
              0u);
    winapi::unique_sys_handle process(raw);
    const auto of_process = winapi::get_foldername(process.get());
    ASSERT_TRUE(of_process) << of_process.error().value();
    EXPECT_TRUE(stdext::iequals(*of_process, folder));

    const auto kernel =
        winapi::get_foldername(winapi::from_native(::GetModuleHandleW(L"kernel32.dll")));
    ASSERT_TRUE(kernel);
    EXPECT_TRUE(stdext::iequals(kernel->substr(kernel->size() - 9), L"system32\\")) << *kernel;
}

TEST(ProcessUtilsWin, PidOfTheRunningProgram) {
    const std::wstring path = own_path();
    const std::wstring name = path.substr(path.rfind(L'\\') + 1);
    DWORD session = 0;
    ASSERT_TRUE(::ProcessIdToSessionId(::GetCurrentProcessId(), &session));
    EXPECT_NE(platform::GetProcessPid(name, session), 0u);
    EXPECT_EQ(platform::GetProcessPid(name, session + 7), 0u);
    EXPECT_EQ(platform::get_target_session(), ::WTSGetActiveConsoleSessionId());
}

TEST(ProcessUtilsWin, PrivilegeScopeAndServiceManager) {
    {
        platform::privilege_scope scope;
        EXPECT_TRUE(scope.active());
    }
    auto& scm = winapi::facility<winapi::service_manager>::get();
    winapi::sc_handle manager = 0;
    ASSERT_EQ(scm.open_manager(winapi::sc_manager_all_access, manager), 0u);
    winapi::unique_sc_handle owner(manager);
    winapi::sc_handle service = 0;
    EXPECT_EQ(
        scm.open_service(manager, L"NoSuchServiceHere", winapi::service_query_status, service),
        1060u);  // ERROR_SERVICE_DOES_NOT_EXIST
}

}  // namespace
