// The task scheduler facility over the Task Scheduler 2.0 COM interfaces.
#include <windows.h>

#include <oleauto.h>
#include <taskschd.h>

#include <functional>
#include <initializer_list>
#include <utility>

#include "winapi/win/handles.h"
#include "winapi/win/system_facilities.h"

namespace winapi {
namespace {

// The logon trigger interface is missing from the mingw headers: ITrigger followed by the delay
// and user id properties. COM interfaces are never deleted through a pointer, so they have no
// virtual destructor.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
struct logon_trigger : public ITrigger {
    virtual HRESULT STDMETHODCALLTYPE get_Delay(BSTR* delay) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Delay(BSTR delay) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_UserId(BSTR* user) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_UserId(BSTR user) = 0;
};
#pragma GCC diagnostic pop
const IID iid_logon_trigger = {
    0x72dade38, 0xfae4, 0x4b3e, {0xba, 0xf4, 0x5d, 0x00, 0x9a, 0xf0, 0x2b, 0x1c}};

stdext::unexpected<stdext::error> failure(HRESULT hr, const char* text) {
    return stdext::unexpected(win_failure(static_cast<std::uint32_t>(hr), text));
}

// A text for the length of a call; an allocation failure is a COM error, not a failed call.
unique_bstr bstr(const std::wstring& s) {
    unique_bstr value(::SysAllocStringLen(s.data(), static_cast<UINT>(s.size())));
    if (!value) {
        throw com_error(E_OUTOFMEMORY);
    }
    return value;
}

// A VARIANT cleared when dropped: empty, or holding a text.
class variant {
public:
    variant() { ::VariantInit(&value_); }
    explicit variant(const std::wstring& s) : variant() {
        V_BSTR(&value_) = bstr(s).release();
        V_VT(&value_) = VT_BSTR;
    }
    ~variant() { ::VariantClear(&value_); }
    variant(const variant&) = delete;
    variant& operator=(const variant&) = delete;
    const VARIANT& get() const noexcept { return value_; }

private:
    VARIANT value_;
};

// Calls made in order up to the first that fails, whose text names the error.
using step = std::pair<std::function<HRESULT()>, const char*>;
stdext::expected<void> run(std::initializer_list<step> steps) {
    for (const auto& [call, text] : steps) {
        if (const HRESULT hr = call(); FAILED(hr)) {
            return failure(hr, text);
        }
    }
    return {};
}

class root_folder final : public task_folder {
public:
    root_folder(com_ptr<ITaskService> service, com_ptr<ITaskFolder> folder)
        : service_(std::move(service)), folder_(std::move(folder)) {}

    stdext::expected<std::vector<stdext::error>> register_task(const logon_task& task) override {
        return find_task(task.name)
            .and_then([this](com_ptr<IRegisteredTask>&& existing) {
                return definition_for(std::move(existing));
            })
            .and_then([this, &task](const com_ptr<ITaskDefinition>& definition) {
                return register_definition(task, definition);
            });
    }

    stdext::expected<std::optional<std::wstring>> registered_name(
        const std::wstring& name) override {
        return find_task(name).transform([](const com_ptr<IRegisteredTask>& task) {
            unique_bstr stored;
            if (!task || FAILED(task->get_Name(stored.put())) || !stored) {
                return std::optional<std::wstring>();
            }
            return std::optional<std::wstring>(
                std::wstring(stored.get(), ::SysStringLen(stored.get())));
        });
    }

    stdext::expected<void> delete_task(const std::wstring& exact_name) override {
        if (const HRESULT hr = folder_->DeleteTask(bstr(exact_name).get(), 0); FAILED(hr)) {
            return failure(hr, "ITaskFolder::DeleteTask failed");
        }
        return {};
    }

private:
    // The definition to register: the existing task's, edited so that registering twice updates
    // the task in place, or a new one.
    stdext::expected<com_ptr<ITaskDefinition>> definition_for(com_ptr<IRegisteredTask> existing) {
        com_ptr<ITaskDefinition> definition;
        if (existing) {
            if (const HRESULT hr = existing->get_Definition(definition.put()); FAILED(hr)) {
                return failure(hr, "ITaskDefinition::get_Definition");
            }
        } else if (const HRESULT hr = service_->NewTask(0, definition.put()); FAILED(hr)) {
            return failure(hr, "ITaskService::NewTask failed");
        }
        return definition;
    }

    stdext::expected<std::vector<stdext::error>> register_definition(
        const logon_task& task, const com_ptr<ITaskDefinition>& definition) {
        com_ptr<IRegistrationInfo> info;
        com_ptr<IPrincipal> principal;
        com_ptr<ITriggerCollection> triggers;
        com_ptr<ITrigger> trigger;
        com_ptr<logon_trigger> logon;
        com_ptr<IRepetitionPattern> pattern;
        com_ptr<IActionCollection> actions;
        com_ptr<IAction> action;
        com_ptr<IExecAction> exec;
        com_ptr<ITaskSettings> settings;
        const bool repeats = !task.repetition_interval.empty();
        return run({
                       {[&] { return definition->get_RegistrationInfo(info.put()); },
                        "ITaskDefinition::get_RegistrationInfo failed"},
                       {[&] { return info->put_Author(bstr(task.author).get()); },
                        "IRegistrationInfo::put_author failed"},
                       {[&] { return definition->get_Principal(principal.put()); },
                        "ITaskDefinition::get_Principal failed"},
                       {[&] { return principal->put_RunLevel(TASK_RUNLEVEL_HIGHEST); },
                        "IPrincipal::put_RunLevel failed"},
                       {[&] { return definition->get_Triggers(triggers.put()); },
                        "ITaskDefinition::get_Triggers failed"},
                       {[&] { return triggers->Clear(); }, "ITriggerCollection::Clear"},
                       {[&] { return triggers->Create(TASK_TRIGGER_LOGON, trigger.put()); },
                        "ITriggerCollection::Create failed"},
                       {[&] {
                            return trigger->QueryInterface(iid_logon_trigger, logon.put_void());
                        },
                        "ITrigger::QueryInterface for IID_ILogonTrigger failed"},
                       {[&] { return logon->put_Id(bstr(task.trigger_id).get()); },
                        "ILogonTrigger::put_Id failed"},
                       {[&] { return logon->put_Delay(bstr(task.delay).get()); },
                        "ILogonTrigger::put_Delay failed"},
                       {[&] { return repeats ? logon->get_Repetition(pattern.put()) : S_OK; },
                        "ILogonTrigger::get_Repetition failed"},
                       {[&] {
                            return repeats
                                       ? pattern->put_Interval(bstr(task.repetition_interval).get())
                                       : S_OK;
                        },
                        "IRepetitionPattern::put_Interval failed"},
                       {[&] { return definition->get_Actions(actions.put()); },
                        "ITaskDefinition::get_Actions failed"},
                       {[&] { return actions->Clear(); }, "IActionCollection::Clear"},
                       {[&] { return actions->Create(TASK_ACTION_EXEC, action.put()); },
                        "IActionCollection::Create failed"},
                       {[&] { return action->QueryInterface(IID_IExecAction, exec.put_void()); },
                        "IAction::QueryInterface for IID_IExecAction failed"},
                       {[&] { return exec->put_Path(bstr(task.program_path).get()); },
                        "IExecAction::put_Path failed"},
                       {[&] {
                            return task.arguments.empty()
                                       ? S_OK
                                       : exec->put_Arguments(bstr(task.arguments).get());
                        },
                        "IExecAction::put_Arguments failed"},
                       {[&] {
                            return task.working_folder.empty()
                                       ? S_OK
                                       : exec->put_WorkingDirectory(
                                             bstr(task.working_folder).get());
                        },
                        "IExecAction::put_WorkingDirectory failed"},
                       {[&] { return definition->get_Settings(settings.put()); },
                        "ITaskDefinition::get_Settings failed"},
                   })
            .and_then([&] { return finish_registration(task, definition, settings); });
    }

    stdext::expected<std::vector<stdext::error>> finish_registration(
        const logon_task& task, const com_ptr<ITaskDefinition>& definition,
        const com_ptr<ITaskSettings>& settings) {
        // The task must also run on battery power; a system that refuses these two settings
        // still gets its task.
        std::vector<stdext::error> tolerated;
        if (const HRESULT hr = settings->put_StopIfGoingOnBatteries(VARIANT_FALSE); FAILED(hr)) {
            tolerated.push_back(win_failure(static_cast<std::uint32_t>(hr),
                                            "disable stop_if_going_on_batteries failed"));
        }
        if (const HRESULT hr = settings->put_DisallowStartIfOnBatteries(VARIANT_FALSE);
            FAILED(hr)) {
            tolerated.push_back(win_failure(static_cast<std::uint32_t>(hr),
                                            "disable put_disallow_start_if_on_batteries failed"));
        }

        const variant user(task.user), password, sddl(std::wstring{});
        com_ptr<IRegisteredTask> registered;
        if (const HRESULT hr = folder_->RegisterTaskDefinition(
                bstr(task.name).get(), definition.get(), TASK_CREATE_OR_UPDATE, user.get(),
                password.get(), TASK_LOGON_INTERACTIVE_TOKEN, sddl.get(), registered.put());
            FAILED(hr)) {
            return failure(hr, "ITaskFolder::RegisterTaskDefinition failed");
        }
        return tolerated;
    }

    // The registered task of that name, or an empty holder when the folder has none.
    stdext::expected<com_ptr<IRegisteredTask>> find_task(const std::wstring& name) {
        com_ptr<IRegisteredTask> task;
        const HRESULT hr = folder_->GetTask(bstr(name).get(), task.put());
        if ((static_cast<std::uint32_t>(hr) & 0xFFFFu) == ERROR_FILE_NOT_FOUND) {
            return com_ptr<IRegisteredTask>();
        }
        if (FAILED(hr)) {
            return failure(hr, "ITaskFolder::GetTask failed");
        }
        return task;
    }

    com_ptr<ITaskService> service_;
    com_ptr<ITaskFolder> folder_;
};

class windows_task_scheduler final : public task_scheduler {
public:
    stdext::expected<void> co_initialize() override {
        if (const HRESULT hr = ::CoInitialize(nullptr); FAILED(hr)) {
            return failure(hr, "CoInitialize failed");
        }
        return {};
    }
    void co_uninitialize() override { ::CoUninitialize(); }

    stdext::expected<std::unique_ptr<task_folder>> connect() override {
        com_ptr<ITaskService> service;
        com_ptr<ITaskFolder> folder;
        const variant server, user, domain, password;
        const auto connected = run({
            {[&] {
                 return ::CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                                           IID_ITaskService, service.put_void());
             },
             "CoCreateInstance failed"},
            {[&] {
                 return service->Connect(server.get(), user.get(), domain.get(), password.get());
             },
             "ITaskService::Connect failed"},
            {[&] { return service->GetFolder(bstr(L"\\").get(), folder.put()); },
             "ITaskService::GetFolder failed"},
        });
        return connected.transform([&] {
            return std::unique_ptr<task_folder>(
                std::make_unique<root_folder>(std::move(service), std::move(folder)));
        });
    }
};

}  // namespace

task_scheduler& windows_task_scheduler_instance() {
    static windows_task_scheduler instance;
    return instance;
}

}  // namespace winapi
