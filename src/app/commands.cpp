#include "app/commands.h"

#include "base/utf.h"

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

}  // namespace app
