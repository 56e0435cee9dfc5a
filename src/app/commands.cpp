#include "app/commands.h"

#include "base/utf.h"
#include "logging/log.h"

namespace app {

const command* find_command(const command_table& table, std::wstring_view word) {
    for (const command& c : table) {
        if (text::iequals(c.word, word)) {
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
// the program's scheduled task. Each action is added here as its subsystem becomes part of the
// program; until then its word is recognised and runs nothing.
command_table make_command_table() {
    return {
        {L"repair", [] { const logging::function_scope_trace trace(L"check_agent"); }},
        {L"install", nullptr},
        {L"uninstall", nullptr},
    };
}

}  // namespace app
