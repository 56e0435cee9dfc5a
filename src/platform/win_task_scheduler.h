// Registration and removal of the program's own scheduled task through the task scheduler
// facility. COM must be initialised on the calling thread for the whole life of the object.
#pragma once

#include <cstdint>
#include <string>

#include "winapi/task_scheduler.h"

namespace platform {

// What the caller decides about its task; everything else (folder, account, run level, trigger
// kind, battery settings) is fixed here.
struct task_description {
    std::wstring task_name;
    std::wstring author;
    std::wstring program_path;
    std::wstring working_folder;  // not set when empty
    std::wstring arguments;       // not set when empty
    std::uint32_t logon_delay_minutes = 0;
    std::uint32_t repetition_interval_minutes = 0;  // no repetition when 0
};

inline constexpr const wchar_t* task_trigger_id = L"Corvel_Trigger_Id";
inline constexpr const wchar_t* task_user_local_system = L"S-1-5-18";

// "PT" + minutes + "M".
std::wstring task_duration(std::uint32_t minutes);

class win_task_scheduler {
public:
    // Creates the task service, connects it to the local machine and opens the root folder.
    // Raises a system error naming the failing call.
    win_task_scheduler();

    // Creates the task or updates it in place; its trigger and action collections are replaced.
    void register_task(const task_description& task);
    // Deletes the task when one with exactly this name (letter case included) exists.
    void delete_task(const std::wstring& name);

private:
    // The registered task of that name, or an empty owner when there is none.
    winapi::unique_com find_task(const std::wstring& name);
    void config_triggers(winapi::com_ptr definition, const task_description& task);
    void config_actions(winapi::com_ptr definition, const task_description& task);

    winapi::unique_com service_;
    winapi::unique_com folder_;
};

}  // namespace platform
