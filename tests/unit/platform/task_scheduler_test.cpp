#include <gtest/gtest.h>

#include <system_error>

#include "app/task_commands.h"
#include "fakes/fake_error_messages.h"
#include "fakes/fake_log_library.h"
#include "fakes/fake_modules.h"
#include "fakes/fake_task_scheduler.h"
#include "logging/log.h"
#include "platform/win_task_scheduler.h"
#include "winapi/facility.h"
#include "winapi/win_error_category.h"

namespace {

using fakes::fake_task_scheduler;

const std::wstring task_name = L"Valdrin Agent Wardex_65D6944A0EF74FDAB96E31112AD39864";
const app::product_name_source valdrin = [] { return std::wstring(L"Valdrin"); };

class TaskScheduler : public ::testing::Test {
protected:
    TaskScheduler() {
        messages.texts[static_cast<std::uint32_t>(winapi::e_notimpl)] = "Not implemented.\r\n";
    }

    fake_task_scheduler ts;
    fakes::fake_modules modules;
    fakes::fake_error_messages messages;
    winapi::scoped_facility<winapi::task_scheduler> use_ts{ts};
    winapi::scoped_facility<winapi::modules> use_modules{modules};
    winapi::scoped_facility<winapi::error_messages> use_messages{messages};
    fakes::fake_log_library log{modules};
    logging::scopped_log_init logging_on;
};

TEST_F(TaskScheduler, InstallRegistersTheLogonTaskAndReplacesItsTriggersAndActions) {
    app::install_task(valdrin);
    EXPECT_TRUE(ts.called("new_task"));
    // Someone added a trigger and an action by hand, and the task's name case changed: the
    // next install updates the same task in place.
    auto& edited = ts.tasks.at(0);
    edited.name = L"VALDRIN" + task_name.substr(7);
    edited.def.triggers.push_back({1, L"by hand", L"", L"PT5M"});
    edited.def.actions.push_back({winapi::task_action_exec, L"C:\\other.exe"});
    ts.calls.clear();
    app::install_task(valdrin);
    EXPECT_FALSE(ts.called("new_task"));

    ASSERT_EQ(ts.tasks.size(), 1u);
    const auto& task = ts.tasks[0];
    EXPECT_EQ(task.name, task_name);
    EXPECT_EQ(task.flags, winapi::task_create_or_update);
    EXPECT_EQ(task.user, L"S-1-5-18");
    EXPECT_EQ(task.logon_type, 3);
    EXPECT_EQ(task.sddl, L"");

    const auto& def = task.def;
    EXPECT_EQ(def.author, L"Valdrin");
    EXPECT_EQ(def.run_level, winapi::task_runlevel_highest);
    ASSERT_EQ(def.triggers.size(), 1u);
    EXPECT_EQ(def.triggers[0].type, winapi::task_trigger_logon);
    EXPECT_EQ(def.triggers[0].id, L"Corvel_Trigger_Id");
    EXPECT_EQ(def.triggers[0].delay, L"PT15M");
    EXPECT_EQ(def.triggers[0].interval, L"PT1440M");
    ASSERT_EQ(def.actions.size(), 1u);
    EXPECT_EQ(def.actions[0].type, winapi::task_action_exec);
    EXPECT_EQ(def.actions[0].path, modules.self_path);
    EXPECT_EQ(def.actions[0].arguments, L"repair");
    EXPECT_EQ(def.actions[0].working_directory, L"C:\\Program Files\\Valdrin\\Agent\\1.0.0");
    EXPECT_FALSE(def.stop_if_going_on_batteries);
    EXPECT_FALSE(def.disallow_start_if_on_batteries);

    EXPECT_TRUE(log.lines().empty());
    EXPECT_TRUE(ts.clean());
}

TEST_F(TaskScheduler, OptionalPartsAreLeftUnsetWhenEmpty) {
    platform::task_description task;
    task.task_name = L"t";
    task.program_path = L"prog.exe";
    ts.co_initialize();
    platform::win_task_scheduler{}.register_task(task);
    ts.co_uninitialize();
    ASSERT_EQ(ts.tasks.size(), 1u);
    const auto& trigger = ts.tasks[0].def.triggers.at(0);
    EXPECT_EQ(trigger.delay, L"PT0M");
    EXPECT_FALSE(trigger.interval.has_value());
    EXPECT_FALSE(ts.called("put_arguments"));
    EXPECT_FALSE(ts.called("put_working_directory"));
    EXPECT_TRUE(ts.clean());

    // A program path without a folder is its own working folder.
    modules.self_path = L"Wardex.exe";
    EXPECT_EQ(app::make_task_description(L"P").working_folder, L"Wardex.exe");
}

TEST_F(TaskScheduler, BatterySettingFailuresAreLoggedAndTheTaskStillRegistered) {
    ts.fail["put_stop_if_going_on_batteries"] = winapi::e_notimpl;
    ts.fail["put_disallow_start_if_on_batteries"] = winapi::e_fail;

    app::install_task(valdrin);

    ASSERT_EQ(ts.tasks.size(), 1u);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, 8);
    EXPECT_EQ(lines[0].text,
              L"disable stop_if_going_on_batteries failed err -2147467263: Not implemented.\r\n");
    EXPECT_EQ(lines[1].text,
              L"disable put_disallow_start_if_on_batteries failed err -2147467259: "
              L"unknown error 2147500037");
    EXPECT_TRUE(ts.clean());
}

TEST_F(TaskScheduler, EachFailingStepRaisesItsOwnText) {
    struct step {
        const char* call;
        const char* text;
        bool existing = false;  // the task is registered beforehand
    };
    const step steps[] = {
        {"co_initialize", "CoInitialize failed"},
        {"create_service", "CoCreateInstance failed"},
        {"connect", "ITaskService::Connect failed"},
        {"get_folder", "ITaskService::GetFolder failed"},
        {"get_task", "ITaskFolder::GetTask failed"},
        {"get_definition", "ITaskDefinition::get_Definition", true},
        {"new_task", "ITaskService::NewTask failed"},
        {"get_registration_info", "ITaskDefinition::get_RegistrationInfo failed"},
        {"put_author", "IRegistrationInfo::put_author failed"},
        {"get_principal", "ITaskDefinition::get_Principal failed"},
        {"put_run_level", "IPrincipal::put_RunLevel failed"},
        {"get_triggers", "ITaskDefinition::get_Triggers failed"},
        {"clear_triggers", "ITriggerCollection::Clear"},
        {"create_trigger", "ITriggerCollection::Create failed"},
        {"query_logon_trigger", "ITrigger::QueryInterface for IID_ILogonTrigger failed"},
        {"put_trigger_id", "ILogonTrigger::put_Id failed"},
        {"put_delay", "ILogonTrigger::put_Delay failed"},
        {"get_repetition", "ILogonTrigger::get_Repetition failed"},
        {"put_interval", "IRepetitionPattern::put_Interval failed"},
        {"get_actions", "ITaskDefinition::get_Actions failed"},
        {"clear_actions", "IActionCollection::Clear"},
        {"create_action", "IActionCollection::Create failed"},
        {"query_exec_action", "IAction::QueryInterface for IID_IExecAction failed"},
        {"put_path", "IExecAction::put_Path failed"},
        {"put_arguments", "IExecAction::put_Arguments failed"},
        {"put_working_directory", "IExecAction::put_WorkingDirectory failed"},
        {"get_settings", "ITaskDefinition::get_Settings failed"},
        {"register_task_definition", "ITaskFolder::RegisterTaskDefinition failed", true},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.call);
        fake_task_scheduler fresh;
        winapi::scoped_facility<winapi::task_scheduler> use(fresh);
        if (s.existing) {
            fresh.tasks.push_back({task_name, {L"old author"}});
        }
        fresh.fail[s.call] = winapi::e_notimpl;
        // The product name is asked for once, and only when the task service is connected.
        const std::string call = s.call;
        const bool connected = call != "co_initialize" && call != "create_service" &&
                               call != "connect" && call != "get_folder";
        int asked = 0;
        try {
            app::install_task([&] {
                ++asked;
                return std::wstring(L"Valdrin");
            });
            ADD_FAILURE() << "no error raised";
        } catch (const std::system_error& e) {
            EXPECT_EQ(std::string(e.what()), std::string(s.text) + ": Not implemented.\r\n");
            EXPECT_EQ(e.code(),
                      winapi::make_win_error(static_cast<std::uint32_t>(winapi::e_notimpl)));
        }
        EXPECT_EQ(asked, connected ? 1 : 0);
        // Nothing half-done reaches the folder, and every object was released.
        EXPECT_EQ(fresh.tasks.size(), s.existing ? 1u : 0u);
        if (s.existing) {
            EXPECT_EQ(fresh.tasks[0].def.author, L"old author");
        }
        EXPECT_TRUE(fresh.clean());
    }

    // The program path is read after the connection.
    modules.faults().fail_always("file_name", 5);
    try {
        app::install_task(valdrin);
        ADD_FAILURE() << "no error raised";
    } catch (const std::system_error& e) {
        EXPECT_EQ(std::string(e.what()), "GetModuleFileName failed: Access is denied.\r\n");
    }
    EXPECT_TRUE(ts.called("get_folder"));
    EXPECT_TRUE(ts.clean());
}

TEST_F(TaskScheduler, UninstallDeletesOnlyAnExactName) {
    // No task: nothing to do, nothing raised.
    app::uninstall_task(valdrin);
    EXPECT_FALSE(ts.called("delete_task"));

    // The look-up ignores case, the deletion does not.
    ts.tasks.push_back({L"VALDRIN" + task_name.substr(7)});
    app::uninstall_task(valdrin);
    EXPECT_TRUE(ts.called("get_name"));
    EXPECT_FALSE(ts.called("delete_task"));
    EXPECT_EQ(ts.tasks.size(), 1u);

    // A name that cannot be read counts as absent.
    ts.tasks[0].name = task_name;
    ts.fail["get_name"] = winapi::e_fail;
    app::uninstall_task(valdrin);
    EXPECT_EQ(ts.tasks.size(), 1u);
    ts.fail.clear();

    app::uninstall_task(valdrin);
    EXPECT_TRUE(ts.tasks.empty());

    ts.tasks.push_back({task_name});
    ts.fail["delete_task"] = winapi::e_notimpl;
    EXPECT_THROW(app::uninstall_task(valdrin), std::system_error);
    EXPECT_EQ(ts.tasks.size(), 1u);
    EXPECT_TRUE(ts.clean());
}

}  // namespace
