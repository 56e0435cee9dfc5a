// Registration and removal of the program's own scheduled task through the task scheduler
// facility. COM must be initialised on the calling thread for the whole life of the object.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "winapi/task_scheduler.h"

namespace platform {

// What the caller decides about its task; everything else (folder, account, run level, trigger
// kind, battery settings) is fixed here and by the task folder.
struct task_description {
    std::wstring task_name;
    std::wstring author;
    std::wstring program_path;
    std::wstring working_folder;  // not set when empty
    std::wstring arguments;       // not set when empty
    std::uint32_t logon_delay_minutes = 0;
    std::uint32_t repetition_interval_minutes = 0;  // no repetition when 0
};

// "PT" + minutes + "M".
[[nodiscard]] std::wstring task_duration(std::uint32_t minutes);

// The root folder of the connected task service, released when dropped.
class task_service {
public:
    // Raises a system error naming the failing call.
    task_service();

    // Creates the task or updates it in place: one logon trigger, one action.
    void register_task(const task_description& task);
    // Deletes the task when one with exactly this name (letter case included) exists.
    void delete_task(const std::wstring& name);

private:
    std::unique_ptr<winapi::task_folder> folder_;
};

}  // namespace platform
