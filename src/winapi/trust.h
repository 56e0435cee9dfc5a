// The trust facility: what Windows says about a file's signature. The embedded signature's
// verification, the verification of the file through each system catalog that lists its hash,
// and the signer certificate of the embedded signature.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "stdext/expected.h"

namespace winapi {

// WinVerifyTrust results and certificate search results the program reads.
inline constexpr std::uint32_t trust_e_subject_not_trusted = 0x800B0004u;
inline constexpr std::uint32_t trust_e_nosignature = 0x800B0100u;
inline constexpr std::uint32_t trust_e_bad_digest = 0x80096010u;
inline constexpr std::uint32_t crypt_e_not_found = 0x80092004u;
inline constexpr std::uint32_t crypt_e_no_match = 0x80092009u;

// The signer certificate of an embedded signature as the certificate holds it.
struct certificate_fields {
    std::vector<std::uint8_t> serial_stored;  // least significant byte first
    std::wstring issuer;                      // the issuer's simple display name
    std::wstring subject;                     // the subject's simple display name

    bool operator==(const certificate_fields&) const = default;
};

class trust {
public:
    virtual ~trust() = default;

    // WinVerifyTrust(no window, WINTRUST_ACTION_GENERIC_VERIFY_V2) over the file's embedded
    // signature, without UI, revocation checks or state: the call's result as it stands.
    [[nodiscard]] virtual std::int32_t verify_embedded(const std::wstring& path) = 0;
    // The same verification keeping the provider's state (state action verify), then a second
    // call that closes the state: the first call's result.
    [[nodiscard]] virtual std::int32_t verify_embedded_with_state(const std::wstring& path) = 0;

    // Opens the file, computes its catalog hash and walks the system catalogs that list it. For
    // each catalog whose information is readable it verifies the file as a member of that
    // catalog (WinVerifyTrust with WTD_SAFER_FLAG | WTD_CACHE_ONLY_URL_RETRIEVAL) and hands the
    // result to on_result; on_result answering true ends the walk. An error names the step
    // (open, hash, memory, catalog administration) that kept the walk from starting.
    [[nodiscard]] virtual stdext::expected<void> verify_in_catalogs(
        const std::wstring& path, const std::function<bool(std::int32_t result)>& on_result) = 0;

    // The first signer's certificate of the file's embedded signature, with its serial number,
    // issuer and subject. The error's code is the failing step's: the last error of
    // CryptQueryObject, CryptMsgGetParam, CertFindCertificateInStore (CRYPT_E_NOT_FOUND when the
    // signer's certificate is not in the signature) or CertGetNameStringW; 8 when memory for the
    // signer information is lacking; 13 for a certificate without certificate information; 1168
    // for an empty name.
    [[nodiscard]] virtual stdext::expected<certificate_fields> signer_certificate(
        const std::wstring& path) = 0;
};

}  // namespace winapi
