// The trust facility: a thin layer over WinTrust, the catalog administration functions and the
// certificate calls that signature inspection needs. Handles are opaque numbers (0 = none); every
// call that can fail reports the thread's last error after it, exactly as Windows left it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "winapi/facility_handle.h"

namespace winapi {

using trust_file = std::uintptr_t;     // an open file (CreateFileW); 0 when the open failed
using catalog_admin = std::uintptr_t;  // HCATADMIN
using catalog_info = std::uintptr_t;   // HCATINFO
using cert_store = std::uintptr_t;     // HCERTSTORE
using crypt_message = std::uintptr_t;  // HCRYPTMSG
using cert_context = std::uintptr_t;   // PCCERT_CONTEXT

// WinVerifyTrust results and certificate constants used by the program.
inline constexpr std::uint32_t trust_e_subject_not_trusted = 0x800B0004u;
inline constexpr std::uint32_t trust_e_nosignature = 0x800B0100u;
inline constexpr std::uint32_t trust_e_bad_digest = 0x80096010u;
inline constexpr std::uint32_t crypt_e_not_found = 0x80092004u;
inline constexpr std::uint32_t crypt_e_no_match = 0x80092009u;
inline constexpr std::uint32_t cert_name_simple_display_type = 4;
inline constexpr std::uint32_t cert_name_issuer_flag = 1;

class trust {
public:
    virtual ~trust() = default;

    // WinVerifyTrust(no window, WINTRUST_ACTION_GENERIC_VERIFY_V2) over WTD_CHOICE_FILE for the
    // path, without UI, revocation checks or state. Returns the call's result as it stands.
    virtual std::int32_t verify_file(const std::wstring& path) = 0;
    // The same call over WTD_CHOICE_CATALOG: the member file (path and open handle) with its
    // computed hash, in the catalog file, with provider flags WTD_SAFER_FLAG |
    // WTD_CACHE_ONLY_URL_RETRIEVAL.
    virtual std::int32_t verify_catalog_member(const std::wstring& catalog_path,
                                               const std::wstring& member_path, trust_file member,
                                               const std::uint8_t* hash,
                                               std::uint32_t hash_size) = 0;

    // CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, none, OPEN_EXISTING,
    // FILE_ATTRIBUTE_NORMAL). Returns 0 and sets error on failure.
    virtual trust_file open_file(const std::wstring& path, std::uint32_t& error) = 0;
    virtual void close_file(trust_file file) = 0;

    // Memory for the buffers the calls below fill; null when none is available.
    virtual void* allocate(std::size_t size) noexcept = 0;
    virtual void free_memory(void* block) noexcept = 0;

    // CryptCATAdminCalcHashFromFileHandle(file, &size, buffer, 0): size is the buffer size on
    // entry (0 with no buffer to ask for it) and the hash size on return.
    virtual bool calc_file_hash(trust_file file, std::uint32_t& size, std::uint8_t* buffer,
                                std::uint32_t& error) = 0;
    // CryptCATAdminAcquireContext(&admin, no subsystem, 0).
    virtual bool acquire_catalog_admin(catalog_admin& admin, std::uint32_t& error) = 0;
    // CryptCATAdminReleaseContext(admin, 0).
    virtual void release_catalog_admin(catalog_admin admin) = 0;
    // CryptCATAdminEnumCatalogFromHash(admin, hash, size, 0, &previous): the next catalog that
    // lists the hash, or 0 when there is none. A previous catalog passed in is released by the
    // enumeration; a catalog at which the caller stops must be released by the caller.
    virtual catalog_info next_catalog(catalog_admin admin, const std::uint8_t* hash,
                                      std::uint32_t hash_size, catalog_info& previous) = 0;
    // CryptCATAdminReleaseCatalogContext(admin, catalog, 0).
    virtual void release_catalog(catalog_admin admin, catalog_info catalog) = 0;
    // CryptCATCatalogInfoFromContext with a CATALOG_INFO of 524 bytes: the catalog's file path.
    virtual bool catalog_file(catalog_info catalog, std::wstring& path, std::uint32_t& error) = 0;

    // CryptQueryObject(CERT_QUERY_OBJECT_FILE, path, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
    // CERT_QUERY_FORMAT_FLAG_BINARY, 0, ...): the certificate store and the message of the
    // embedded signature.
    virtual bool query_embedded_signature(const std::wstring& path, cert_store& store,
                                          crypt_message& message, std::uint32_t& error) = 0;
    virtual void close_message(crypt_message message) = 0;  // CryptMsgClose
    virtual void close_store(cert_store store) = 0;         // CertCloseStore(store, 0)

    // CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, buffer, &size): the first signer's
    // information. With no buffer it gives the size.
    virtual bool signer_info(crypt_message message, void* buffer, std::uint32_t& size,
                             std::uint32_t& error) = 0;
    // CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
    // CERT_FIND_SUBJECT_CERT, issuer and serial number of the signer information, none).
    // Returns 0 and sets error when it finds none.
    virtual cert_context find_signer_certificate(cert_store store, const void* signer_info,
                                                 std::uint32_t& error) = 0;
    virtual void free_certificate(cert_context certificate) = 0;  // CertFreeCertificateContext

    // The serial number bytes of the certificate in storage order (least significant first).
    // False when the context carries no certificate information.
    virtual bool serial_number(cert_context certificate, std::vector<std::uint8_t>& stored) = 0;
    // CertGetNameStringW(certificate, type, flags, none, buffer, capacity): returns the count
    // the call returned (characters with the terminating null); out holds the `capacity`
    // characters of the buffer (nothing when capacity is 0). Sets error after the call.
    virtual std::uint32_t name_string(cert_context certificate, std::uint32_t type,
                                      std::uint32_t flags, std::uint32_t capacity,
                                      std::wstring& out, std::uint32_t& error) = 0;
};

// Owners of the facility's handles; each releases through the installed trust facility.
using unique_trust_file = facility_handle<trust, trust_file, &trust::close_file>;
using unique_catalog_admin = facility_handle<trust, catalog_admin, &trust::release_catalog_admin>;
using unique_cert_store = facility_handle<trust, cert_store, &trust::close_store>;
using unique_crypt_message = facility_handle<trust, crypt_message, &trust::close_message>;
using unique_cert_context = facility_handle<trust, cert_context, &trust::free_certificate>;
using unique_trust_memory = facility_handle<trust, void*, &trust::free_memory>;

}  // namespace winapi
