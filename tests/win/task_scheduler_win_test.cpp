// The Windows task scheduler facility under Wine: Wine's task service answers the folder, task
// and registration calls. (It lacks the run level call; the install scenario covers that.)
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <system_error>
#include <utility>

#include "platform/win_task_scheduler.h"
#include "winapi/facility.h"
#include "winapi/task_scheduler.h"

namespace {

using winapi::com_ptr;
using winapi::unique_com;

class TaskSchedulerWin : public ::testing::Test {
protected:
    void SetUp() override {
        // Wine's task service answers only once it has been started.
        std::system("net start schedule >nul 2>&1");
        ASSERT_GE(ts.co_initialize(), 0);
    }
    void TearDown() override { ts.co_uninitialize(); }

    winapi::task_scheduler& ts = winapi::facility<winapi::task_scheduler>::get();
};

// The owner of the pointer a call handed out through raw; a failed call ends the test.
unique_com take(winapi::hresult hr, com_ptr& raw) {
    if (FAILED(hr)) {
        throw std::system_error(hr, std::system_category(), "task scheduler call failed");
    }
    return unique_com(std::exchange(raw, 0));
}

TEST_F(TaskSchedulerWin, RegistersReadsAndDeletesATask) {
    const std::wstring name = L"wardex win test task";
    platform::win_task_scheduler{}.delete_task(name);  // none yet: nothing happens

    com_ptr raw = 0;
    unique_com service = take(ts.create_service(raw), raw);
    ASSERT_EQ(ts.connect(service.get()), S_OK);
    unique_com folder = take(ts.get_folder(service.get(), L"\\", raw), raw);
    unique_com definition = take(ts.new_task(service.get(), 0, raw), raw);
    unique_com actions = take(ts.get_actions(definition.get(), raw), raw);
    unique_com action = take(ts.create_action(actions.get(), winapi::task_action_exec, raw), raw);
    unique_com exec = take(ts.query_exec_action(action.get(), raw), raw);
    ASSERT_EQ(ts.put_path(exec.get(), L"C:\\windows\\system32\\notepad.exe"), S_OK);
    ASSERT_EQ(ts.put_arguments(exec.get(), L"repair"), S_OK);
    take(ts.register_task_definition(folder.get(), name, definition.get(),
                                     winapi::task_create_or_update, L"S-1-5-18",
                                     winapi::task_logon_interactive_token, L"", raw),
         raw);

    std::wstring stored;
    ASSERT_EQ(ts.get_name(take(ts.get_task(folder.get(), name, raw), raw).get(), stored), S_OK);
    EXPECT_EQ(stored, name);

    platform::win_task_scheduler{}.delete_task(name);
    EXPECT_EQ(ts.get_task(folder.get(), name, raw) & 0xFFFF, 2);
}

}  // namespace
