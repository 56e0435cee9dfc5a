#include "app/commands.h"

#include "app/task_commands.h"
#include "logging/log.h"
#include "platform/config/exported_object.h"
#include "stdext/utf.h"
#include "supervision/local_update.h"
#include "supervision/repair_run.h"
#include "supervision/update.h"
#include "telemetry/m_agent_repaired.h"

namespace app {

const command* find_command(const command_table& table, std::wstring_view word) {
    for (const command& c : table) {
        if (stdext::iequals(c.word, word, stdext::case_rule::latin1)) {
            return &c;
        }
    }
    return nullptr;
}

void dispatch(const command_table& table, const std::vector<std::wstring>& args) {
    if (args.size() < 2) {
        return;
    }
    const command* c = find_command(table, args[1]);
    if (c != nullptr && c->action) {
        c->action();
    }
}

// "repair" runs the agent check under the trace "check_agent": a staged local update first, and
// only when none took over, the check-and-repair run with the remote update as its last remedy.
// Both report through one set of sources, so the device id and the device facts are found at
// most once in the run, and a second report finds the facts already taken.
// "install" and "uninstall" register and remove the program's scheduled task.
command_table make_command_table() {
    return {
        {L"repair",
         [] {
             constexpr const wchar_t* name = L"check_agent";
             const logging::function_scope_trace trace(name);
             telemetry::calculated_device_id device_id;
             telemetry::device_facts facts;
             const auto sources = telemetry::product_event_sources(device_id, facts);
             if (supervision::try_local_update(sources)) {
                 logging::logger_stream(logging::level_info, name) << L"success update";
                 return;
             }
             supervision::check_and_repair(supervision::update::exec, sources);
         }},
        {L"install", [] { install_task(platform::config::get_product_name); }},
        {L"uninstall", [] { uninstall_task(platform::config::get_product_name); }},
    };
}

}  // namespace app
