// The trust headers each need the ones before them.
// clang-format off
#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <mscat.h>
#include <softpub.h>
// clang-format on

#include <memory>
#include <new>

#include "winapi/win/handles.h"
#include "winapi/win/system_facilities.h"

namespace winapi {
namespace {

// WINTRUST_DATA and WINTRUST_CATALOG_INFO as the system defines them since Windows 8, with the
// trailing signature settings and catalog administrator members that older headers leave out;
// the system reads the members a given cbStruct covers.
struct trust_data_layout {
    DWORD cbStruct;
    LPVOID pPolicyCallbackData;
    LPVOID pSIPClientData;
    DWORD dwUIChoice;
    DWORD fdwRevocationChecks;
    DWORD dwUnionChoice;
    void* pChoice;
    DWORD dwStateAction;
    HANDLE hWVTStateData;
    WCHAR* pwszURLReference;
    DWORD dwProvFlags;
    DWORD dwUIContext;
    void* pSignatureSettings;
};

struct catalog_member_layout {
    DWORD cbStruct;
    DWORD dwCatalogVersion;
    LPCWSTR pcwszCatalogFilePath;
    LPCWSTR pcwszMemberTag;
    LPCWSTR pcwszMemberFilePath;
    HANDLE hMemberFile;
    BYTE* pbCalculatedFileHash;
    DWORD cbCalculatedFileHash;
    PCCTL_CONTEXT pcCatalogContext;
    HCATADMIN hCatAdmin;
};

static_assert(sizeof(void*) != 4 || sizeof(trust_data_layout) == 52);
static_assert(sizeof(void*) != 4 || sizeof(catalog_member_layout) == 40);
static_assert(sizeof(WINTRUST_FILE_INFO) == 4 * sizeof(void*));
static_assert(sizeof(CATALOG_INFO) == 524);

// The catalog administration context; only this file uses it.
BOOL release_catalog_admin(HCATADMIN h) noexcept {
    return ::CryptCATAdminReleaseContext(h, 0);
}
using unique_catalog_admin = unique_released_by<HCATADMIN, &release_catalog_admin>;

trust_data_layout trust_data(DWORD union_choice, void* choice, DWORD provider_flags) {
    trust_data_layout data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = union_choice;
    data.pChoice = choice;
    data.dwStateAction = WTD_STATEACTION_IGNORE;
    data.dwProvFlags = provider_flags;
    return data;
}

LONG verify(DWORD union_choice, void* choice, DWORD provider_flags) {
    trust_data_layout data = trust_data(union_choice, choice, provider_flags);
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    return ::WinVerifyTrust(nullptr, &action, &data);
}

stdext::unexpected<stdext::error> failed(const char* step) {
    return stdext::unexpected(win_failure(::GetLastError(), step));
}

stdext::unexpected<stdext::error> failed(std::uint32_t code, const char* step) {
    return stdext::unexpected(win_failure(code, step));
}

// One simple display name: the first call gives the length with the terminating null, the second
// fills a buffer of that length. A name of only the terminating null is no name.
stdext::expected<std::wstring> display_name(PCCERT_CONTEXT certificate, DWORD flags) {
    const DWORD length = ::CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags,
                                              nullptr, nullptr, 0);
    if (length == 0) {
        return failed("CertGetNameStringW");
    }
    std::wstring name(length, L'\0');
    const DWORD written = ::CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags,
                                               nullptr, name.data(), length);
    if (written == 0) {
        return failed("CertGetNameStringW");
    }
    if (written == 1) {
        return failed(error_not_found, "CertGetNameStringW: empty name");
    }
    name.resize(written - 1);
    return name;
}

class windows_trust final : public trust {
public:
    std::int32_t verify_embedded(const std::wstring& path) override {
        WINTRUST_FILE_INFO file{};
        file.cbStruct = sizeof(file);
        file.pcwszFilePath = path.c_str();
        return verify(WTD_CHOICE_FILE, &file, 0);
    }

    std::int32_t verify_embedded_with_state(const std::wstring& path) override {
        WINTRUST_FILE_INFO file{};
        file.cbStruct = sizeof(file);
        file.pcwszFilePath = path.c_str();
        trust_data_layout data = trust_data(WTD_CHOICE_FILE, &file, 0);
        data.dwStateAction = WTD_STATEACTION_VERIFY;
        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        const LONG result = ::WinVerifyTrust(nullptr, &action, &data);
        data.dwStateAction = WTD_STATEACTION_CLOSE;
        static_cast<void>(::WinVerifyTrust(nullptr, &action, &data));
        return result;
    }

    stdext::expected<void> verify_in_catalogs(
        const std::wstring& path, const std::function<bool(std::int32_t)>& on_result) override {
        const unique_file_handle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                                    nullptr));
        if (!file) {
            return failed("CreateFileW");
        }
        DWORD hash_size = 0;
        if (!::CryptCATAdminCalcHashFromFileHandle(file.get(), &hash_size, nullptr, 0) &&
            ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            return failed("CryptCATAdminCalcHashFromFileHandle");
        }
        const std::unique_ptr<BYTE[]> hash(new (std::nothrow) BYTE[hash_size]);
        if (!hash) {
            return failed(error_outofmemory, "hash buffer");
        }
        if (!::CryptCATAdminCalcHashFromFileHandle(file.get(), &hash_size, hash.get(), 0)) {
            return failed("CryptCATAdminCalcHashFromFileHandle");
        }
        unique_catalog_admin admin;
        if (!::CryptCATAdminAcquireContext(admin.put(), nullptr, 0)) {
            return failed("CryptCATAdminAcquireContext");
        }

        // Each further call of the enumeration releases the catalog passed in as the previous
        // one; the catalog at which the walk stops is released here.
        HCATINFO previous = nullptr;
        while (HCATINFO catalog = ::CryptCATAdminEnumCatalogFromHash(
                   admin.get(), hash.get(), hash_size, 0, previous ? &previous : nullptr)) {
            previous = catalog;
            CATALOG_INFO info{};
            info.cbStruct = sizeof(info);
            if (!::CryptCATCatalogInfoFromContext(catalog, &info, 0)) {
                continue;
            }
            catalog_member_layout member{};
            member.cbStruct = sizeof(member);
            member.pcwszCatalogFilePath = info.wszCatalogFile;
            member.pcwszMemberFilePath = path.c_str();
            member.hMemberFile = file.get();
            member.pbCalculatedFileHash = hash.get();
            member.cbCalculatedFileHash = hash_size;
            const LONG result =
                verify(WTD_CHOICE_CATALOG, &member, WTD_SAFER_FLAG | WTD_CACHE_ONLY_URL_RETRIEVAL);
            if (on_result(result)) {
                ::CryptCATAdminReleaseCatalogContext(admin.get(), catalog, 0);
                break;
            }
        }
        return {};
    }

    stdext::expected<certificate_fields> signer_certificate(const std::wstring& path) override {
        // Declared in this order so that the message is closed before its store.
        unique_cert_store store;
        unique_crypt_message message;
        DWORD encoding = 0;
        DWORD content = 0;
        DWORD format = 0;
        if (!::CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(),
                                CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                                CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &content, &format,
                                store.put(), message.put(), nullptr)) {
            return failed("CryptQueryObject");
        }

        DWORD size = 0;
        if (!::CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size)) {
            return failed("CryptMsgGetParam");
        }
        const std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[size]);
        if (!buffer) {
            return failed(error_not_enough_memory, "signer information buffer");
        }
        if (!::CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, buffer.get(), &size)) {
            return failed("CryptMsgGetParam");
        }
        const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.get());

        CERT_INFO wanted{};
        wanted.Issuer = signer->Issuer;
        wanted.SerialNumber = signer->SerialNumber;
        const unique_cert_context certificate(
            ::CertFindCertificateInStore(store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                         CERT_FIND_SUBJECT_CERT, &wanted, nullptr));
        if (!certificate) {
            // A signer whose certificate is not in the signature cannot be described; the
            // search's "not found" stays the error, so that no caller takes an empty subject for
            // a signer.
            const DWORD error = ::GetLastError();
            return failed(error != 0 ? error : crypt_e_not_found, "CertFindCertificateInStore");
        }

        const CERT_INFO* info = certificate.get()->pCertInfo;
        if (info == nullptr) {
            return failed(error_invalid_data, "certificate information");
        }
        certificate_fields fields;
        fields.serial_stored.assign(info->SerialNumber.pbData,
                                    info->SerialNumber.pbData + info->SerialNumber.cbData);
        return display_name(certificate.get(), CERT_NAME_ISSUER_FLAG)
            .and_then([&](std::wstring&& issuer) {
                fields.issuer = std::move(issuer);
                return display_name(certificate.get(), 0);
            })
            .transform([&](std::wstring&& subject) {
                fields.subject = std::move(subject);
                return std::move(fields);
            });
    }
};

}  // namespace

trust& windows_trust_instance() {
    static windows_trust instance;
    return instance;
}

}  // namespace winapi
