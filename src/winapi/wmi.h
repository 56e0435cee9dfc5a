// The WMI facility: WQL queries in a namespace and the properties of the objects they return. The
// Windows version does the COM sequence; the rules of reading results live with the callers.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "stdext/expected.h"

namespace winapi {

// Results and types WMI readers look at.
inline constexpr std::int32_t wbem_s_false = 1;
inline constexpr std::int32_t wbem_e_not_found = static_cast<std::int32_t>(0x80041002u);
inline constexpr std::uint16_t vt_null = 1;
inline constexpr std::uint16_t vt_i4 = 3;
inline constexpr std::uint16_t vt_bstr = 8;

// A property's value: its VARIANT type and, for a non-null VT_BSTR, its text.
struct wmi_value {
    std::uint16_t type = 0;
    std::optional<std::wstring> text{};
};

// What one IEnumWbemClassObject::Next(WBEM_INFINITE, 1) gave.
struct wmi_step {
    std::int32_t result = 0;  // the HRESULT
    bool has_object = false;  // an object came with it and is now the current one
};

// The objects of one query, walked forward; releases them when dropped.
class wmi_objects {
public:
    virtual ~wmi_objects() = default;
    // One Next call; fine-grained because readers treat WBEM_S_FALSE, other results and a missing
    // object differently.
    [[nodiscard]] virtual wmi_step next() = 0;
    // IWbemClassObject::Get(name) on the current object; the error's code is the HRESULT.
    [[nodiscard]] virtual stdext::expected<wmi_value> get(const std::wstring& name) = 0;
};

// A connection to a namespace: the locator and the services interface with the proxy blanket set.
// Dropping it releases both (and uninitialises COM when it was opened with COM).
class wmi_connection {
public:
    virtual ~wmi_connection() = default;
    // ExecQuery("WQL", query, WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY). The error
    // text is "IWbemServices::ExecQuery failed", or for a success without an enumerator (code 0)
    // "IWbemLocator::ExecQuery return nullptr for IEnumWbemClassObject".
    [[nodiscard]] virtual stdext::expected<std::unique_ptr<wmi_objects>> exec_query(
        const std::wstring& query) = 0;
};

// Errors of the facility carry the HRESULT in the win_error category and a text naming the failed
// step ("CoInitializeEx failed", "CoCreateInstance failed", "IWbemLocator::ConnectServer failed",
// "CoSetProxyBlanket failed"). An error with code 0 is a success that lacked the promised
// interface; its text says so.
class wmi {
public:
    virtual ~wmi() = default;
    // CoInitializeEx(multithreaded) for the calling thread, then connect(L"ROOT\\CIMV2"); the
    // connection uninitialises COM when dropped.
    [[nodiscard]] virtual stdext::expected<std::unique_ptr<wmi_connection>> open_cimv2() = 0;
    // A connection on a thread whose COM the caller has initialised: CoCreateInstance of the
    // locator, ConnectServer(name_space) and CoSetProxyBlanket.
    [[nodiscard]] virtual stdext::expected<std::unique_ptr<wmi_connection>> connect(
        const std::wstring& name_space) = 0;
};

}  // namespace winapi
