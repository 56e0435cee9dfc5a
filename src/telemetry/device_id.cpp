#include "telemetry/device_id.h"

#include <mutex>
#include <new>
#include <optional>

#include "logging/log.h"
#include "platform/registry_values.h"
#include "stdext/utf.h"
#include "winapi/device_identity.h"
#include "winapi/facility.h"
#include "winapi/win_error_category.h"

namespace telemetry {
namespace {

constexpr std::uint32_t error_not_enough_memory = 8;

winapi::device_identity& sources() {
    return winapi::facility<winapi::device_identity>::get();
}

// The drive of the Windows folder ("C:"); "C:" when the folder cannot be had.
std::wstring windows_drive() {
    const auto folder = sources().windows_folder();
    const wchar_t letter = folder && !folder->empty() ? folder->front() : L'C';
    return std::wstring(1, letter) + L":";
}

}  // namespace

std::unique_ptr<wmi_identity> no_wmi_identity() {
    return nullptr;
}

stdext::expected<std::wstring> get_hash_string(const std::vector<std::wstring>& parts) {
    try {
        std::vector<std::uint8_t> bytes;
        for (const auto& part : parts) {
            const auto encoded = stdext::wide_to_utf16le(part);
            bytes.insert(bytes.end(), encoded.begin(), encoded.end());
        }
        auto hex = sources().sha1_hex(bytes);
        if (!hex) {
            logging::log_failure(logging::level_error, L"get_hash_string", L"get_hash_string",
                                 hex.error());
        }
        return hex;
    } catch (const std::bad_alloc&) {
        logging::logger_stream(logging::level_error, L"get_hash_string")
            << L"failed with std::bad_alloc";
        return stdext::unexpected(
            winapi::win_failure(error_not_enough_memory, "failed with std::bad_alloc"));
    }
}

std::wstring get_machine_guid() {
    const auto value = sources().machine_guid();
    if (!value) {
        logging::logger_stream(logging::level_error, L"get_machine_guid")
            << stdext::utf8_to_wide(value.error().text) << L" err="
            << static_cast<std::uint32_t>(value.error().code.value());
        return {};
    }
    if (value->size % 2 != 0) {
        logging::logger_stream(logging::level_error, L"get_machine_guid")
            << L"unexpected size=" << value->size;
        return {};
    }
    return value->text;
}

std::wstring generate_deviceid(const wmi_identity_connect& connect) {
    std::vector<std::wstring> parts{get_machine_guid()};
    logging::logger_stream(logging::level_info, L"generate_deviceid")
        << L"machine guid=" << parts.back();

    const bool com_initialized = sources().com_initialize();
    if (const auto security = sources().com_initialize_security(); !security) {
        logging::logger_stream(logging::level_error, L"initialize_security")
            << L"initialize_security err=" << security.error().code.value();
    }
    {
        // The connection is released before COM is.
        const std::unique_ptr<wmi_identity> wmi = connect ? connect() : nullptr;
        if (wmi) {
            parts.push_back(wmi->system_uuid());
            logging::logger_stream(logging::level_info, L"generate_deviceid")
                << L"system uuid=" << parts.back();
            const std::wstring drive = windows_drive();
            {
                logging::function_scope_trace trace(L"get_hdd_sn");
                parts.push_back(wmi->disk_serial(drive));
            }
            logging::logger_stream(logging::level_info, L"generate_deviceid")
                << L"hdd sn=" << parts.back();
        }
    }
    auto id = get_hash_string(parts);
    if (com_initialized) {
        sources().com_uninitialize();
    }
    return id && !id->empty() ? *id : std::wstring(zero_deviceid);
}

std::wstring calculated_deviceid(const wmi_identity_connect& connect) {
    static std::mutex lock;
    static std::optional<std::wstring> cached;
    const std::lock_guard hold(lock);
    if (!cached) {
        cached = generate_deviceid(connect);
    }
    return *cached;
}

std::wstring GetAnonId(const std::wstring& product_key, const wmi_identity_connect& connect) {
    if (auto stored =
            platform::GetRegKeyValue(winapi::hkey_local_machine, product_key, L"AnonId")) {
        return *stored;
    }
    logging::logger_stream(logging::level_info, L"GetAnonId")
        << L"LoadAnonId failed, try to generate it";
    std::wstring id = generate_deviceid(connect);
    // A failed write is logged by SetRegKeyValue; the id is sent all the same.
    (void)platform::SetRegKeyValue(product_key, L"AnonId", id);
    return id;
}

}  // namespace telemetry
