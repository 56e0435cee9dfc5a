// The identifiers of the machine that the repair event carries: the device id, a SHA-1 digest
// over the machine GUID, the computer system's UUID and the serial number of the disk that holds
// the Windows folder, and the anonymous id stored for the product, made from the device id the
// first time it is missing.
//
//     const std::wstring stored = telemetry::GetAnonId(product_key, connect);
//     const std::wstring fresh = telemetry::calculated_deviceid(connect);
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "stdext/expected.h"

namespace telemetry {

// The id when no digest can be computed: 32 zeros.
inline constexpr const wchar_t* zero_deviceid = L"00000000000000000000000000000000";

// What the WMI service of the machine tells about it. Both give an empty text when the answer
// cannot be had; they log their own failures.
class wmi_identity {
public:
    virtual ~wmi_identity() = default;
    // "UUID" of the first Win32_ComputerSystemProduct.
    [[nodiscard]] virtual std::wstring system_uuid() = 0;
    // The serial number of the disk that holds drive ("C:"); when no disk is found to hold it,
    // the first non-empty serial number of the disks.
    [[nodiscard]] virtual std::wstring disk_serial(const std::wstring& drive) = 0;
};

// Connects to ROOT\CIMV2; null when the connection fails. COM is initialised on the calling
// thread when it is called.
using wmi_identity_connect = std::function<std::unique_ptr<wmi_identity>()>;
// A connection that always fails: the device id then covers the machine GUID alone.
[[nodiscard]] std::unique_ptr<wmi_identity> no_wmi_identity();

// The SHA-1 digest of the parts' UTF-16LE bytes in order, as 40 lowercase hexadecimal
// characters (empty when the encoding gives nothing). A failure is logged; its code is the
// Windows error, 8 when memory ran out.
[[nodiscard]] stdext::expected<std::wstring> get_hash_string(
    const std::vector<std::wstring>& parts);
// "MachineGuid" of the Cryptography key in the 64-bit view; empty when it cannot be read.
[[nodiscard]] std::wstring get_machine_guid();
// The device id computed now; the zero id when the digest fails.
[[nodiscard]] std::wstring generate_deviceid(const wmi_identity_connect& connect);
// The device id computed by the first call of the process and kept for the process.
[[nodiscard]] std::wstring calculated_deviceid(const wmi_identity_connect& connect);
// "AnonId" of the product key (32-bit view); when it cannot be read, a new device id, stored
// there. A stored id is never replaced.
[[nodiscard]] std::wstring GetAnonId(const std::wstring& product_key,
                                     const wmi_identity_connect& connect);

}  // namespace telemetry
