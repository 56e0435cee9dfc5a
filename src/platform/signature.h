// Signature inspection of files on disk: does Windows trust the file (its embedded signature or,
// failing that, a system catalog that lists its hash), and who signed its embedded signature.
// Each operation has a non-raising form, which reports a Windows error number (or the result of
// the trust verification) in the "win_error" category, and a raising form built on it.
#pragma once

#include <string>
#include <system_error>

namespace platform {

// The signer certificate of an embedded signature. All three are empty when it could not be read.
struct certificate_info {
    std::wstring serial_number;  // lower-case hex, most significant byte first
    std::wstring issuer;         // the issuer's simple display name
    std::wstring subject;        // the subject's simple display name

    bool operator==(const certificate_info&) const = default;
};

// True when the embedded signature or a catalog signature verifies. A file that is plainly not
// trusted gives false without an error; error is set when a call failed or the verification
// reported a failure of its own.
bool verify_signature(const std::wstring& path, std::error_code& error);
// The same; raises a system_error when the non-raising form reports an error.
bool verify_signature(const std::wstring& path);

// The signer of the file's embedded signature; all empty with error set when it cannot be read.
certificate_info get_signature(const std::wstring& path, std::error_code& error);
// The same; raises a system_error "get_signature failed" with the error.
certificate_info get_signature(const std::wstring& path);

}  // namespace platform
