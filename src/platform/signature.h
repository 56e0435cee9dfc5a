// Signature inspection of files on disk: does Windows trust the file (its embedded signature or,
// failing that, a system catalog that lists its hash), and who signed its embedded signature.
// Each operation has a non-raising form, whose error carries a Windows error number (or the
// result of the trust verification) in the "win_error" category, and a raising form built on it.
#pragma once

#include <string>

#include "stdext/expected.h"

namespace platform {

// The signer certificate of an embedded signature.
struct certificate_info {
    std::wstring serial_number;  // lower-case hex, most significant byte first
    std::wstring issuer;         // the issuer's simple display name
    std::wstring subject;        // the subject's simple display name

    bool operator==(const certificate_info&) const = default;
};

// True when the embedded signature or a catalog signature verifies. A file that is plainly not
// trusted gives false without an error; the error comes from a failed step or from a
// verification that reported a failure of its own.
stdext::expected<bool> try_verify_signature(const std::wstring& path);
// The same; raises a system_error "verify_signature failed" with the error's code.
bool verify_signature(const std::wstring& path);

// The signer of the file's embedded signature.
stdext::expected<certificate_info> try_get_signature(const std::wstring& path);
// The same; raises a system_error "get_signature failed" with the error's code.
certificate_info get_signature(const std::wstring& path);

}  // namespace platform
