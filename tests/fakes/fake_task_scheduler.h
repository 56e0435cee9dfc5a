// An in-memory task service: the root folder with its registered tasks, interface pointers as
// numbered objects that must each be released once while COM is initialised, a log of the calls
// and a failure switch for every call.
#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "stdext/utf.h"
#include "winapi/task_scheduler.h"

namespace fakes {

// A call on an object that hands out a new object editing the same part of the definition.
#define FAKE_CHILD(fn, from, to)                                                           \
    hresult fn(com_ptr p, com_ptr& out) override {                                         \
        return call(#fn, p, #from, [&](object& o) { out = make({#to, o.def, o.index}); }); \
    }
// A call on an object that stores its argument in the definition.
#define FAKE_SET(fn, from, type, field)                                \
    hresult fn(com_ptr p, type value) override {                       \
        return call(#fn, p, #from, [&](object& o) { field = value; }); \
    }

class fake_task_scheduler final : public winapi::task_scheduler {
public:
    using com_ptr = winapi::com_ptr;
    using hresult = winapi::hresult;

    struct task_trigger {
        std::int32_t type = 0;
        std::wstring id{};
        std::wstring delay{};
        std::optional<std::wstring> interval{};  // set through the repetition pattern
    };
    struct task_action {
        std::int32_t type = 0;
        std::wstring path{};
        std::wstring arguments{};
        std::wstring working_directory{};
    };
    struct task_definition {
        std::wstring author{};
        std::int32_t run_level = winapi::task_runlevel_lua;
        std::vector<task_trigger> triggers{};
        std::vector<task_action> actions{};
        bool stop_if_going_on_batteries = true;  // the system's defaults for a new task
        bool disallow_start_if_on_batteries = true;
    };
    struct registered_task {
        std::wstring name{};
        task_definition def{};
        std::int32_t flags = 0;
        std::wstring user{};
        std::int32_t logon_type = 0;
        std::wstring sddl{};
    };

    // The root folder; names are matched ignoring letter case, as the system does.
    std::vector<registered_task> tasks;
    // The call of that name answers this result.
    std::map<std::string, hresult> fail;
    // Every call made, by its facility name, in order.
    std::vector<std::string> calls;
    bool called(const std::string& name) const {
        return std::find(calls.begin(), calls.end(), name) != calls.end();
    }
    // Every pointer was released once, while COM was initialised, and COM was left as found.
    bool clean() const { return objects_.empty() && bad_releases_ == 0 && com_initialized_ == 0; }

    hresult co_initialize() override {
        return call("co_initialize", [&] { ++com_initialized_; });
    }
    void co_uninitialize() override {
        calls.emplace_back("co_uninitialize");
        --com_initialized_;
    }
    hresult create_service(com_ptr& service) override {
        return call("create_service", [&] { service = make({"service"}); });
    }
    hresult connect(com_ptr service) override {
        return call("connect", service, "service", [&](object&) { connected_ = true; });
    }
    hresult get_folder(com_ptr service, const std::wstring& path, com_ptr& folder) override {
        return call("get_folder", service, "service", [&](object&) {
            if (!connected_) {
                return winapi::sched_e_service_not_running;
            }
            if (path != L"\\") {
                return winapi::hresult_file_not_found;
            }
            folder = make({"folder"});
            return winapi::s_ok;
        });
    }
    hresult new_task(com_ptr service, std::uint32_t, com_ptr& def) override {
        return call("new_task", service, "service", [&](object&) {
            def = make({"definition", std::make_shared<task_definition>()});
        });
    }

    hresult get_task(com_ptr folder, const std::wstring& name, com_ptr& task) override {
        return call("get_task", folder, "folder", [&](object&) {
            auto it = find(name);
            if (it == tasks.end()) {
                return winapi::hresult_file_not_found;
            }
            task = make({"task", nullptr, 0, it->name});
            return winapi::s_ok;
        });
    }
    hresult register_task_definition(com_ptr folder, const std::wstring& name, com_ptr def,
                                     std::int32_t flags, const std::wstring& user,
                                     std::int32_t logon_type, const std::wstring& sddl,
                                     com_ptr& registered) override {
        return call("register_task_definition", folder, "folder", [&](object&) {
            object* d = get(def, "definition");
            if (d == nullptr) {
                return winapi::e_invalidarg;
            }
            registered_task entry{name, *d->def, flags, user, logon_type, sddl};
            if (auto it = find(name); it != tasks.end()) {
                *it = std::move(entry);
            } else {
                tasks.push_back(std::move(entry));
            }
            registered = make({"task", nullptr, 0, name});
            return winapi::s_ok;
        });
    }
    hresult delete_task(com_ptr folder, const std::wstring& name, std::int32_t) override {
        return call("delete_task", folder, "folder", [&](object&) {
            auto it = find(name);
            if (it == tasks.end()) {
                return winapi::hresult_file_not_found;
            }
            tasks.erase(it);
            return winapi::s_ok;
        });
    }

    hresult get_definition(com_ptr task, com_ptr& def) override {
        return call("get_definition", task, "task", [&](object& o) {
            auto it = find(o.task_name);
            if (it == tasks.end()) {
                return winapi::e_invalidarg;
            }
            // A copy: edits reach the folder only when the definition is registered again.
            def = make({"definition", std::make_shared<task_definition>(it->def)});
            return winapi::s_ok;
        });
    }
    hresult get_name(com_ptr task, std::wstring& name) override {
        return call("get_name", task, "task", [&](object& o) { name = o.task_name; });
    }

    FAKE_CHILD(get_registration_info, definition, info)
    FAKE_CHILD(get_principal, definition, principal)
    FAKE_CHILD(get_triggers, definition, triggers)
    FAKE_CHILD(get_actions, definition, actions)
    FAKE_CHILD(get_settings, definition, settings)
    FAKE_SET(put_author, info, const std::wstring&, o.def->author)
    FAKE_SET(put_run_level, principal, std::int32_t, o.def->run_level)

    hresult clear_triggers(com_ptr triggers) override {
        return call("clear_triggers", triggers, "triggers",
                    [](object& o) { o.def->triggers.clear(); });
    }
    hresult create_trigger(com_ptr triggers, std::int32_t type, com_ptr& out) override {
        return call("create_trigger", triggers, "triggers", [&](object& o) {
            o.def->triggers.push_back({type});
            out = make({"trigger", o.def, o.def->triggers.size() - 1});
        });
    }
    FAKE_CHILD(query_logon_trigger, trigger, logon)
    FAKE_SET(put_trigger_id, logon, const std::wstring&, o.def->triggers.at(o.index).id)
    FAKE_SET(put_delay, logon, const std::wstring&, o.def->triggers.at(o.index).delay)
    FAKE_CHILD(get_repetition, logon, pattern)
    FAKE_SET(put_interval, pattern, const std::wstring&, o.def->triggers.at(o.index).interval)

    hresult clear_actions(com_ptr actions) override {
        return call("clear_actions", actions, "actions", [](object& o) { o.def->actions.clear(); });
    }
    hresult create_action(com_ptr actions, std::int32_t type, com_ptr& out) override {
        return call("create_action", actions, "actions", [&](object& o) {
            o.def->actions.push_back({type});
            out = make({"action", o.def, o.def->actions.size() - 1});
        });
    }
    FAKE_CHILD(query_exec_action, action, exec)
    FAKE_SET(put_path, exec, const std::wstring&, o.def->actions.at(o.index).path)
    FAKE_SET(put_arguments, exec, const std::wstring&, o.def->actions.at(o.index).arguments)
    FAKE_SET(put_working_directory, exec, const std::wstring&,
             o.def->actions.at(o.index).working_directory)
    FAKE_SET(put_stop_if_going_on_batteries, settings, bool, o.def->stop_if_going_on_batteries)
    FAKE_SET(put_disallow_start_if_on_batteries, settings, bool,
             o.def->disallow_start_if_on_batteries)

    void release(com_ptr p) override {
        if (objects_.erase(p) == 0 || com_initialized_ <= 0) {
            ++bad_releases_;
        }
    }

private:
    // Objects are of one kind, named after what they are: "service", "folder", "task",
    // "definition", one of its parts, or a trigger or action and what is queried from them.
    using kind = std::string_view;
    struct object {
        kind k;
        std::shared_ptr<task_definition> def{};  // the definition the object edits
        std::size_t index = 0;                   // trigger or action position
        std::wstring task_name{};                // for registered tasks
    };

    std::vector<registered_task>::iterator find(const std::wstring& name) {
        return std::find_if(tasks.begin(), tasks.end(), [&](const registered_task& t) {
            return stdext::iequals(t.name, name);
        });
    }
    com_ptr make(object o) {
        next_ += 8;
        objects_.emplace(next_, std::move(o));
        return next_;
    }
    object* get(com_ptr p, kind k) {
        auto it = objects_.find(p);
        return it == objects_.end() || it->second.k != k ? nullptr : &it->second;
    }

    // Records the call and answers its injected failure, if any; otherwise runs it. A body
    // without a result succeeds.
    template <class F, class... Args>
    static hresult run(F& body, Args&... args) {
        if constexpr (std::is_void_v<std::invoke_result_t<F&, Args&...>>) {
            body(args...);
            return winapi::s_ok;
        } else {
            return body(args...);
        }
    }
    template <class F>
    hresult call(const char* name, F&& body) {
        calls.emplace_back(name);
        auto it = fail.find(name);
        return it != fail.end() ? it->second : run(body);
    }
    // The same for a call on an object, which must be a live one of the expected kind.
    template <class F>
    hresult call(const char* name, com_ptr p, kind k, F&& body) {
        return call(name, [&] {
            object* o = get(p, k);
            return o == nullptr ? winapi::e_invalidarg : run(body, *o);
        });
    }

    std::map<com_ptr, object> objects_;
    com_ptr next_ = 0x5000;
    bool connected_ = false;
    int com_initialized_ = 0;  // CoInitialize minus CoUninitialize
    int bad_releases_ = 0;     // releases of unknown or released pointers, or after CoUninitialize
};

#undef FAKE_CHILD
#undef FAKE_SET

}  // namespace fakes
