#include "app/commands.h"

#include "app/task_commands.h"
#include "logging/log.h"
#include "platform/config/exported_object.h"
#include "stdext/utf.h"

namespace app {

const command* find_command(const command_table& table, std::wstring_view word) {
    for (const command& c : table) {
        if (stdext::iequals(c.word, word)) {
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

// "repair" runs the agent check under the trace "check_agent": first the local update, and only
// when none was applied, the check-and-repair run. "install" and "uninstall" register and remove
// the program's scheduled task. The local update and the check-and-repair run join "repair" as
// they become part of the program; until then that word opens its trace and runs nothing more.
command_table make_command_table() {
    return {
        {L"repair", [] { const logging::function_scope_trace trace(L"check_agent"); }},
        {L"install", [] { install_task(platform::config::get_product_name); }},
        {L"uninstall", [] { uninstall_task(platform::config::get_product_name); }},
    };
}

}  // namespace app
