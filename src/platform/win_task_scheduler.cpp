#include "platform/win_task_scheduler.h"

#include <string>

#include "logging/log.h"
#include "stdext/utf.h"
#include "winapi/facility.h"
#include "winapi/win_error_category.h"

namespace platform {
namespace {

winapi::task_scheduler& scheduler() {
    return winapi::facility<winapi::task_scheduler>::get();
}

void check(winapi::hresult hr, const char* text) {
    if (winapi::failed(hr)) {
        winapi::throw_win_error(static_cast<std::uint32_t>(hr), text);
    }
}

// Receives an interface pointer from a facility call and hands it to its owner.
class out_com {
public:
    explicit out_com(winapi::unique_com& owner) : owner_(owner) {}
    ~out_com() { owner_.reset(raw_); }
    out_com(const out_com&) = delete;
    out_com& operator=(const out_com&) = delete;
    operator winapi::com_ptr&() noexcept { return raw_; }

private:
    winapi::unique_com& owner_;
    winapi::com_ptr raw_ = 0;
};

void log_battery_failure(const char* what, winapi::hresult hr) {
    const std::string message = winapi::win_error_category().message(hr);
    logging::logger_stream(logging::level_warning, L"win_task_scheduler::config_actions")
        << what << hr << L": " << stdext::utf8_to_wide(message);
}

}  // namespace

std::wstring task_duration(std::uint32_t minutes) {
    return L"PT" + std::to_wstring(minutes) + L"M";
}

win_task_scheduler::win_task_scheduler() {
    auto& ts = scheduler();
    check(ts.create_service(out_com(service_)), "CoCreateInstance failed");
    check(ts.connect(service_.get()), "ITaskService::Connect failed");
    check(ts.get_folder(service_.get(), L"\\", out_com(folder_)), "ITaskService::GetFolder failed");
}

winapi::unique_com win_task_scheduler::find_task(const std::wstring& name) {
    winapi::unique_com task;
    const winapi::hresult hr = scheduler().get_task(folder_.get(), name, out_com(task));
    if ((static_cast<std::uint32_t>(hr) & 0xFFFFu) == 2) {
        return {};
    }
    check(hr, "ITaskFolder::GetTask failed");
    return task;
}

void win_task_scheduler::register_task(const task_description& task) {
    auto& ts = scheduler();

    winapi::unique_com definition;
    if (winapi::unique_com existing = find_task(task.task_name)) {
        check(ts.get_definition(existing.get(), out_com(definition)),
              "ITaskDefinition::get_Definition");
    } else {
        check(ts.new_task(service_.get(), 0, out_com(definition)), "ITaskService::NewTask failed");
    }

    winapi::unique_com info;
    check(ts.get_registration_info(definition.get(), out_com(info)),
          "ITaskDefinition::get_RegistrationInfo failed");
    check(ts.put_author(info.get(), task.author), "IRegistrationInfo::put_author failed");

    winapi::unique_com principal;
    check(ts.get_principal(definition.get(), out_com(principal)),
          "ITaskDefinition::get_Principal failed");
    check(ts.put_run_level(principal.get(), winapi::task_runlevel_highest),
          "IPrincipal::put_RunLevel failed");

    config_triggers(definition.get(), task);
    config_actions(definition.get(), task);

    winapi::unique_com registered;
    check(
        ts.register_task_definition(folder_.get(), task.task_name, definition.get(),
                                    winapi::task_create_or_update, task_user_local_system,
                                    winapi::task_logon_interactive_token, L"", out_com(registered)),
        "ITaskFolder::RegisterTaskDefinition failed");
}

void win_task_scheduler::config_triggers(winapi::com_ptr definition, const task_description& task) {
    auto& ts = scheduler();

    winapi::unique_com triggers;
    check(ts.get_triggers(definition, out_com(triggers)), "ITaskDefinition::get_Triggers failed");
    check(ts.clear_triggers(triggers.get()), "ITriggerCollection::Clear");

    winapi::unique_com trigger;
    check(ts.create_trigger(triggers.get(), winapi::task_trigger_logon, out_com(trigger)),
          "ITriggerCollection::Create failed");
    winapi::unique_com logon;
    check(ts.query_logon_trigger(trigger.get(), out_com(logon)),
          "ITrigger::QueryInterface for IID_ILogonTrigger failed");

    check(ts.put_trigger_id(logon.get(), task_trigger_id), "ILogonTrigger::put_Id failed");
    check(ts.put_delay(logon.get(), task_duration(task.logon_delay_minutes)),
          "ILogonTrigger::put_Delay failed");

    if (task.repetition_interval_minutes > 0) {
        winapi::unique_com pattern;
        check(ts.get_repetition(logon.get(), out_com(pattern)),
              "ILogonTrigger::get_Repetition failed");
        check(ts.put_interval(pattern.get(), task_duration(task.repetition_interval_minutes)),
              "IRepetitionPattern::put_Interval failed");
    }
}

void win_task_scheduler::config_actions(winapi::com_ptr definition, const task_description& task) {
    auto& ts = scheduler();

    winapi::unique_com actions;
    check(ts.get_actions(definition, out_com(actions)), "ITaskDefinition::get_Actions failed");
    check(ts.clear_actions(actions.get()), "IActionCollection::Clear");

    winapi::unique_com action;
    check(ts.create_action(actions.get(), winapi::task_action_exec, out_com(action)),
          "IActionCollection::Create failed");
    winapi::unique_com exec;
    check(ts.query_exec_action(action.get(), out_com(exec)),
          "IAction::QueryInterface for IID_IExecAction failed");

    check(ts.put_path(exec.get(), task.program_path), "IExecAction::put_Path failed");
    if (!task.arguments.empty()) {
        check(ts.put_arguments(exec.get(), task.arguments), "IExecAction::put_Arguments failed");
    }
    if (!task.working_folder.empty()) {
        check(ts.put_working_directory(exec.get(), task.working_folder),
              "IExecAction::put_WorkingDirectory failed");
    }

    winapi::unique_com settings;
    check(ts.get_settings(definition, out_com(settings)), "ITaskDefinition::get_Settings failed");

    // The task must also run on battery power; a system that refuses these two settings still
    // gets its task.
    if (const winapi::hresult hr = ts.put_stop_if_going_on_batteries(settings.get(), false);
        winapi::failed(hr)) {
        log_battery_failure("disable stop_if_going_on_batteries failed err ", hr);
    }
    if (const winapi::hresult hr = ts.put_disallow_start_if_on_batteries(settings.get(), false);
        winapi::failed(hr)) {
        log_battery_failure("disable put_disallow_start_if_on_batteries failed err ", hr);
    }
}

void win_task_scheduler::delete_task(const std::wstring& name) {
    winapi::unique_com task = find_task(name);
    if (!task) {
        return;
    }
    // The look-up ignores letter case; only a task of exactly this name is deleted.
    std::wstring stored;
    if (winapi::failed(scheduler().get_name(task.get(), stored))) {
        return;
    }
    if (stored == name) {
        check(scheduler().delete_task(folder_.get(), stored, 0), "ITaskFolder::DeleteTask failed");
    }
}

}  // namespace platform
