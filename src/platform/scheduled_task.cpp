#include "platform/scheduled_task.h"

#include <string>
#include <utility>

#include "logging/log.h"
#include "stdext/raise.h"
#include "stdext/utf.h"
#include "winapi/facility.h"
#include "winapi/win_error_category.h"

namespace platform {
std::wstring task_duration(std::uint32_t minutes) {
    return L"PT" + std::to_wstring(minutes) + L"M";
}

task_service::task_service() {
    folder_ = stdext::value_or_raise(winapi::facility<winapi::task_scheduler>::get().connect());
}

void task_service::register_task(const task_description& task) {
    const winapi::logon_task logon{
        .name = task.task_name,
        .author = task.author,
        .user = L"S-1-5-18",  // the local system account
        .trigger_id = L"Corvel_Trigger_Id",
        .delay = task_duration(task.logon_delay_minutes),
        .repetition_interval = task.repetition_interval_minutes > 0
                                   ? task_duration(task.repetition_interval_minutes)
                                   : std::wstring(),
        .program_path = task.program_path,
        .arguments = task.arguments,
        .working_folder = task.working_folder,
    };
    const auto tolerated = stdext::value_or_raise(folder_->register_task(logon));
    // The battery settings the system refused: the task is registered without them.
    for (const stdext::error& failure : tolerated) {
        logging::logger_stream(logging::level_warning, L"win_task_scheduler::config_actions")
            << stdext::utf8_to_wide(failure.text) << L" err " << failure.code.value() << L": "
            << stdext::utf8_to_wide(failure.code.message());
    }
}

void task_service::delete_task(const std::wstring& name) {
    // The look-up ignores letter case; only a task of exactly this name is deleted.
    if (stdext::value_or_raise(folder_->registered_name(name)) == name) {
        stdext::value_or_raise(folder_->delete_task(name));
    }
}

}  // namespace platform
