#include <windows.h>

#include "winapi/win/handles.h"
#include "winapi/win/system_facilities.h"

namespace winapi {
namespace {

HKEY native(hkey key) {
    return to_native<HKEY>(key);
}

class windows_registry final : public registry {
public:
    std::uint32_t open_key(hkey root, const std::wstring& subkey, std::uint32_t access,
                           hkey& out) override {
        HKEY key = nullptr;
        const LSTATUS rc = ::RegOpenKeyExW(native(root), subkey.c_str(), 0, access, &key);
        out = rc == ERROR_SUCCESS ? from_native(key) : 0;
        return static_cast<std::uint32_t>(rc);
    }

    std::uint32_t create_key(hkey root, const std::wstring& subkey, std::uint32_t access,
                             hkey& out) override {
        HKEY key = nullptr;
        const LSTATUS rc = ::RegCreateKeyExW(native(root), subkey.c_str(), 0, nullptr, 0, access,
                                             nullptr, &key, nullptr);
        out = rc == ERROR_SUCCESS ? from_native(key) : 0;
        return static_cast<std::uint32_t>(rc);
    }

    std::uint32_t close_key(hkey key) override {
        return static_cast<std::uint32_t>(::RegCloseKey(native(key)));
    }

    std::uint32_t query_value(hkey key, const std::wstring& name, std::uint32_t& type,
                              std::vector<std::uint8_t>& data) override {
        DWORD size = static_cast<DWORD>(data.size());
        DWORD t = REG_NONE;
        const LSTATUS rc = ::RegQueryValueExW(native(key), name.c_str(), nullptr, &t,
                                              data.empty() ? nullptr : data.data(), &size);
        type = t;
        if (rc == ERROR_SUCCESS) {
            data.resize(size);
        }
        return static_cast<std::uint32_t>(rc);
    }

    std::uint32_t get_value(hkey key, const std::wstring& subkey, const std::wstring& name,
                            std::uint32_t flags, std::uint32_t& type,
                            std::vector<std::uint8_t>& data) override {
        DWORD size = static_cast<DWORD>(data.size());
        DWORD t = REG_NONE;
        const LSTATUS rc =
            ::RegGetValueW(native(key), subkey.empty() ? nullptr : subkey.c_str(), name.c_str(),
                           flags, &t, data.empty() ? nullptr : data.data(), &size);
        type = t;
        if (rc == ERROR_SUCCESS) {
            data.resize(size);
        }
        return static_cast<std::uint32_t>(rc);
    }

    std::uint32_t set_value(hkey key, const std::wstring& name, std::uint32_t type,
                            const std::vector<std::uint8_t>& data) override {
        return static_cast<std::uint32_t>(::RegSetValueExW(
            native(key), name.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size())));
    }
};

}  // namespace

registry& windows_registry_instance() {
    static windows_registry instance;
    return instance;
}

}  // namespace winapi
