// The identifiers of the machine that the repair event carries: the device id, a SHA-1 digest
// over the machine GUID, the computer system's UUID and the serial number of the disk that holds
// the Windows folder, and the anonymous id stored for the product, made from the device id the
// first time it is missing.
//
//     const std::wstring stored = telemetry::GetAnonId(product_key);
//     telemetry::calculated_device_id device_id;  // one for the whole command
//     const std::wstring fresh = device_id.get();
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "stdext/expected.h"

namespace telemetry {

// The id when no digest can be computed: 32 zeros.
inline constexpr const wchar_t* zero_deviceid = L"00000000000000000000000000000000";

class wmi_connection;

// The SHA-1 digest of the parts' UTF-16LE bytes in order, as 40 lowercase hexadecimal
// characters (empty when the encoding gives nothing). A failure is logged; its code is the
// Windows error, 8 when memory ran out.
[[nodiscard]] stdext::expected<std::wstring> get_hash_string(
    const std::vector<std::wstring>& parts);
// "MachineGuid" of the Cryptography key in the 64-bit view; empty when it cannot be read.
[[nodiscard]] std::wstring get_machine_guid();
// "UUID" of the first Win32_ComputerSystemProduct; empty when it cannot be read.
[[nodiscard]] std::wstring get_system_uuid(const wmi_connection& connection);
// The serial number of the disk that holds drive ("C:"); when no disk is found to hold it, the
// first non-empty serial number of the disks.
[[nodiscard]] std::wstring search_disks(const wmi_connection& connection,
                                        const std::wstring& drive);
// Whether a partition of the disk drive holds drive.
[[nodiscard]] bool search_diskdrives_partitions(const wmi_connection& connection,
                                                const std::wstring& disk_id,
                                                const std::wstring& drive);
// Whether a logical disk of the partition is drive, by its DeviceID, Name or Caption; ASCII
// letters match in either case.
[[nodiscard]] bool search_logicaldisks(const wmi_connection& connection,
                                       const std::wstring& partition_id, const std::wstring& drive);

// The device id computed now; the zero id when the digest fails. When WMI cannot be reached the
// digest covers the machine GUID alone. Raises only what no source catches; COM is left as found.
[[nodiscard]] std::wstring generate_deviceid();
// The device id of one run of the program: computed by the first get() and kept; a get() that
// raises leaves it to the next. Safe to share between threads.
class calculated_device_id {
public:
    calculated_device_id() = default;
    calculated_device_id(const calculated_device_id&) = delete;
    calculated_device_id& operator=(const calculated_device_id&) = delete;

    [[nodiscard]] std::wstring get();

private:
    std::mutex lock_;
    std::optional<std::wstring> id_;
};
// "AnonId" of the product key (32-bit view); when it cannot be read, a new device id, stored
// there. A stored id is never replaced.
[[nodiscard]] std::wstring GetAnonId(const std::wstring& product_key);

}  // namespace telemetry
