#include <windows.h>

#include <vector>

#include "stdext/utf.h"
#include "winapi/win/handles.h"
#include "winapi/win/system_facilities.h"

namespace winapi {
namespace {

HKEY native(hkey key) {
    return to_native<HKEY>(key);
}

stdext::unexpected<stdext::error> failure(LSTATUS rc, const char* call) {
    return stdext::unexpected(win_failure(static_cast<std::uint32_t>(rc), call));
}

class windows_registry final : public registry {
public:
    stdext::expected<unique_hkey> open_key(hkey root, const std::wstring& subkey,
                                           std::uint32_t access) override {
        unique_hkey key;
        const LSTATUS rc = ::RegOpenKeyExW(native(root), subkey.c_str(), 0, access,
                                           reinterpret_cast<HKEY*>(key.put()));
        if (rc != ERROR_SUCCESS) {
            return failure(rc, "RegOpenKeyEx");
        }
        return key;
    }

    stdext::expected<unique_hkey> create_key(hkey root, const std::wstring& subkey,
                                             std::uint32_t access, std::uint32_t options) override {
        unique_hkey key;
        const LSTATUS rc =
            ::RegCreateKeyExW(native(root), subkey.c_str(), 0, nullptr, options, access, nullptr,
                              reinterpret_cast<HKEY*>(key.put()), nullptr);
        if (rc != ERROR_SUCCESS) {
            return failure(rc, "RegCreateKeyEx");
        }
        return key;
    }

    void close_key(hkey key) override {
        last_error_guard keep;
        ::RegCloseKey(native(key));
    }

    stdext::expected<reg_value> query_value(hkey key, const std::wstring& name,
                                            std::size_t capacity) override {
        reg_value value;
        value.data.assign(capacity, 0);
        DWORD size = static_cast<DWORD>(capacity);
        DWORD type = REG_NONE;
        const LSTATUS rc =
            ::RegQueryValueExW(native(key), name.c_str(), nullptr, &type, value.data.data(), &size);
        if (rc != ERROR_SUCCESS) {
            return failure(rc, "RegQueryValueEx");
        }
        value.type = type;
        value.data.resize(size);
        return value;
    }

    stdext::expected<std::wstring> get_string(hkey key, const std::wstring& subkey,
                                              const std::wstring& name) override {
        std::vector<std::uint8_t> data(long_text_bytes, 0);
        DWORD size = static_cast<DWORD>(data.size());
        const LSTATUS rc = ::RegGetValueW(native(key), subkey.empty() ? nullptr : subkey.c_str(),
                                          name.c_str(), RRF_RT_REG_SZ, nullptr, data.data(), &size);
        if (rc != ERROR_SUCCESS) {
            return failure(rc, "RegGetValue");
        }
        return stdext::utf16le_to_wide(data.data(), size);
    }

    stdext::expected<std::uint32_t> get_dword(hkey key, const std::wstring& subkey,
                                              const std::wstring& name) override {
        DWORD value = 0;
        DWORD size = sizeof value;
        const LSTATUS rc = ::RegGetValueW(native(key), subkey.empty() ? nullptr : subkey.c_str(),
                                          name.c_str(), RRF_RT_REG_DWORD, nullptr, &value, &size);
        if (rc != ERROR_SUCCESS) {
            return failure(rc, "RegGetValue");
        }
        return static_cast<std::uint32_t>(value);
    }

    stdext::expected<void> set_string(hkey key, const std::wstring& name,
                                      const std::wstring& text) override {
        auto bytes = stdext::wide_to_utf16le(text);
        bytes.insert(bytes.end(), {0, 0});
        const LSTATUS rc = ::RegSetValueExW(native(key), name.c_str(), 0, REG_SZ, bytes.data(),
                                            static_cast<DWORD>(bytes.size()));
        if (rc != ERROR_SUCCESS) {
            return failure(rc, "RegSetValueEx");
        }
        return {};
    }

private:
    static constexpr std::size_t long_text_bytes = 32767 * sizeof(wchar_t);
};

}  // namespace

registry& windows_registry_instance() {
    static windows_registry instance;
    return instance;
}

}  // namespace winapi
