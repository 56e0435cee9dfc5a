#include "telemetry/device_id.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>

#include "logging/log.h"
#include "platform/registry_values.h"
#include "stdext/raise.h"
#include "stdext/utf.h"
#include "telemetry/wmi.h"
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

// A system error raised by a WMI step ends the step's search; it is logged with its message and
// code under the step's name. Other errors go on to the caller.
template <class T, class Search>
T searching(const wchar_t* step, const T& otherwise, Search search) {
    try {
        return search();
    } catch (const std::system_error& e) {
        logging::logger_stream(logging::level_error, step)
            << L"err=" << stdext::utf8_to_wide(e.what()) << L" "
            << static_cast<std::uint32_t>(e.code().value());
        return otherwise;
    }
}

// Drive names compare with ASCII letters in either case, and nothing else folded.
bool same_drive(const std::wstring& name, const std::wstring& drive) {
    const auto fold = [](wchar_t c) { return c >= L'a' && c <= L'z' ? c - L'a' + L'A' : c; };
    return std::equal(name.begin(), name.end(), drive.begin(), drive.end(),
                      [&](wchar_t a, wchar_t b) { return fold(a) == fold(b); });
}

// CoUninitialize when this thread's CoInitializeEx succeeded, on every way out.
class com_scope {
public:
    com_scope() : initialized_(sources().com_initialize()) {}
    ~com_scope() {
        if (initialized_) {
            sources().com_uninitialize();
        }
    }
    com_scope(const com_scope&) = delete;
    com_scope& operator=(const com_scope&) = delete;

private:
    bool initialized_;
};

}  // namespace

stdext::expected<std::wstring> get_hash_string(const std::vector<std::wstring>& parts) {
    try {
        std::vector<std::uint8_t> bytes;
        for (const auto& part : parts) {
            const auto encoded = stdext::wide_to_utf16le(part);
            bytes.insert(bytes.end(), encoded.begin(), encoded.end());
        }
        auto hex = sources().sha1_hex(bytes);
        if (!hex) {
            // A failed CryptoAPI step is a system error: its text is the step, ": " and the
            // system's message for the code.
            const stdext::error failure{hex.error().code, stdext::failure_text(hex.error())};
            logging::log_failure(logging::level_error, L"get_hash_string", L"get_hash_string",
                                 failure);
            return stdext::unexpected(failure);
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

std::wstring get_system_uuid(const wmi_connection& connection) {
    logging::function_scope_trace trace(L"get_system_uuid");
    return searching(L"get_system_uuid", std::wstring(), [&] {
        const objects_iterator product =
            connection.exec_query(L"SELECT UUID FROM Win32_ComputerSystemProduct");
        if (product.at_end()) {
            return std::wstring();
        }
        const winapi::wmi_value uuid = get_object_property(product, L"UUID");
        return uuid.type == winapi::vt_bstr ? uuid.text.value_or(std::wstring()) : std::wstring();
    });
}

std::wstring search_disks(const wmi_connection& connection, const std::wstring& drive) {
    logging::function_scope_trace trace(L"search_disks");
    logging::logger_stream(logging::level_info, L"search_disks")
        << L"search for partition" << drive;
    std::wstring fallback;
    return searching(L"search_disks", fallback, [&]() -> std::wstring {
        for (auto disk =
                 connection.exec_query(L"SELECT SerialNumber, DeviceID FROM Win32_DiskDrive");
             !disk.at_end(); ++disk) {
            const auto serial = get_property(disk, L"SerialNumber");
            if (serial && fallback.empty()) {
                fallback = *serial;
            }
            const auto id = get_property(disk, L"DeviceID");
            if (id && search_diskdrives_partitions(connection, *id, drive)) {
                return serial.value_or(std::wstring());
            }
        }
        return fallback;
    });
}

bool search_diskdrives_partitions(const wmi_connection& connection, const std::wstring& disk_id,
                                  const std::wstring& drive) {
    logging::function_scope_trace trace(L"search_diskdrives_partitions");
    logging::logger_stream(logging::level_info, L"search_diskdrives_partitions")
        << L"devid=" << disk_id;
    return searching(L"search_diskdrives_partitions", false, [&] {
        for (auto partition = connection.exec_query(disk_partitions_query(disk_id));
             !partition.at_end(); ++partition) {
            const auto id = get_property(partition, L"DeviceID");
            if (id && search_logicaldisks(connection, *id, drive)) {
                return true;
            }
        }
        return false;
    });
}

bool search_logicaldisks(const wmi_connection& connection, const std::wstring& partition_id,
                         const std::wstring& drive) {
    logging::function_scope_trace trace(L"search_logicaldisks");
    logging::logger_stream(logging::level_info, L"search_logicaldisks")
        << L"devid=" << partition_id;
    return searching(L"search_logicaldisks", false, [&] {
        for (auto disk = connection.exec_query(logical_disks_query(partition_id)); !disk.at_end();
             ++disk) {
            for (const wchar_t* name : {L"DeviceID", L"Name", L"Caption"}) {
                const auto value = get_property(disk, name);
                if (value && same_drive(*value, drive)) {
                    logging::logger_stream(logging::level_info, L"search_logicaldisks")
                        << L"found it";
                    return true;
                }
            }
        }
        return false;
    });
}

std::wstring generate_deviceid() {
    std::vector<std::wstring> parts{get_machine_guid()};
    logging::logger_stream(logging::level_info, L"generate_deviceid")
        << L"machine guid=" << parts.back();

    const com_scope com;
    if (const auto security = sources().com_initialize_security(); !security) {
        logging::logger_stream(logging::level_error, L"initialize_security")
            << L"initialize_security err=" << security.error().code.value();
    }
    // The connection is released before COM is.
    if (const auto connection = wmi_connection::connect(L"ROOT\\CIMV2")) {
        parts.push_back(get_system_uuid(*connection));
        logging::logger_stream(logging::level_info, L"generate_deviceid")
            << L"system uuid=" << parts.back();
        const std::wstring drive = windows_drive();
        {
            logging::function_scope_trace trace(L"get_hdd_sn");
            parts.push_back(search_disks(*connection, drive));
        }
        logging::logger_stream(logging::level_info, L"generate_deviceid")
            << L"hdd sn=" << parts.back();
    }
    const auto id = get_hash_string(parts);
    return id && !id->empty() ? *id : std::wstring(zero_deviceid);
}

std::wstring calculated_device_id::get() {
    const std::lock_guard hold(lock_);
    if (!id_) {
        id_ = generate_deviceid();
    }
    return *id_;
}

std::wstring GetAnonId(const std::wstring& product_key) {
    if (auto stored =
            platform::GetRegKeyValue(winapi::hkey_local_machine, product_key, L"AnonId")) {
        return *stored;
    }
    logging::logger_stream(logging::level_info, L"GetAnonId")
        << L"LoadAnonId failed, try to generate it";
    std::wstring id = generate_deviceid();
    // A failed write is logged by SetRegKeyValue; the id is sent all the same.
    (void)platform::SetRegKeyValue(product_key, L"AnonId", id);
    return id;
}

}  // namespace telemetry
