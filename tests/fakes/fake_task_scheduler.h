// A task service with a root folder of task names. Every registration is recorded, and the
// operations, the release of the folder and the COM calls are noted in order in calls.
#pragma once

#include <algorithm>

#include "fakes/kit.h"
#include "stdext/utf.h"
#include "winapi/task_scheduler.h"

namespace fakes {

class fake_task_scheduler final : public winapi::task_scheduler, public fake_base {
public:
    std::vector<std::wstring> tasks;             // the root folder
    std::vector<winapi::logon_task> registered;  // every task registered, in order
    std::vector<stdext::error> tolerated;        // what each registration reports
    std::string calls;                           // "co_initialize connect ..."

    void note(const std::string& call) { calls += (calls.empty() ? "" : " ") + call; }

    stdext::expected<void> co_initialize() override { return run("co_initialize"); }
    void co_uninitialize() override {
        note("co_uninitialize");  // cannot fail
    }
    stdext::expected<std::unique_ptr<winapi::task_folder>> connect() override {
        return run("connect").transform(
            [&] { return std::unique_ptr<winapi::task_folder>(new folder(*this)); });
    }

private:
    // Notes the operation; its planned failure, if any.
    stdext::expected<void> run(const char* operation) {
        note(operation);
        return answer(operation, [] {});
    }

    struct folder final : winapi::task_folder {
        explicit folder(fake_task_scheduler& owner) : s(owner) {}
        ~folder() override { s.note("release"); }

        stdext::expected<std::vector<stdext::error>> register_task(
            const winapi::logon_task& task) override {
            return s.run("register_task").transform([&] {
                s.registered.push_back(task);
                std::erase(s.tasks, task.name);
                s.tasks.push_back(task.name);
                return s.tolerated;
            });
        }
        stdext::expected<std::optional<std::wstring>> registered_name(
            const std::wstring& name) override {
            // The look-up ignores letter case, as the system's does.
            return s.run("registered_name").transform([&] {
                const auto it = std::find_if(s.tasks.begin(), s.tasks.end(), [&](const auto& t) {
                    return stdext::iequals(t, name, stdext::case_rule::latin1);
                });
                return it == s.tasks.end() ? std::nullopt : std::optional(*it);
            });
        }
        stdext::expected<void> delete_task(const std::wstring& exact_name) override {
            return s.run("delete_task").transform([&] { std::erase(s.tasks, exact_name); });
        }

        fake_task_scheduler& s;
    };
};

}  // namespace fakes
