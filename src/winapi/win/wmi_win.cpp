#include <windows.h>

#include <wbemidl.h>

#include "winapi/win/handles.h"
#include "winapi/win/system_facilities.h"

namespace winapi {
namespace {

stdext::unexpected<stdext::error> failed(HRESULT hr, const char* text) {
    return stdext::unexpected(win_failure(static_cast<std::uint32_t>(hr), text));
}

// A VARIANT cleared when dropped.
class variant {
public:
    variant() noexcept { ::VariantInit(&value_); }
    ~variant() { (void)::VariantClear(&value_); }  // nothing to do about a failing clear
    variant(const variant&) = delete;
    variant& operator=(const variant&) = delete;
    VARIANT* get() noexcept { return &value_; }

private:
    VARIANT value_;
};

class windows_wmi_objects final : public wmi_objects {
public:
    explicit windows_wmi_objects(com_ptr<IEnumWbemClassObject> objects)
        : objects_(std::move(objects)) {}

    wmi_step next() override {
        current_.reset();
        ULONG returned = 0;
        const HRESULT hr = objects_->Next(-1 /* WBEM_INFINITE */, 1, current_.put(), &returned);
        return {static_cast<std::int32_t>(hr), returned != 0 && current_};
    }

    stdext::expected<wmi_value> get(const std::wstring& name) override {
        if (!current_) {
            return failed(E_POINTER, "IWbemClassObject::Get");  // no current object
        }
        variant value;
        if (const HRESULT hr = current_->Get(name.c_str(), 0, value.get(), nullptr, nullptr);
            FAILED(hr)) {
            return failed(hr, "IWbemClassObject::Get");
        }
        wmi_value result{value.get()->vt, std::nullopt};
        if (result.type == VT_BSTR && value.get()->bstrVal != nullptr) {
            result.text.emplace(value.get()->bstrVal, ::SysStringLen(value.get()->bstrVal));
        }
        return result;
    }

private:
    com_ptr<IEnumWbemClassObject> objects_;
    com_ptr<IWbemClassObject> current_;
};

class windows_wmi_connection final : public wmi_connection {
public:
    windows_wmi_connection(com_ptr<IWbemLocator> locator, com_ptr<IWbemServices> services,
                           bool owns_com)
        : locator_(std::move(locator)), services_(std::move(services)), owns_com_(owns_com) {}
    ~windows_wmi_connection() override {
        services_.reset();
        locator_.reset();
        if (owns_com_) {
            ::CoUninitialize();
        }
    }
    windows_wmi_connection(const windows_wmi_connection&) = delete;
    windows_wmi_connection& operator=(const windows_wmi_connection&) = delete;

    stdext::expected<std::unique_ptr<wmi_objects>> exec_query(const std::wstring& query) override {
        static const unique_bstr language(::SysAllocString(L"WQL"));
        const unique_bstr text(::SysAllocString(query.c_str()));
        com_ptr<IEnumWbemClassObject> objects;
        if (const HRESULT hr = services_->ExecQuery(
                language.get(), text.get(), WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                nullptr, objects.put());
            FAILED(hr)) {
            return failed(hr, "IWbemServices::ExecQuery failed");
        }
        if (!objects) {
            return failed(S_OK, "IWbemLocator::ExecQuery return nullptr for IEnumWbemClassObject");
        }
        return std::unique_ptr<wmi_objects>(new windows_wmi_objects(std::move(objects)));
    }

private:
    com_ptr<IWbemLocator> locator_;
    com_ptr<IWbemServices> services_;
    bool owns_com_;
};

stdext::expected<std::unique_ptr<wmi_connection>> connect_to(const std::wstring& name_space,
                                                             bool owns_com) {
    // COM initialised here is uninitialised on every path: by the connection or right away.
    struct com_scope {
        bool owned;
        ~com_scope() {
            if (owned) {
                ::CoUninitialize();
            }
        }
    } scope{owns_com};
    com_ptr<IWbemLocator> locator;
    if (const HRESULT hr = ::CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                                              IID_IWbemLocator, locator.put_void());
        FAILED(hr)) {
        return failed(hr, "CoCreateInstance failed");
    }
    const unique_bstr resource(::SysAllocString(name_space.c_str()));
    com_ptr<IWbemServices> services;
    if (const HRESULT hr = locator->ConnectServer(resource.get(), nullptr, nullptr, nullptr, 0,
                                                  nullptr, nullptr, services.put());
        FAILED(hr)) {
        return failed(hr, "IWbemLocator::ConnectServer failed");
    }
    if (!services) {
        return failed(S_OK, "IWbemLocator::ConnectServer return nullptr for IWbemServices");
    }
    if (const HRESULT hr = ::CoSetProxyBlanket(services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE,
                                               nullptr, RPC_C_AUTHN_LEVEL_CALL,
                                               RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
        FAILED(hr)) {
        return failed(hr, "CoSetProxyBlanket failed");
    }
    scope.owned = false;
    return std::unique_ptr<wmi_connection>(
        new windows_wmi_connection(std::move(locator), std::move(services), owns_com));
}

class windows_wmi final : public wmi {
public:
    stdext::expected<std::unique_ptr<wmi_connection>> open_cimv2() override {
        if (const HRESULT hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED); FAILED(hr)) {
            return failed(hr, "CoInitializeEx failed");
        }
        return connect_to(L"ROOT\\CIMV2", true);
    }

    stdext::expected<std::unique_ptr<wmi_connection>> connect(
        const std::wstring& name_space) override {
        return connect_to(name_space, false);
    }
};

}  // namespace

wmi& windows_wmi_instance() {
    static windows_wmi instance;
    return instance;
}

}  // namespace winapi
