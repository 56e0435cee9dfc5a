#include "fakes/fake_task_scheduler.h"

#include <algorithm>

#include "base/utf.h"

namespace fakes {

using winapi::com_ptr;
using winapi::hresult;

fake_task_scheduler::registered_task* fake_task_scheduler::find(const std::wstring& name) {
    auto it = std::find_if(tasks.begin(), tasks.end(),
                           [&](const registered_task& t) { return text::iequals(t.name, name); });
    return it == tasks.end() ? nullptr : &*it;
}

bool fake_task_scheduler::called(const std::string& name) const {
    return std::find(calls.begin(), calls.end(), name) != calls.end();
}

std::optional<hresult> fake_task_scheduler::enter(const char* name) {
    calls.emplace_back(name);
    auto it = fail.find(name);
    if (it == fail.end()) {
        return std::nullopt;
    }
    return it->second;
}

com_ptr fake_task_scheduler::make(com_object o) {
    const com_ptr p = next_;
    next_ += 8;
    objects_.emplace(p, std::move(o));
    return p;
}

fake_task_scheduler::com_object* fake_task_scheduler::get(com_ptr p, kind k) {
    auto it = objects_.find(p);
    if (it == objects_.end() || it->second.k != k) {
        return nullptr;
    }
    return &it->second;
}

hresult fake_task_scheduler::co_initialize() {
    if (auto hr = enter("co_initialize")) {
        return *hr;
    }
    ++com_initialized;
    return winapi::s_ok;
}

void fake_task_scheduler::co_uninitialize() {
    calls.emplace_back("co_uninitialize");
    --com_initialized;
}

hresult fake_task_scheduler::create_service(com_ptr& service) {
    if (auto hr = enter("create_service")) {
        return *hr;
    }
    service = make({kind::service, nullptr});
    return winapi::s_ok;
}

hresult fake_task_scheduler::connect(com_ptr service) {
    if (auto hr = enter("connect")) {
        return *hr;
    }
    if (get(service, kind::service) == nullptr) {
        return winapi::e_invalidarg;
    }
    connected_ = true;
    return winapi::s_ok;
}

hresult fake_task_scheduler::get_folder(com_ptr service, const std::wstring& path,
                                        com_ptr& folder) {
    if (auto hr = enter("get_folder")) {
        return *hr;
    }
    if (get(service, kind::service) == nullptr || !connected_) {
        return winapi::sched_e_service_not_running;
    }
    if (path != L"\\") {
        return winapi::hresult_file_not_found;
    }
    folder = make({kind::folder, nullptr});
    return winapi::s_ok;
}

hresult fake_task_scheduler::new_task(com_ptr service, std::uint32_t flags, com_ptr& definition) {
    if (auto hr = enter("new_task")) {
        return *hr;
    }
    if (get(service, kind::service) == nullptr || flags != 0) {
        return winapi::e_invalidarg;
    }
    definition = make({kind::definition, std::make_shared<fake_task_scheduler::task_definition>()});
    return winapi::s_ok;
}

hresult fake_task_scheduler::get_task(com_ptr folder, const std::wstring& name, com_ptr& task) {
    if (auto hr = enter("get_task")) {
        return *hr;
    }
    if (get(folder, kind::folder) == nullptr) {
        return winapi::e_invalidarg;
    }
    auto* t = find(name);
    if (t == nullptr) {
        return winapi::hresult_file_not_found;
    }
    task = make({kind::task, nullptr, 0, t->name});
    return winapi::s_ok;
}

hresult fake_task_scheduler::register_task_definition(com_ptr folder, const std::wstring& name,
                                                      com_ptr definition, std::int32_t flags,
                                                      const std::wstring& user,
                                                      std::int32_t logon_type,
                                                      const std::wstring& sddl,
                                                      com_ptr& registered) {
    if (auto hr = enter("register_task_definition")) {
        return *hr;
    }
    auto* d = get(definition, kind::definition);
    if (get(folder, kind::folder) == nullptr || d == nullptr) {
        return winapi::e_invalidarg;
    }
    registered_task entry{name, *d->def, flags, user, logon_type, sddl};
    if (auto* existing = find(name)) {
        *existing = std::move(entry);
    } else {
        tasks.push_back(std::move(entry));
    }
    registered = make({kind::task, nullptr, 0, name});
    return winapi::s_ok;
}

hresult fake_task_scheduler::delete_task(com_ptr folder, const std::wstring& name,
                                         std::int32_t flags) {
    if (auto hr = enter("delete_task")) {
        return *hr;
    }
    if (get(folder, kind::folder) == nullptr || flags != 0) {
        return winapi::e_invalidarg;
    }
    auto it = std::find_if(tasks.begin(), tasks.end(),
                           [&](const registered_task& t) { return text::iequals(t.name, name); });
    if (it == tasks.end()) {
        return winapi::hresult_file_not_found;
    }
    tasks.erase(it);
    return winapi::s_ok;
}

hresult fake_task_scheduler::get_definition(com_ptr task, com_ptr& definition) {
    if (auto hr = enter("get_definition")) {
        return *hr;
    }
    auto* o = get(task, kind::task);
    auto* t = o ? find(o->task_name) : nullptr;
    if (t == nullptr) {
        return winapi::e_invalidarg;
    }
    // A copy: edits reach the folder only when the definition is registered again.
    definition =
        make({kind::definition, std::make_shared<fake_task_scheduler::task_definition>(t->def)});
    return winapi::s_ok;
}

hresult fake_task_scheduler::get_name(com_ptr task, std::wstring& name) {
    if (auto hr = enter("get_name")) {
        return *hr;
    }
    auto* o = get(task, kind::task);
    if (o == nullptr) {
        return winapi::e_invalidarg;
    }
    name = o->task_name;
    return winapi::s_ok;
}

#define FAKE_DEFINITION_PART(fn, part)                                  \
    hresult fake_task_scheduler::fn(com_ptr definition, com_ptr& out) { \
        if (auto hr = enter(#fn)) {                                     \
            return *hr;                                                 \
        }                                                               \
        auto* d = get(definition, kind::definition);                    \
        if (d == nullptr) {                                             \
            return winapi::e_invalidarg;                                \
        }                                                               \
        out = make({kind::part, d->def});                               \
        return winapi::s_ok;                                            \
    }

FAKE_DEFINITION_PART(get_registration_info, info)
FAKE_DEFINITION_PART(get_principal, principal)
FAKE_DEFINITION_PART(get_triggers, triggers)
FAKE_DEFINITION_PART(get_actions, actions)
FAKE_DEFINITION_PART(get_settings, settings)

#undef FAKE_DEFINITION_PART

hresult fake_task_scheduler::put_author(com_ptr info, const std::wstring& author) {
    if (auto hr = enter("put_author")) {
        return *hr;
    }
    auto* o = get(info, kind::info);
    if (o == nullptr) {
        return winapi::e_invalidarg;
    }
    o->def->author = author;
    return winapi::s_ok;
}

hresult fake_task_scheduler::put_run_level(com_ptr principal, std::int32_t level) {
    if (auto hr = enter("put_run_level")) {
        return *hr;
    }
    auto* o = get(principal, kind::principal);
    if (o == nullptr) {
        return winapi::e_invalidarg;
    }
    o->def->run_level = level;
    return winapi::s_ok;
}

hresult fake_task_scheduler::clear_triggers(com_ptr triggers) {
    if (auto hr = enter("clear_triggers")) {
        return *hr;
    }
    auto* o = get(triggers, kind::triggers);
    if (o == nullptr) {
        return winapi::e_invalidarg;
    }
    o->def->triggers.clear();
    return winapi::s_ok;
}

hresult fake_task_scheduler::create_trigger(com_ptr triggers, std::int32_t type, com_ptr& trigger) {
    if (auto hr = enter("create_trigger")) {
        return *hr;
    }
    auto* o = get(triggers, kind::triggers);
    if (o == nullptr) {
        return winapi::e_invalidarg;
    }
    o->def->triggers.push_back({type, {}, {}, std::nullopt});
    trigger = make({kind::trigger, o->def, o->def->triggers.size() - 1});
    return winapi::s_ok;
}

hresult fake_task_scheduler::query_logon_trigger(com_ptr trigger, com_ptr& logon) {
    if (auto hr = enter("query_logon_trigger")) {
        return *hr;
    }
    auto* o = get(trigger, kind::trigger);
    if (o == nullptr || o->index >= o->def->triggers.size()) {
        return winapi::e_invalidarg;
    }
    if (o->def->triggers[o->index].type != winapi::task_trigger_logon) {
        return static_cast<hresult>(0x80004002u);  // E_NOINTERFACE
    }
    logon = make({kind::logon, o->def, o->index});
    return winapi::s_ok;
}

hresult fake_task_scheduler::put_trigger_id(com_ptr logon, const std::wstring& id) {
    if (auto hr = enter("put_trigger_id")) {
        return *hr;
    }
    auto* o = get(logon, kind::logon);
    if (o == nullptr || o->index >= o->def->triggers.size()) {
        return winapi::e_invalidarg;
    }
    o->def->triggers[o->index].id = id;
    return winapi::s_ok;
}

hresult fake_task_scheduler::put_delay(com_ptr logon, const std::wstring& delay) {
    if (auto hr = enter("put_delay")) {
        return *hr;
    }
    auto* o = get(logon, kind::logon);
    if (o == nullptr || o->index >= o->def->triggers.size()) {
        return winapi::e_invalidarg;
    }
    o->def->triggers[o->index].delay = delay;
    return winapi::s_ok;
}

hresult fake_task_scheduler::get_repetition(com_ptr logon, com_ptr& pattern) {
    if (auto hr = enter("get_repetition")) {
        return *hr;
    }
    auto* o = get(logon, kind::logon);
    if (o == nullptr || o->index >= o->def->triggers.size()) {
        return winapi::e_invalidarg;
    }
    pattern = make({kind::pattern, o->def, o->index});
    return winapi::s_ok;
}

hresult fake_task_scheduler::put_interval(com_ptr pattern, const std::wstring& interval) {
    if (auto hr = enter("put_interval")) {
        return *hr;
    }
    auto* o = get(pattern, kind::pattern);
    if (o == nullptr || o->index >= o->def->triggers.size()) {
        return winapi::e_invalidarg;
    }
    o->def->triggers[o->index].interval = interval;
    return winapi::s_ok;
}

hresult fake_task_scheduler::clear_actions(com_ptr actions) {
    if (auto hr = enter("clear_actions")) {
        return *hr;
    }
    auto* o = get(actions, kind::actions);
    if (o == nullptr) {
        return winapi::e_invalidarg;
    }
    o->def->actions.clear();
    return winapi::s_ok;
}

hresult fake_task_scheduler::create_action(com_ptr actions, std::int32_t type, com_ptr& action) {
    if (auto hr = enter("create_action")) {
        return *hr;
    }
    auto* o = get(actions, kind::actions);
    if (o == nullptr) {
        return winapi::e_invalidarg;
    }
    o->def->actions.push_back({type, {}, {}, {}});
    action = make({kind::action, o->def, o->def->actions.size() - 1});
    return winapi::s_ok;
}

hresult fake_task_scheduler::query_exec_action(com_ptr action, com_ptr& exec) {
    if (auto hr = enter("query_exec_action")) {
        return *hr;
    }
    auto* o = get(action, kind::action);
    if (o == nullptr || o->index >= o->def->actions.size()) {
        return winapi::e_invalidarg;
    }
    if (o->def->actions[o->index].type != winapi::task_action_exec) {
        return static_cast<hresult>(0x80004002u);  // E_NOINTERFACE
    }
    exec = make({kind::exec, o->def, o->index});
    return winapi::s_ok;
}

#define FAKE_EXEC_TEXT(fn, field)                                              \
    hresult fake_task_scheduler::fn(com_ptr exec, const std::wstring& value) { \
        if (auto hr = enter(#fn)) {                                            \
            return *hr;                                                        \
        }                                                                      \
        auto* o = get(exec, kind::exec);                                       \
        if (o == nullptr || o->index >= o->def->actions.size()) {              \
            return winapi::e_invalidarg;                                       \
        }                                                                      \
        o->def->actions[o->index].field = value;                               \
        return winapi::s_ok;                                                   \
    }

FAKE_EXEC_TEXT(put_path, path)
FAKE_EXEC_TEXT(put_arguments, arguments)
FAKE_EXEC_TEXT(put_working_directory, working_directory)

#undef FAKE_EXEC_TEXT

hresult fake_task_scheduler::put_stop_if_going_on_batteries(com_ptr settings, bool value) {
    if (auto hr = enter("put_stop_if_going_on_batteries")) {
        return *hr;
    }
    auto* o = get(settings, kind::settings);
    if (o == nullptr) {
        return winapi::e_invalidarg;
    }
    o->def->stop_if_going_on_batteries = value;
    return winapi::s_ok;
}

hresult fake_task_scheduler::put_disallow_start_if_on_batteries(com_ptr settings, bool value) {
    if (auto hr = enter("put_disallow_start_if_on_batteries")) {
        return *hr;
    }
    auto* o = get(settings, kind::settings);
    if (o == nullptr) {
        return winapi::e_invalidarg;
    }
    o->def->disallow_start_if_on_batteries = value;
    return winapi::s_ok;
}

void fake_task_scheduler::release(com_ptr object) {
    if (objects_.erase(object) == 0) {
        ++bad_releases;
    }
}

}  // namespace fakes
