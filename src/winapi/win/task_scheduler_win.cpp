#include <windows.h>

#include <oleauto.h>
#include <taskschd.h>

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

template <class T>
T* as(com_ptr p) noexcept {
    return to_native<T*>(p);
}

// Stores a new interface pointer into the facility's out parameter; it serves both the typed
// out parameters and the untyped one of CoCreateInstance and QueryInterface.
template <class T>
class out {
public:
    explicit out(com_ptr& target) : target_(target) {}
    ~out() { target_ = from_native(raw_); }
    out(const out&) = delete;
    out& operator=(const out&) = delete;
    operator T**() noexcept { return &raw_; }
    operator void**() noexcept { return reinterpret_cast<void**>(&raw_); }

private:
    com_ptr& target_;
    T* raw_ = nullptr;
};

// One BSTR for the length of a call; an allocation failure is a COM error, not a failed call.
class bstr {
public:
    explicit bstr(const std::wstring& s)
        : value_(::SysAllocStringLen(s.data(), static_cast<UINT>(s.size()))) {
        if (value_ == nullptr) {
            throw com_error(E_OUTOFMEMORY);
        }
    }
    ~bstr() { ::SysFreeString(value_); }
    bstr(const bstr&) = delete;
    bstr& operator=(const bstr&) = delete;
    operator BSTR() const noexcept { return value_; }

private:
    BSTR value_;
};

// A VARIANT cleared when dropped: empty, or holding a text.
class variant {
public:
    variant() { ::VariantInit(&value_); }
    explicit variant(const std::wstring& s) : variant() {
        V_BSTR(&value_) = ::SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
        if (V_BSTR(&value_) == nullptr) {
            throw com_error(E_OUTOFMEMORY);
        }
        V_VT(&value_) = VT_BSTR;
    }
    ~variant() { ::VariantClear(&value_); }
    variant(const variant&) = delete;
    variant& operator=(const variant&) = delete;
    const VARIANT& get() const noexcept { return value_; }

private:
    VARIANT value_;
};

VARIANT_BOOL variant_bool(bool value) {
    return value ? VARIANT_TRUE : VARIANT_FALSE;
}

class windows_task_scheduler final : public task_scheduler {
public:
    hresult co_initialize() override { return ::CoInitialize(nullptr); }
    void co_uninitialize() override { ::CoUninitialize(); }

    hresult create_service(com_ptr& service) override {
        return ::CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_ITaskService, out<ITaskService>(service));
    }
    hresult connect(com_ptr service) override {
        variant server, user, domain, password;
        return as<ITaskService>(service)->Connect(server.get(), user.get(), domain.get(),
                                                  password.get());
    }
    hresult get_folder(com_ptr service, const std::wstring& path, com_ptr& folder) override {
        return as<ITaskService>(service)->GetFolder(bstr(path), out<ITaskFolder>(folder));
    }
    hresult new_task(com_ptr service, std::uint32_t flags, com_ptr& definition) override {
        return as<ITaskService>(service)->NewTask(flags, out<ITaskDefinition>(definition));
    }

    hresult get_task(com_ptr folder, const std::wstring& name, com_ptr& task) override {
        return as<ITaskFolder>(folder)->GetTask(bstr(name), out<IRegisteredTask>(task));
    }
    hresult register_task_definition(com_ptr folder, const std::wstring& name, com_ptr definition,
                                     std::int32_t flags, const std::wstring& user,
                                     std::int32_t logon_type, const std::wstring& sddl,
                                     com_ptr& registered) override {
        variant user_value(user), password, sddl_value(sddl);
        return as<ITaskFolder>(folder)->RegisterTaskDefinition(
            bstr(name), as<ITaskDefinition>(definition), flags, user_value.get(), password.get(),
            static_cast<TASK_LOGON_TYPE>(logon_type), sddl_value.get(),
            out<IRegisteredTask>(registered));
    }
    hresult delete_task(com_ptr folder, const std::wstring& name, std::int32_t flags) override {
        return as<ITaskFolder>(folder)->DeleteTask(bstr(name), flags);
    }

    hresult get_definition(com_ptr task, com_ptr& definition) override {
        return as<IRegisteredTask>(task)->get_Definition(out<ITaskDefinition>(definition));
    }
    hresult get_name(com_ptr task, std::wstring& name) override {
        BSTR value = nullptr;
        const HRESULT hr = as<IRegisteredTask>(task)->get_Name(&value);
        if (SUCCEEDED(hr) && value != nullptr) {
            name.assign(value, ::SysStringLen(value));
        } else {
            name.clear();
        }
        ::SysFreeString(value);
        return hr;
    }

    hresult get_registration_info(com_ptr definition, com_ptr& info) override {
        return as<ITaskDefinition>(definition)->get_RegistrationInfo(out<IRegistrationInfo>(info));
    }
    hresult get_principal(com_ptr definition, com_ptr& principal) override {
        return as<ITaskDefinition>(definition)->get_Principal(out<IPrincipal>(principal));
    }
    hresult get_triggers(com_ptr definition, com_ptr& triggers) override {
        return as<ITaskDefinition>(definition)->get_Triggers(out<ITriggerCollection>(triggers));
    }
    hresult get_actions(com_ptr definition, com_ptr& actions) override {
        return as<ITaskDefinition>(definition)->get_Actions(out<IActionCollection>(actions));
    }
    hresult get_settings(com_ptr definition, com_ptr& settings) override {
        return as<ITaskDefinition>(definition)->get_Settings(out<ITaskSettings>(settings));
    }

    hresult put_author(com_ptr info, const std::wstring& author) override {
        return as<IRegistrationInfo>(info)->put_Author(bstr(author));
    }
    hresult put_run_level(com_ptr principal, std::int32_t level) override {
        return as<IPrincipal>(principal)->put_RunLevel(static_cast<TASK_RUNLEVEL_TYPE>(level));
    }

    hresult clear_triggers(com_ptr triggers) override {
        return as<ITriggerCollection>(triggers)->Clear();
    }
    hresult create_trigger(com_ptr triggers, std::int32_t type, com_ptr& trigger) override {
        return as<ITriggerCollection>(triggers)->Create(static_cast<TASK_TRIGGER_TYPE2>(type),
                                                        out<ITrigger>(trigger));
    }
    hresult query_logon_trigger(com_ptr trigger, com_ptr& logon) override {
        return as<ITrigger>(trigger)->QueryInterface(iid_logon_trigger, out<logon_trigger>(logon));
    }
    hresult put_trigger_id(com_ptr logon, const std::wstring& id) override {
        return as<logon_trigger>(logon)->put_Id(bstr(id));
    }
    hresult put_delay(com_ptr logon, const std::wstring& delay) override {
        return as<logon_trigger>(logon)->put_Delay(bstr(delay));
    }
    hresult get_repetition(com_ptr logon, com_ptr& pattern) override {
        return as<logon_trigger>(logon)->get_Repetition(out<IRepetitionPattern>(pattern));
    }
    hresult put_interval(com_ptr pattern, const std::wstring& interval) override {
        return as<IRepetitionPattern>(pattern)->put_Interval(bstr(interval));
    }

    hresult clear_actions(com_ptr actions) override {
        return as<IActionCollection>(actions)->Clear();
    }
    hresult create_action(com_ptr actions, std::int32_t type, com_ptr& action) override {
        return as<IActionCollection>(actions)->Create(static_cast<TASK_ACTION_TYPE>(type),
                                                      out<IAction>(action));
    }
    hresult query_exec_action(com_ptr action, com_ptr& exec) override {
        return as<IAction>(action)->QueryInterface(IID_IExecAction, out<IExecAction>(exec));
    }
    hresult put_path(com_ptr exec, const std::wstring& path) override {
        return as<IExecAction>(exec)->put_Path(bstr(path));
    }
    hresult put_arguments(com_ptr exec, const std::wstring& arguments) override {
        return as<IExecAction>(exec)->put_Arguments(bstr(arguments));
    }
    hresult put_working_directory(com_ptr exec, const std::wstring& folder) override {
        return as<IExecAction>(exec)->put_WorkingDirectory(bstr(folder));
    }

    hresult put_stop_if_going_on_batteries(com_ptr settings, bool value) override {
        return as<ITaskSettings>(settings)->put_StopIfGoingOnBatteries(variant_bool(value));
    }
    hresult put_disallow_start_if_on_batteries(com_ptr settings, bool value) override {
        return as<ITaskSettings>(settings)->put_DisallowStartIfOnBatteries(variant_bool(value));
    }

    void release(com_ptr object) override { as<IUnknown>(object)->Release(); }
};

}  // namespace

task_scheduler& windows_task_scheduler_instance() {
    static windows_task_scheduler instance;
    return instance;
}

}  // namespace winapi
