// The task scheduler facility: the Task Scheduler 2.0 calls the program makes, one method per
// call. Interface pointers are opaque numbers; each call returns its HRESULT as Windows does and
// hands out new references through its out parameters. Text and variant arguments are passed as
// plain wide strings; the Windows implementation turns them into BSTRs and variants.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "winapi/facility_handle.h"

namespace winapi {

using com_ptr = std::uintptr_t;
using hresult = std::int32_t;

inline constexpr hresult s_ok = 0;
inline constexpr hresult e_notimpl = static_cast<hresult>(0x80004001u);
inline constexpr hresult e_fail = static_cast<hresult>(0x80004005u);
inline constexpr hresult e_outofmemory = static_cast<hresult>(0x8007000Eu);
inline constexpr hresult e_invalidarg = static_cast<hresult>(0x80070057u);
inline constexpr hresult hresult_file_not_found = static_cast<hresult>(0x80070002u);
inline constexpr hresult sched_e_service_not_running = static_cast<hresult>(0x80041315u);

inline constexpr bool failed(hresult hr) noexcept {
    return hr < 0;
}

// TASK_RUNLEVEL_TYPE, TASK_TRIGGER_TYPE2, TASK_ACTION_TYPE, TASK_CREATION, TASK_LOGON_TYPE.
inline constexpr std::int32_t task_runlevel_lua = 0;
inline constexpr std::int32_t task_runlevel_highest = 1;
inline constexpr std::int32_t task_trigger_logon = 9;
inline constexpr std::int32_t task_action_exec = 0;
inline constexpr std::int32_t task_create_or_update = 6;
inline constexpr std::int32_t task_logon_interactive_token = 3;

// A text could not be allocated for a call (E_OUTOFMEMORY from the COM string allocator).
class com_error : public std::runtime_error {
public:
    explicit com_error(hresult hr) : std::runtime_error("COM error"), hr_(hr) {}
    hresult code() const noexcept { return hr_; }

private:
    hresult hr_;
};

class task_scheduler {
public:
    virtual ~task_scheduler() = default;

    // CoInitialize(nullptr) / CoUninitialize() on the calling thread.
    virtual hresult co_initialize() = 0;
    virtual void co_uninitialize() = 0;

    // CoCreateInstance(CLSID_TaskScheduler, null, in-process server, IID_ITaskService).
    virtual hresult create_service(com_ptr& service) = 0;
    // ITaskService::Connect with four empty variants.
    virtual hresult connect(com_ptr service) = 0;
    virtual hresult get_folder(com_ptr service, const std::wstring& path, com_ptr& folder) = 0;
    virtual hresult new_task(com_ptr service, std::uint32_t flags, com_ptr& definition) = 0;

    // ITaskFolder.
    virtual hresult get_task(com_ptr folder, const std::wstring& name, com_ptr& task) = 0;
    // RegisterTaskDefinition(name, definition, flags, text variant user, empty password,
    // logon type, text variant sddl, &registered).
    virtual hresult register_task_definition(com_ptr folder, const std::wstring& name,
                                             com_ptr definition, std::int32_t flags,
                                             const std::wstring& user, std::int32_t logon_type,
                                             const std::wstring& sddl, com_ptr& registered) = 0;
    virtual hresult delete_task(com_ptr folder, const std::wstring& name, std::int32_t flags) = 0;

    // IRegisteredTask.
    virtual hresult get_definition(com_ptr task, com_ptr& definition) = 0;
    virtual hresult get_name(com_ptr task, std::wstring& name) = 0;

    // ITaskDefinition.
    virtual hresult get_registration_info(com_ptr definition, com_ptr& info) = 0;
    virtual hresult get_principal(com_ptr definition, com_ptr& principal) = 0;
    virtual hresult get_triggers(com_ptr definition, com_ptr& triggers) = 0;
    virtual hresult get_actions(com_ptr definition, com_ptr& actions) = 0;
    virtual hresult get_settings(com_ptr definition, com_ptr& settings) = 0;

    virtual hresult put_author(com_ptr info, const std::wstring& author) = 0;
    virtual hresult put_run_level(com_ptr principal, std::int32_t level) = 0;

    // ITriggerCollection, ITrigger (queried for ILogonTrigger), IRepetitionPattern.
    virtual hresult clear_triggers(com_ptr triggers) = 0;
    virtual hresult create_trigger(com_ptr triggers, std::int32_t type, com_ptr& trigger) = 0;
    virtual hresult query_logon_trigger(com_ptr trigger, com_ptr& logon) = 0;
    virtual hresult put_trigger_id(com_ptr logon, const std::wstring& id) = 0;
    virtual hresult put_delay(com_ptr logon, const std::wstring& delay) = 0;
    virtual hresult get_repetition(com_ptr logon, com_ptr& pattern) = 0;
    virtual hresult put_interval(com_ptr pattern, const std::wstring& interval) = 0;

    // IActionCollection, IAction (queried for IExecAction).
    virtual hresult clear_actions(com_ptr actions) = 0;
    virtual hresult create_action(com_ptr actions, std::int32_t type, com_ptr& action) = 0;
    virtual hresult query_exec_action(com_ptr action, com_ptr& exec) = 0;
    virtual hresult put_path(com_ptr exec, const std::wstring& path) = 0;
    virtual hresult put_arguments(com_ptr exec, const std::wstring& arguments) = 0;
    virtual hresult put_working_directory(com_ptr exec, const std::wstring& folder) = 0;

    // ITaskSettings.
    virtual hresult put_stop_if_going_on_batteries(com_ptr settings, bool value) = 0;
    virtual hresult put_disallow_start_if_on_batteries(com_ptr settings, bool value) = 0;

    // IUnknown::Release of any pointer handed out above.
    virtual void release(com_ptr object) = 0;
};

// Owner of one interface reference; releases it through the installed task scheduler facility.
using unique_com = facility_handle<task_scheduler, com_ptr, &task_scheduler::release>;

}  // namespace winapi
