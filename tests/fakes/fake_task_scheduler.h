// An in-memory task service: the root folder with its registered tasks and their definitions,
// interface pointers as numbered objects with reference tracking, a log of the calls made, and
// a failure switch for every call.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/sys/task_scheduler.h"

namespace fakes {

class fake_task_scheduler final : public winapi::task_scheduler {
public:
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
        // The system's defaults for a new task.
        bool stop_if_going_on_batteries = true;
        bool disallow_start_if_on_batteries = true;
    };
    struct registered_task {
        std::wstring name{};
        task_definition def;
        std::int32_t flags = 0;
        std::wstring user{};
        std::int32_t logon_type = 0;
        std::wstring sddl{};
    };

    // The root folder; names are matched ignoring letter case, as the system does.
    std::vector<registered_task> tasks;
    registered_task* find(const std::wstring& name);

    // Failure injection: the call of that name (as in `calls`) answers this result.
    std::map<std::string, winapi::hresult> fail;
    // Every call made, by its facility name, in order.
    std::vector<std::string> calls;
    bool called(const std::string& name) const;

    int com_initialized = 0;  // CoInitialize minus CoUninitialize
    int live_objects() const { return static_cast<int>(objects_.size()); }
    int bad_releases = 0;  // releases of unknown or already released pointers

    // winapi::task_scheduler
    winapi::hresult co_initialize() override;
    void co_uninitialize() override;
    winapi::hresult create_service(winapi::com_ptr& service) override;
    winapi::hresult connect(winapi::com_ptr service) override;
    winapi::hresult get_folder(winapi::com_ptr service, const std::wstring& path,
                               winapi::com_ptr& folder) override;
    winapi::hresult new_task(winapi::com_ptr service, std::uint32_t flags,
                             winapi::com_ptr& definition) override;
    winapi::hresult get_task(winapi::com_ptr folder, const std::wstring& name,
                             winapi::com_ptr& task) override;
    winapi::hresult register_task_definition(winapi::com_ptr folder, const std::wstring& name,
                                             winapi::com_ptr definition, std::int32_t flags,
                                             const std::wstring& user, std::int32_t logon_type,
                                             const std::wstring& sddl,
                                             winapi::com_ptr& registered) override;
    winapi::hresult delete_task(winapi::com_ptr folder, const std::wstring& name,
                                std::int32_t flags) override;
    winapi::hresult get_definition(winapi::com_ptr task, winapi::com_ptr& definition) override;
    winapi::hresult get_name(winapi::com_ptr task, std::wstring& name) override;
    winapi::hresult get_registration_info(winapi::com_ptr definition,
                                          winapi::com_ptr& info) override;
    winapi::hresult get_principal(winapi::com_ptr definition, winapi::com_ptr& principal) override;
    winapi::hresult get_triggers(winapi::com_ptr definition, winapi::com_ptr& triggers) override;
    winapi::hresult get_actions(winapi::com_ptr definition, winapi::com_ptr& actions) override;
    winapi::hresult get_settings(winapi::com_ptr definition, winapi::com_ptr& settings) override;
    winapi::hresult put_author(winapi::com_ptr info, const std::wstring& author) override;
    winapi::hresult put_run_level(winapi::com_ptr principal, std::int32_t level) override;
    winapi::hresult clear_triggers(winapi::com_ptr triggers) override;
    winapi::hresult create_trigger(winapi::com_ptr triggers, std::int32_t type,
                                   winapi::com_ptr& trigger) override;
    winapi::hresult query_logon_trigger(winapi::com_ptr trigger, winapi::com_ptr& logon) override;
    winapi::hresult put_trigger_id(winapi::com_ptr logon, const std::wstring& id) override;
    winapi::hresult put_delay(winapi::com_ptr logon, const std::wstring& delay) override;
    winapi::hresult get_repetition(winapi::com_ptr logon, winapi::com_ptr& pattern) override;
    winapi::hresult put_interval(winapi::com_ptr pattern, const std::wstring& interval) override;
    winapi::hresult clear_actions(winapi::com_ptr actions) override;
    winapi::hresult create_action(winapi::com_ptr actions, std::int32_t type,
                                  winapi::com_ptr& action) override;
    winapi::hresult query_exec_action(winapi::com_ptr action, winapi::com_ptr& exec) override;
    winapi::hresult put_path(winapi::com_ptr exec, const std::wstring& path) override;
    winapi::hresult put_arguments(winapi::com_ptr exec, const std::wstring& arguments) override;
    winapi::hresult put_working_directory(winapi::com_ptr exec,
                                          const std::wstring& folder) override;
    winapi::hresult put_stop_if_going_on_batteries(winapi::com_ptr settings, bool value) override;
    winapi::hresult put_disallow_start_if_on_batteries(winapi::com_ptr settings,
                                                       bool value) override;
    void release(winapi::com_ptr object) override;

private:
    enum class kind {
        service,
        folder,
        task,
        definition,
        info,
        principal,
        triggers,
        trigger,
        logon,
        pattern,
        actions,
        action,
        exec,
        settings
    };
    struct com_object {
        kind k;
        std::shared_ptr<task_definition> def;  // the definition the object edits
        std::size_t index = 0;                 // trigger or action position
        std::wstring task_name{};              // for registered tasks
    };

    // Records the call and answers its injected failure, if any.
    std::optional<winapi::hresult> enter(const char* name);
    winapi::com_ptr make(com_object o);
    com_object* get(winapi::com_ptr p, kind k);

    std::map<winapi::com_ptr, com_object> objects_;
    winapi::com_ptr next_ = 0x5000;
    bool connected_ = false;
};

}  // namespace fakes
