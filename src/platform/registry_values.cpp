#include "platform/registry_values.h"

#include "logging/log.h"
#include "stdext/path.h"
#include "stdext/raise.h"
#include "stdext/utf.h"
#include "winapi/facility.h"
#include "winapi/win_error_category.h"

namespace platform {
namespace {

// The value's text in a zero-filled buffer of the fixed size; the text ends at the first NUL.
stdext::expected<std::wstring> query_text(winapi::hkey key, const std::wstring& name) {
    return winapi::facility<winapi::registry>::get()
        .query_value(key, name, reg_value_buffer_bytes)
        .transform([](const auto& value) {
            return stdext::utf16le_to_wide(value.data.data(), value.data.size());
        });
}

}  // namespace

void log_registry_failure(const wchar_t* function, const std::wstring& step,
                          const stdext::error& failure) {
    logging::logger_stream(logging::level_error, function)
        << step << L" failed " << static_cast<std::uint32_t>(failure.code.value());
}

stdext::expected<std::wstring> GetRegKeyValue(winapi::hkey root, const std::wstring& subkey,
                                              const std::wstring& name) {
    const auto key = winapi::facility<winapi::registry>::get().open_key(root, subkey, key_read_32);
    if (!key) {
        log_registry_failure(L"GetRegKeyValue", L"RegOpenKeyEx " + subkey, key.error());
    }
    return key.and_then([&](const winapi::unique_hkey& opened) {
        auto text = query_text(opened.get(), name);
        if (!text) {
            log_registry_failure(L"GetRegKeyValue", L"RegQueryValueEx " + name, text.error());
        }
        return text;
    });
}

stdext::expected<void> SetRegKeyValue(const std::wstring& subkey, const std::wstring& name,
                                      const std::wstring& data) {
    auto& reg = winapi::facility<winapi::registry>::get();
    auto key = reg.open_key(winapi::hkey_local_machine, subkey, key_write_32);
    if (!key) {
        log_registry_failure(L"SetRegKeyValue", L"RegOpenKeyEx " + subkey, key.error());
        key = reg.create_key(winapi::hkey_local_machine, subkey, winapi::key_all_access_32,
                             winapi::reg_option_non_volatile);
        if (!key) {
            log_registry_failure(L"SetRegKeyValue", L"RegCreateKeyEx " + subkey, key.error());
        }
    }
    return key.and_then([&](const winapi::unique_hkey& opened) {
        auto set = reg.set_string(opened.get(), name, data);
        if (!set) {
            log_registry_failure(L"SetRegKeyValue", L"RegSetValueEx " + name, set.error());
        }
        return set;
    });
}

std::wstring get_kit_version(const std::wstring& product_key) {
    const std::wstring subkey = stdext::path::join(product_key, L"Install");
    const auto key =
        stdext::value_or_raise(winapi::facility<winapi::registry>::get().open_key(
                                   winapi::hkey_local_machine, subkey, winapi::key_query_value),
                               "RegOpenKeyEx failed");
    auto version = query_text(key.get(), L"ProductVersion");
    if (!version) {
        log_registry_failure(L"get_kit_version", L"RegQueryValueEx ProductVersion",
                             version.error());
        return {};
    }
    return std::move(*version);
}

}  // namespace platform
