#include <gtest/gtest.h>

#include <tuple>

#include "app/task_commands.h"
#include "fakes/log_messages.h"
#include "fakes/raised.h"
#include "winapi/win_error_category.h"

namespace {

const std::wstring task_name = L"Valdrin Agent Wardex_65D6944A0EF74FDAB96E31112AD39864";
constexpr std::uint32_t e_notimpl = 0x80004001u;

class TaskScheduler : public fakes::logged_machine_test {
protected:
    TaskScheduler() { machine.messages.texts[e_notimpl] = "Not implemented.\r\n"; }

    // The product name, noted among the task service's calls when it is asked for.
    app::product_name_source product = [this] {
        machine.tasks.note("product_name");
        return std::wstring(L"Valdrin");
    };
};

TEST_F(TaskScheduler, InstallRegistersTheLogonTaskAndLogsRefusedBatterySettings) {
    machine.tasks.tolerated = {
        winapi::win_failure(e_notimpl, "disable stop_if_going_on_batteries failed"),
        winapi::win_failure(0x80004005u, "disable put_disallow_start_if_on_batteries failed")};

    app::install_task(product);

    const auto& t = machine.tasks.registered.at(0);
    EXPECT_EQ((std::vector{t.name, t.author, t.user, t.trigger_id, t.delay, t.repetition_interval,
                           t.program_path, t.arguments, t.working_folder}),
              (std::vector<std::wstring>{task_name, L"Valdrin", L"S-1-5-18", L"Corvel_Trigger_Id",
                                         L"PT15M", L"PT1440M", machine.modules.self_path, L"repair",
                                         L"C:\\Program Files\\Valdrin\\Agent\\1.0.0"}));
    const wchar_t* function = L"win_task_scheduler::config_actions";
    EXPECT_EQ(log.lines().size(), 2u);
    EXPECT_TRUE(log.contains(logging::level_warning, function,
                             L"disable stop_if_going_on_batteries failed err -2147467263: "
                             L"Not implemented.\r\n"));
    EXPECT_TRUE(log.contains(logging::level_warning, function,
                             L"disable put_disallow_start_if_on_batteries failed err -2147467259: "
                             L"unknown error 2147500037"));

    // A delay of 0 is still written; an interval of 0 means no repetition.
    platform::task_service{}.register_task({L"t", L"", L"prog.exe", L"", L"", 0, 0});
    EXPECT_EQ(machine.tasks.registered.at(1).delay, L"PT0M");
    EXPECT_EQ(machine.tasks.registered.at(1).repetition_interval, L"");
    // A program path without a backslash is its own working folder.
    machine.modules.self_path = L"Wardex.exe";
    EXPECT_EQ(app::make_task_description(L"P").working_folder, L"Wardex.exe");
}

// The product name is asked for only once the task service is connected; the task objects are
// released before COM is uninitialised; a failing step raises its own code and text; only a
// task of exactly the name asked for is deleted.
TEST_F(TaskScheduler, CommandsRunTheirStepsInOrderAndRaiseTheFailingOne) {
    const std::string connected = "co_initialize connect product_name ";
    const std::string end = " release co_uninitialize";
    // Install or uninstall, the step that fails ("" for none), the name of the task in the folder
    // (if any), the calls made and the number of tasks left.
    const std::tuple<bool, std::string, std::wstring, std::string, std::size_t> rows[] = {
        {true, "co_initialize", L"", "co_initialize", 0},
        {true, "connect", L"", "co_initialize connect co_uninitialize", 0},
        {true, "register_task", L"", connected + "register_task" + end, 0},
        {false, "", task_name, connected + "registered_name delete_task" + end, 0},
        {false, "", L"VALDRIN" + task_name.substr(7), connected + "registered_name" + end, 1},
        {false, "", L"", connected + "registered_name" + end, 0},
        {false, "registered_name", task_name, connected + "registered_name" + end, 1},
        {false, "delete_task", task_name, connected + "registered_name delete_task" + end, 1},
    };
    for (const auto& [install, failing, stored, calls, tasks_left] : rows) {
        SCOPED_TRACE(calls);
        auto& ts = machine.tasks;
        ts.calls.clear();
        ts.tasks.assign(stored.empty() ? 0 : 1, stored);
        ts.faults().clear();
        ts.faults().fail_always(failing, e_notimpl);
        EXPECT_EQ(fakes::raised([&, install = install] {
                      install ? app::install_task(product) : app::uninstall_task(product);
                  }),
                  failing.empty()
                      ? "nothing"
                      : "system -2147467263: " + failing + " failed: Not implemented.\r\n");
        EXPECT_EQ(ts.calls, calls);
        EXPECT_EQ(ts.tasks.size(), tasks_left);
    }
}

}  // namespace
