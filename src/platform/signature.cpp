#include "platform/signature.h"

#include <cstdint>
#include <new>
#include <vector>

#include "stdext/expected.h"
#include "winapi/facility.h"
#include "winapi/trust.h"
#include "winapi/win_error_category.h"

namespace platform {
namespace {

// How every verification result is read: 0 is trusted; "subject not trusted" is a plain refusal;
// anything else is a refusal that carries the result as its error.
struct trust_outcome {
    bool trusted;
    std::uint32_t error;
};

trust_outcome read_outcome(std::int32_t result) {
    const auto code = static_cast<std::uint32_t>(result);
    if (code == 0) {
        return {true, 0};
    }
    if (code == winapi::trust_e_subject_not_trusted) {
        return {false, 0};
    }
    return {false, code};
}

// Looks the file's hash up in the system catalogs and verifies it against each catalog that lists
// it, until one verifies.
bool verify_through_catalogs(winapi::trust& t, const std::wstring& path, std::uint32_t& error) {
    error = 0;
    winapi::unique_trust_file file(t.open_file(path, error));
    if (!file) {
        return false;
    }

    std::uint32_t hash_size = 0;
    if (!t.calc_file_hash(file.get(), hash_size, nullptr, error) &&
        error != winapi::error_insufficient_buffer) {
        return false;
    }
    winapi::unique_trust_memory hash_block(t.allocate(hash_size));
    if (!hash_block) {
        error = winapi::error_outofmemory;
        return false;
    }
    auto* hash = static_cast<std::uint8_t*>(hash_block.get());
    if (!t.calc_file_hash(file.get(), hash_size, hash, error)) {
        return false;
    }

    winapi::catalog_admin admin_handle = 0;
    if (!t.acquire_catalog_admin(admin_handle, error)) {
        return false;
    }
    winapi::unique_catalog_admin admin(admin_handle);

    // Only the last verification that ran decides the error.
    error = 0;
    winapi::catalog_info previous = 0;
    while (winapi::catalog_info catalog = t.next_catalog(admin.get(), hash, hash_size, previous)) {
        previous = catalog;  // handed back to the enumeration, which releases it
        std::wstring catalog_path;
        std::uint32_t info_error = 0;
        if (!t.catalog_file(catalog, catalog_path, info_error)) {
            continue;
        }
        const trust_outcome outcome =
            read_outcome(t.verify_catalog_member(catalog_path, path, file.get(), hash, hash_size));
        error = outcome.error;
        if (outcome.trusted) {
            t.release_catalog(admin.get(), catalog);
            return true;
        }
    }
    return false;
}

// Reads one simple display name: the first call gives the length with the terminating null, the
// second fills a buffer of that length.
bool read_name(winapi::trust& t, winapi::cert_context certificate, std::uint32_t flags,
               std::wstring& name, std::uint32_t& error) {
    std::wstring buffer;
    const std::uint32_t length =
        t.name_string(certificate, winapi::cert_name_simple_display_type, flags, 0, buffer, error);
    if (length == 0) {
        return false;
    }
    const std::uint32_t written = t.name_string(certificate, winapi::cert_name_simple_display_type,
                                                flags, length, buffer, error);
    if (written == 0) {
        return false;
    }
    if (written == 1) {
        error = winapi::error_not_found;  // only the terminating null: the name is empty
        return false;
    }
    name.assign(buffer, 0, written - 1);
    error = 0;
    return true;
}

std::wstring serial_text(const std::vector<std::uint8_t>& stored) {
    static constexpr wchar_t digits[] = L"0123456789abcdef";
    std::wstring text;
    text.reserve(stored.size() * 2);
    for (auto it = stored.rbegin(); it != stored.rend(); ++it) {
        text.push_back(digits[*it >> 4]);
        text.push_back(digits[*it & 0x0F]);
    }
    return text;
}

// The description of the certificate; all empty with error set when any part cannot be read.
certificate_info describe(winapi::trust& t, winapi::cert_context certificate,
                          std::uint32_t& error) {
    certificate_info info;
    std::vector<std::uint8_t> stored;
    try {
        if (!t.serial_number(certificate, stored)) {
            error = winapi::error_invalid_data;
            return {};
        }
        info.serial_number = serial_text(stored);
    } catch (const std::bad_alloc&) {
        error = winapi::error_not_enough_memory;
        return {};
    }
    error = 0;
    if (!read_name(t, certificate, winapi::cert_name_issuer_flag, info.issuer, error) ||
        !read_name(t, certificate, 0, info.subject, error)) {
        return {};
    }
    return info;
}

certificate_info read_embedded_signer(winapi::trust& t, const std::wstring& path,
                                      std::uint32_t& error) {
    error = 0;
    winapi::cert_store store_handle = 0;
    winapi::crypt_message message_handle = 0;
    const bool found = t.query_embedded_signature(path, store_handle, message_handle, error);
    // Declared in this order so that the message is closed before its store.
    winapi::unique_cert_store store(store_handle);
    winapi::unique_crypt_message message(message_handle);
    if (!found) {
        return {};
    }

    std::uint32_t size = 0;
    if (!t.signer_info(message.get(), nullptr, size, error)) {
        return {};
    }
    winapi::unique_trust_memory signer(t.allocate(size));
    if (!signer) {
        error = winapi::error_not_enough_memory;
        return {};
    }
    if (!t.signer_info(message.get(), signer.get(), size, error)) {
        return {};
    }

    winapi::unique_cert_context certificate(
        t.find_signer_certificate(store.get(), signer.get(), error));
    if (!certificate) {
        // A signer whose certificate is not in the signature (the search ends with "not found")
        // cannot be described; it keeps that error so that no caller takes the empty subject for
        // a signer.
        if (error == 0) {
            error = winapi::crypt_e_not_found;
        }
        return {};
    }
    return describe(t, certificate.get(), error);
}

}  // namespace

bool verify_signature(const std::wstring& path, std::error_code& error) {
    error.clear();
    winapi::trust& t = winapi::facility<winapi::trust>::get();
    try {
        if (read_outcome(t.verify_file(path)).trusted) {
            return true;
        }
        // Not trusted or failed (for example no embedded signature): the catalogs decide, and
        // the embedded check's error is not kept.
        std::uint32_t code = 0;
        const bool verified = verify_through_catalogs(t, path, code);
        if (code != 0) {
            error = winapi::make_win_error(code);
        }
        return verified;
    } catch (const std::bad_alloc&) {
        error = winapi::make_win_error(winapi::error_outofmemory);
        return false;
    }
}

bool verify_signature(const std::wstring& path) {
    std::error_code error;
    const bool verified = verify_signature(path, error);
    if (error) {
        throw std::system_error(error, "verify_signature failed");
    }
    return verified;
}

certificate_info get_signature(const std::wstring& path, std::error_code& error) {
    error.clear();
    winapi::trust& t = winapi::facility<winapi::trust>::get();
    std::uint32_t code = 0;
    certificate_info info;
    try {
        info = read_embedded_signer(t, path, code);
    } catch (const std::bad_alloc&) {
        code = winapi::error_not_enough_memory;
    }
    if (code != 0) {
        error = winapi::make_win_error(code);
        return {};
    }
    return info;
}

certificate_info get_signature(const std::wstring& path) {
    std::error_code error;
    certificate_info info = get_signature(path, error);
    if (error) {
        throw std::system_error(error, "get_signature failed");
    }
    return info;
}

}  // namespace platform
