#include <shlobj.h>

#include "winapi/device_identity.h"
#include "winapi/win/handles.h"
#include "winapi/win/system_facilities.h"

namespace winapi {
namespace {

// FOLDERID_Windows, spelled out so that no GUID library is needed.
constexpr GUID folder_id_windows = {
    0xF38BF404, 0x1D43, 0x42F2, {0x93, 0x05, 0x67, 0xDE, 0x0B, 0x28, 0xFC, 0x23}};

stdext::unexpected<stdext::error> failure(DWORD code, const char* step) {
    return stdext::unexpected(win_failure(code, step));
}
stdext::unexpected<stdext::error> last_failure(const char* step) {
    return failure(::GetLastError(), step);
}

class windows_device_identity final : public device_identity {
public:
    stdext::expected<machine_guid_value> machine_guid() override {
        unique_native_key key;
        LSTATUS rc = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography", 0,
                                     key_read_64, key.put());
        if (rc != ERROR_SUCCESS) {
            return failure(rc, "reg open HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography");
        }
        machine_guid_value value;
        DWORD size = 0;
        rc = ::RegGetValueW(key.get(), nullptr, L"MachineGuid", RRF_RT_REG_SZ, nullptr, nullptr,
                            &size);
        if (rc != ERROR_SUCCESS) {
            return failure(rc, "RegGetValue for size failed");
        }
        value.size = size;
        if (size % 2 != 0) {
            return value;
        }
        std::wstring text(size / 2, L'\0');
        rc = ::RegGetValueW(key.get(), nullptr, L"MachineGuid", RRF_RT_REG_SZ, nullptr, text.data(),
                            &size);
        if (rc != ERROR_SUCCESS) {
            return failure(rc, "RegGetValue failed");
        }
        // The value ends with its terminator.
        text.resize(text.empty() ? 0 : text.size() - 1);
        value.text = std::move(text);
        return value;
    }

    stdext::expected<std::wstring> sha1_hex(const std::vector<std::uint8_t>& bytes) override {
        unique_crypt_provider provider;
        if (!::CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_FULL,
                                    CRYPT_VERIFYCONTEXT)) {
            return last_failure("CryptAcquireContext failed");
        }
        unique_crypt_hash hash;
        if (!::CryptCreateHash(provider.get(), CALG_SHA1, 0, 0, hash.put())) {
            return last_failure("CryptCreateHash failed");
        }
        if (!::CryptHashData(hash.get(), bytes.data(), static_cast<DWORD>(bytes.size()), 0)) {
            return last_failure("CryptHashData failed");
        }
        BYTE digest[20] = {};
        DWORD digest_size = sizeof(digest);
        if (!::CryptGetHashParam(hash.get(), HP_HASHVAL, digest, &digest_size, 0)) {
            return last_failure("CryptGetHashParam failed");
        }
        hash.reset();
        provider.reset();

        constexpr DWORD format = CRYPT_STRING_HEXRAW | CRYPT_STRING_NOCRLF;
        DWORD chars = 0;
        if (!::CryptBinaryToStringW(digest, digest_size, format, nullptr, &chars)) {
            return last_failure("CryptBinaryToString for size failed");
        }
        std::wstring text(chars, L'\0');
        if (!::CryptBinaryToStringW(digest, digest_size, format, text.data(), &chars)) {
            return last_failure("CryptBinaryToString failed");
        }
        if (chars <= 1) {
            return std::wstring();
        }
        text.resize(chars);
        return text;
    }

    bool com_initialize() override {
        return SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    }
    void com_uninitialize() override { ::CoUninitialize(); }

    stdext::expected<void> com_initialize_security() override {
        const HRESULT hr =
            ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                   RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
        if (hr != S_OK) {
            return failure(static_cast<DWORD>(hr), "CoInitializeSecurity");
        }
        return {};
    }

    stdext::expected<std::wstring> windows_folder() override {
        unique_co_task_text path;
        const HRESULT hr = ::SHGetKnownFolderPath(folder_id_windows, 0, nullptr, path.put());
        if (FAILED(hr)) {
            return failure(static_cast<DWORD>(hr), "SHGetKnownFolderPath");
        }
        return std::wstring(path.get());
    }
};

}  // namespace

device_identity& windows_device_identity_instance() {
    static windows_device_identity instance;
    return instance;
}

}  // namespace winapi
