// The command words of the supervisor and what each runs.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace app {

struct command {
    std::wstring_view word;
    // What the word runs; an empty action runs nothing.
    std::function<void()> action;
};

using command_table = std::vector<command>;

// The first entry whose word equals `word` ignoring case, or null.
[[nodiscard]] const command* find_command(const command_table& table, std::wstring_view word);

// Runs the command named by args[1] (args[0] is the program); further arguments are ignored.
// Without a word, or with a word outside the table, nothing runs.
void dispatch(const command_table& table, const std::vector<std::wstring>& args);

// The supervisor's commands: "repair", "install", "uninstall".
[[nodiscard]] command_table make_command_table();

}  // namespace app
