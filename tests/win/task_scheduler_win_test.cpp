// The task scheduler facility under Wine. Wine's task service registers, finds and deletes tasks
// but does not implement the run level, so the facility's own registration stops there; the
// test registers its task from XML text and finds and deletes it through the facility.
#include <windows.h>

#include <taskschd.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "winapi/facility.h"
#include "winapi/task_scheduler.h"
#include "winapi/win/handles.h"
#include "winapi/win_error_category.h"

namespace {

// Registers a task that runs notepad, without a trigger.
bool register_plain_task(const std::wstring& name) {
    winapi::com_ptr<ITaskService> service;
    winapi::com_ptr<ITaskFolder> folder;
    winapi::com_ptr<IRegisteredTask> task;
    const VARIANT empty{};  // VT_EMPTY
    const winapi::unique_bstr root(::SysAllocString(L"\\")), path(::SysAllocString(name.c_str())),
        xml(::SysAllocString(L"<Task xmlns='http://schemas.microsoft.com/windows/2004/02/mit/task'>"
                             L"<Actions><Exec><Command>notepad</Command></Exec></Actions></Task>"));
    return SUCCEEDED(::CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_ITaskService, service.put_void())) &&
           SUCCEEDED(service->Connect(empty, empty, empty, empty)) &&
           SUCCEEDED(service->GetFolder(root.get(), folder.put())) &&
           SUCCEEDED(folder->RegisterTask(path.get(), xml.get(), TASK_CREATE_OR_UPDATE, empty,
                                          empty, TASK_LOGON_INTERACTIVE_TOKEN, empty, task.put()));
}

TEST(TaskSchedulerWin, RegistersFindsAndDeletesATask) {
    // Wine's task service answers only once it has been started.
    std::system("net start schedule >nul 2>&1");
    auto& ts = winapi::facility<winapi::task_scheduler>::get();
    ASSERT_TRUE(ts.co_initialize());
    auto folder = ts.connect();
    ASSERT_TRUE(folder);
    const std::wstring name = L"wardex win test task";
    auto registered = (*folder)->register_task(
        {name, L"author", L"S-1-5-18", L"id", L"PT1M", L"PT2M", L"notepad", L"repair", L"C:\\"});
    ASSERT_FALSE(registered);
    EXPECT_EQ(registered.error().code, winapi::make_win_error(0x80004001u));  // E_NOTIMPL
    EXPECT_EQ(registered.error().text, "IPrincipal::put_RunLevel failed");
    EXPECT_EQ((*folder)->registered_name(name).value(), std::nullopt);

    ASSERT_TRUE(register_plain_task(name));
    EXPECT_EQ((*folder)->registered_name(name).value(), name);
    EXPECT_TRUE((*folder)->delete_task(name));
    EXPECT_EQ((*folder)->registered_name(name).value(), std::nullopt);
    auto again = (*folder)->delete_task(name);
    EXPECT_EQ(again ? "" : again.error().text, "ITaskFolder::DeleteTask failed");
    folder->reset();  // the task objects go before COM
    ts.co_uninitialize();
}

}  // namespace
