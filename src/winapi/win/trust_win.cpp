// The crypto and trust headers each need the ones before them.
// clang-format off
#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <mscat.h>
#include <softpub.h>
// clang-format on

#include <vector>

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

LONG verify(DWORD union_choice, void* choice, DWORD provider_flags) {
    trust_data_layout data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = union_choice;
    data.pChoice = choice;
    data.dwStateAction = WTD_STATEACTION_IGNORE;
    data.dwProvFlags = provider_flags;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    return ::WinVerifyTrust(nullptr, &action, &data);
}

HANDLE native_file(trust_file file) {
    return to_native<HANDLE>(file);
}

PCCERT_CONTEXT native_cert(cert_context certificate) {
    return to_native<PCCERT_CONTEXT>(certificate);
}

class windows_trust final : public trust {
public:
    std::int32_t verify_file(const std::wstring& path) override {
        WINTRUST_FILE_INFO file{};
        file.cbStruct = sizeof(file);
        file.pcwszFilePath = path.c_str();
        return verify(WTD_CHOICE_FILE, &file, 0);
    }

    std::int32_t verify_catalog_member(const std::wstring& catalog_path,
                                       const std::wstring& member_path, trust_file member,
                                       const std::uint8_t* hash, std::uint32_t hash_size) override {
        catalog_member_layout catalog{};
        catalog.cbStruct = sizeof(catalog);
        catalog.pcwszCatalogFilePath = catalog_path.c_str();
        catalog.pcwszMemberFilePath = member_path.c_str();
        catalog.hMemberFile = native_file(member);
        catalog.pbCalculatedFileHash = const_cast<BYTE*>(hash);
        catalog.cbCalculatedFileHash = hash_size;
        return verify(WTD_CHOICE_CATALOG, &catalog, WTD_SAFER_FLAG | WTD_CACHE_ONLY_URL_RETRIEVAL);
    }

    trust_file open_file(const std::wstring& path, std::uint32_t& error) override {
        HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            error = ::GetLastError();
            return 0;
        }
        error = 0;
        return from_native(h);
    }

    void close_file(trust_file file) override {
        last_error_guard keep;
        ::CloseHandle(native_file(file));
    }

    void* allocate(std::size_t size) noexcept override {
        return ::HeapAlloc(::GetProcessHeap(), 0, size);
    }

    void free_memory(void* block) noexcept override {
        last_error_guard keep;
        ::HeapFree(::GetProcessHeap(), 0, block);
    }

    bool calc_file_hash(trust_file file, std::uint32_t& size, std::uint8_t* buffer,
                        std::uint32_t& error) override {
        DWORD n = size;
        const BOOL ok = ::CryptCATAdminCalcHashFromFileHandle(native_file(file), &n, buffer, 0);
        error = ok ? 0 : ::GetLastError();
        size = n;
        return ok != FALSE;
    }

    bool acquire_catalog_admin(catalog_admin& admin, std::uint32_t& error) override {
        HCATADMIN h = nullptr;
        const BOOL ok = ::CryptCATAdminAcquireContext(&h, nullptr, 0);
        error = ok ? 0 : ::GetLastError();
        admin = ok ? from_native(h) : 0;
        return ok != FALSE;
    }

    void release_catalog_admin(catalog_admin admin) override {
        last_error_guard keep;
        ::CryptCATAdminReleaseContext(to_native<HCATADMIN>(admin), 0);
    }

    catalog_info next_catalog(catalog_admin admin, const std::uint8_t* hash,
                              std::uint32_t hash_size, catalog_info& previous) override {
        HCATINFO prev = to_native<HCATINFO>(previous);
        HCATINFO next =
            ::CryptCATAdminEnumCatalogFromHash(to_native<HCATADMIN>(admin), const_cast<BYTE*>(hash),
                                               hash_size, 0, prev ? &prev : nullptr);
        previous = from_native(prev);
        return from_native(next);
    }

    void release_catalog(catalog_admin admin, catalog_info catalog) override {
        last_error_guard keep;
        ::CryptCATAdminReleaseCatalogContext(to_native<HCATADMIN>(admin),
                                             to_native<HCATINFO>(catalog), 0);
    }

    bool catalog_file(catalog_info catalog, std::wstring& path, std::uint32_t& error) override {
        CATALOG_INFO info{};
        info.cbStruct = sizeof(info);
        static_assert(sizeof(CATALOG_INFO) == 524);
        if (!::CryptCATCatalogInfoFromContext(to_native<HCATINFO>(catalog), &info, 0)) {
            error = ::GetLastError();
            return false;
        }
        error = 0;
        path = info.wszCatalogFile;
        return true;
    }

    bool query_embedded_signature(const std::wstring& path, cert_store& store,
                                  crypt_message& message, std::uint32_t& error) override {
        DWORD encoding = 0;
        DWORD content = 0;
        DWORD format = 0;
        HCERTSTORE s = nullptr;
        HCRYPTMSG m = nullptr;
        const BOOL ok = ::CryptQueryObject(
            CERT_QUERY_OBJECT_FILE, path.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
            CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &content, &format, &s, &m, nullptr);
        error = ok ? 0 : ::GetLastError();
        store = from_native(s);
        message = from_native(m);
        return ok != FALSE;
    }

    void close_message(crypt_message message) override {
        last_error_guard keep;
        ::CryptMsgClose(to_native<HCRYPTMSG>(message));
    }

    void close_store(cert_store store) override {
        last_error_guard keep;
        ::CertCloseStore(to_native<HCERTSTORE>(store), 0);
    }

    bool signer_info(crypt_message message, void* buffer, std::uint32_t& size,
                     std::uint32_t& error) override {
        DWORD n = size;
        const BOOL ok = ::CryptMsgGetParam(to_native<HCRYPTMSG>(message), CMSG_SIGNER_INFO_PARAM, 0,
                                           buffer, &n);
        error = ok ? 0 : ::GetLastError();
        size = n;
        return ok != FALSE;
    }

    cert_context find_signer_certificate(cert_store store, const void* signer_info,
                                         std::uint32_t& error) override {
        const auto* signer = static_cast<const CMSG_SIGNER_INFO*>(signer_info);
        CERT_INFO wanted{};
        wanted.Issuer = signer->Issuer;
        wanted.SerialNumber = signer->SerialNumber;
        PCCERT_CONTEXT found = ::CertFindCertificateInStore(
            to_native<HCERTSTORE>(store), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
            CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
        error = found ? 0 : ::GetLastError();
        return from_native(found);
    }

    void free_certificate(cert_context certificate) override {
        last_error_guard keep;
        ::CertFreeCertificateContext(native_cert(certificate));
    }

    bool serial_number(cert_context certificate, std::vector<std::uint8_t>& stored) override {
        const CERT_INFO* info = native_cert(certificate)->pCertInfo;
        if (info == nullptr) {
            return false;
        }
        const BYTE* bytes = info->SerialNumber.pbData;
        stored.assign(bytes, bytes + info->SerialNumber.cbData);
        return true;
    }

    std::uint32_t name_string(cert_context certificate, std::uint32_t type, std::uint32_t flags,
                              std::uint32_t capacity, std::wstring& out,
                              std::uint32_t& error) override {
        std::vector<wchar_t> buffer(capacity, L'\0');
        ::SetLastError(0);
        const DWORD n = ::CertGetNameStringW(native_cert(certificate), type, flags, nullptr,
                                             capacity ? buffer.data() : nullptr, capacity);
        error = ::GetLastError();
        out.assign(buffer.begin(), buffer.end());
        return n;
    }
};

}  // namespace

trust& windows_trust_instance() {
    static windows_trust instance;
    return instance;
}

}  // namespace winapi
