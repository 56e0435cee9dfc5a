#include "app/task_commands.h"

#include <system_error>

#include "stdext/path.h"
#include "stdext/raise.h"
#include "winapi/facility.h"
#include "winapi/modules.h"
#include "winapi/win_error_category.h"

namespace app {
namespace {

std::wstring module_path() {
    return stdext::value_or_raise(
        winapi::module_file_name(winapi::facility<winapi::modules>::get().self()),
        "GetModuleFileName failed");
}

// COM for the calling thread, from construction to destruction.
class com_scope {
public:
    com_scope() : scheduler_(winapi::facility<winapi::task_scheduler>::get()) {
        stdext::value_or_raise(scheduler_.co_initialize());
    }
    ~com_scope() { scheduler_.co_uninitialize(); }
    com_scope(const com_scope&) = delete;
    com_scope& operator=(const com_scope&) = delete;

private:
    winapi::task_scheduler& scheduler_;
};

}  // namespace

platform::task_description make_task_description(const std::wstring& product_name) {
    platform::task_description task;
    task.task_name = product_name + L" Agent Wardex_65D6944A0EF74FDAB96E31112AD39864";
    task.author = product_name;
    task.program_path = module_path();
    // The program path up to, not including, its last backslash; the whole path without one.
    const auto folder = stdext::path::split(task.program_path).folder;
    task.working_folder =
        folder.empty() ? task.program_path : std::wstring(folder.substr(0, folder.size() - 1));
    task.arguments = L"repair";
    task.logon_delay_minutes = 15;
    task.repetition_interval_minutes = 1440;
    return task;
}

void install_task(const product_name_source& product_name) {
    com_scope com;
    // The task objects are released before COM is uninitialised.
    platform::task_service service;
    service.register_task(make_task_description(product_name()));
}

void uninstall_task(const product_name_source& product_name) {
    com_scope com;
    platform::task_service service;
    service.delete_task(make_task_description(product_name()).task_name);
}

}  // namespace app
