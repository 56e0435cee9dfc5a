#include "platform/signature.h"

#include <cstdint>
#include <new>
#include <system_error>
#include <vector>

#include "stdext/raise.h"
#include "winapi/facility.h"
#include "winapi/trust.h"
#include "winapi/win_error_category.h"

namespace platform {
namespace {

// How every verification result is read: 0 is trusted; "subject not trusted" is a plain refusal;
// anything else is a refusal that carries the result as its error.
struct trust_outcome {
    bool trusted = false;
    std::uint32_t error = 0;
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

stdext::expected<bool> verify(const std::wstring& path) {
    winapi::trust& t = winapi::facility<winapi::trust>::get();
    if (read_outcome(t.verify_embedded(path)).trusted) {
        return true;
    }
    // Not trusted or failed (for example no embedded signature): the catalogs decide, and the
    // embedded check's error is not kept. Only the last catalog verification that ran decides
    // the error; none at all leaves a plain false.
    trust_outcome last;
    return t
        .verify_in_catalogs(path,
                            [&last](std::int32_t result) {
                                last = read_outcome(result);
                                return last.trusted;
                            })
        .and_then([&last]() -> stdext::expected<bool> {
            if (last.error != 0) {
                return stdext::unexpected(winapi::win_failure(last.error, "WinVerifyTrust"));
            }
            return last.trusted;
        });
}

}  // namespace

stdext::expected<bool> try_verify_signature(const std::wstring& path) {
    try {
        return verify(path);
    } catch (const std::bad_alloc&) {
        return stdext::unexpected(winapi::win_failure(winapi::error_outofmemory, "memory"));
    }
}

bool verify_signature(const std::wstring& path) {
    return stdext::value_or_raise(try_verify_signature(path), "verify_signature failed");
}

stdext::expected<certificate_info> try_get_signature(const std::wstring& path) {
    try {
        return winapi::facility<winapi::trust>::get().signer_certificate(path).transform(
            [](auto&& fields) {
                return certificate_info{serial_text(fields.serial_stored), std::move(fields.issuer),
                                        std::move(fields.subject)};
            });
    } catch (const std::bad_alloc&) {
        return stdext::unexpected(winapi::win_failure(winapi::error_not_enough_memory, "memory"));
    }
}

certificate_info get_signature(const std::wstring& path) {
    return stdext::value_or_raise(try_get_signature(path), "get_signature failed");
}

}  // namespace platform
