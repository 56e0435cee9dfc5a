// The Windows sources of the device id: the machine GUID, the SHA-1 digest, COM set-up for the
// WMI queries and the Windows folder. Each operation is one task; its error text names the step
// that failed, as the log needs it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stdext/expected.h"

namespace winapi {

// KEY_READ in the 64-bit registry view: the machine GUID is read where 64-bit Windows keeps it.
inline constexpr std::uint32_t key_read_64 = 0x20119;

// "MachineGuid" as RegGetValueW gives it: its size in bytes, the terminator included, and the
// text without the terminator. An odd size is not read: the text is then empty.
struct machine_guid_value {
    std::uint32_t size = 0;
    std::wstring text;
};

class device_identity {
public:
    virtual ~device_identity() = default;

    // "MachineGuid" of HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography opened with
    // key_read_64, restricted to REG_SZ. Error texts: "reg open
    // HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography", "RegGetValue for size failed",
    // "RegGetValue failed".
    [[nodiscard]] virtual stdext::expected<machine_guid_value> machine_guid() = 0;
    // The SHA-1 digest of bytes (CryptoAPI, PROV_RSA_FULL, verify context), written by
    // CryptBinaryToStringW as lowercase hexadecimal without line breaks; empty when that gives one
    // character or less. Error texts name the failed call ("CryptCreateHash failed",
    // "CryptBinaryToString for size failed", ...).
    [[nodiscard]] virtual stdext::expected<std::wstring> sha1_hex(
        const std::vector<std::uint8_t>& bytes) = 0;

    // CoInitializeEx(multithreaded) on the calling thread; true when it succeeded and must be
    // balanced by com_uninitialize.
    [[nodiscard]] virtual bool com_initialize() = 0;
    virtual void com_uninitialize() = 0;
    // CoInitializeSecurity for the process (default authentication, impersonation); the HRESULT
    // is the error code. It fails harmlessly when the process has set it before.
    [[nodiscard]] virtual stdext::expected<void> com_initialize_security() = 0;

    // The Windows folder (SHGetKnownFolderPath).
    [[nodiscard]] virtual stdext::expected<std::wstring> windows_folder() = 0;
};

}  // namespace winapi
