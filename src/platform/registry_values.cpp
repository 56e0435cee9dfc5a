#include "platform/registry_values.h"

#include <vector>

#include "logging/log.h"
#include "stdext/utf.h"
#include "winapi/facility.h"
#include "winapi/win_error_category.h"

namespace platform {
namespace {

void log_error(const wchar_t* function, const std::wstring& message) {
    logging::logger_stream(logging::level_error, function) << message;
}

// Queries a value into a zero-filled buffer of the fixed size; the text ends at the first NUL.
std::uint32_t query_text(winapi::registry& reg, winapi::hkey key, const std::wstring& name,
                         std::wstring& out) {
    std::vector<std::uint8_t> buffer(reg_value_buffer_bytes, 0);
    std::uint32_t type = winapi::reg_none;
    const std::uint32_t rc = reg.query_value(key, name, type, buffer);
    if (rc == 0) {
        out = stdext::utf16le_to_wide(buffer.data(), buffer.size());
    }
    return rc;
}

}  // namespace

bool GetRegKeyValue(winapi::hkey root, const std::wstring& subkey, const std::wstring& name,
                    std::wstring& out) {
    auto& reg = winapi::facility<winapi::registry>::get();
    winapi::hkey raw = 0;
    if (const auto rc = reg.open_key(root, subkey, key_read_32, raw); rc != 0) {
        log_error(L"GetRegKeyValue", L"RegOpenKeyEx " + subkey + L" failed " + std::to_wstring(rc));
        return false;
    }
    winapi::unique_hkey key(raw);
    if (const auto rc = query_text(reg, key.get(), name, out); rc != 0) {
        log_error(L"GetRegKeyValue",
                  L"RegQueryValueEx " + name + L" failed " + std::to_wstring(rc));
        return false;
    }
    return true;
}

bool SetRegKeyValue(const std::wstring& subkey, const std::wstring& name,
                    const std::wstring& data) {
    auto& reg = winapi::facility<winapi::registry>::get();
    winapi::hkey raw = 0;
    if (const auto rc = reg.open_key(winapi::hkey_local_machine, subkey, key_write_32, raw);
        rc != 0) {
        log_error(L"SetRegKeyValue", L"RegOpenKeyEx " + subkey + L" failed " + std::to_wstring(rc));
        if (const auto created =
                reg.create_key(winapi::hkey_local_machine, subkey, winapi::key_all_access_32, raw);
            created != 0) {
            log_error(L"SetRegKeyValue",
                      L"RegCreateKeyEx " + subkey + L" failed " + std::to_wstring(created));
            return false;
        }
    }
    winapi::unique_hkey key(raw);
    // REG_SZ with its terminating NUL: (characters + 1) * 2 bytes.
    auto bytes = stdext::wide_to_utf16le(data);
    bytes.push_back(0);
    bytes.push_back(0);
    if (const auto rc = reg.set_value(key.get(), name, winapi::reg_sz, bytes); rc != 0) {
        log_error(L"SetRegKeyValue", L"RegSetValueEx " + name + L" failed " + std::to_wstring(rc));
        return false;
    }
    return true;
}

std::wstring get_kit_version(const std::wstring& product_key) {
    std::wstring subkey = product_key;
    if (subkey.empty() || subkey.back() != L'\\') {
        subkey += L'\\';
    }
    subkey += L"Install";
    auto& reg = winapi::facility<winapi::registry>::get();
    winapi::hkey raw = 0;
    if (const auto rc =
            reg.open_key(winapi::hkey_local_machine, subkey, winapi::key_query_value, raw);
        rc != 0) {
        winapi::throw_win_error(rc, "RegOpenKeyEx failed");
    }
    winapi::unique_hkey key(raw);
    std::wstring version;
    if (const auto rc = query_text(reg, key.get(), L"ProductVersion", version); rc != 0) {
        log_error(L"get_kit_version",
                  L"RegQueryValueEx ProductVersion failed " + std::to_wstring(rc));
        return {};
    }
    return version;
}

}  // namespace platform
