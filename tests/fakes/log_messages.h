// The messages a fake log library received, in the form tests compare them: the level's number,
// then the text, function traces left out; and a fake machine whose program logs into one.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "fakes/fake_log_library.h"
#include "fakes/fake_machine.h"
#include "logging/log.h"

namespace fakes {

// "level function text" of every message logged so far.
inline std::vector<std::wstring> all_messages(const fake_log_library& log) {
    std::vector<std::wstring> out;
    for (const auto& line : log.lines()) {
        if (line.kind == 0) {
            out.push_back(std::to_wstring(logging::level_number(line.level)) + L" " +
                          line.function + L" " + line.text);
        }
    }
    return out;
}

// "level text" of the messages one function logged since the last call for that function.
class messages_since {
public:
    explicit messages_since(const fake_log_library& log) : log_(log) {}

    std::vector<std::wstring> operator()(const std::wstring& function) {
        std::vector<std::wstring> out;
        const auto all = log_.lines();
        for (auto i = seen_[function]; i < all.size(); ++i) {
            if (all[i].kind == 0 && all[i].function == function) {
                out.push_back(std::to_wstring(logging::level_number(all[i].level)) + L" " +
                              all[i].text);
            }
        }
        seen_[function] = all.size();
        return out;
    }

private:
    const fake_log_library& log_;
    std::map<std::wstring, std::size_t> seen_;
};

// A fake machine with logging on into its log library.
struct logged_machine {
    std::vector<std::wstring> logged() const { return all_messages(log); }

    fake_machine machine;
    fault_plan& faults = machine.faults;
    fake_file_system& files = machine.files;
    fake_processes& procs = machine.processes;
    fake_log_library log{machine.modules};
    messages_since messages{log};
    const logging::scopped_log_init logging_on;
};

class logged_machine_test : public ::testing::Test, protected logged_machine {};

}  // namespace fakes
