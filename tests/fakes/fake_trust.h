// Files with the verdicts Windows gives on their signatures and the certificates of their signers.
// Any operation can be made to fail through the fault plan.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fakes/kit.h"
#include "winapi/trust.h"

namespace fakes {

class fake_trust final : public winapi::trust, public fake_base {
public:
    struct file {
        std::int32_t embedded = static_cast<std::int32_t>(winapi::trust_e_nosignature);
        std::vector<std::int32_t> catalogs{};  // each listing catalog's result, in walk order
        std::optional<winapi::certificate_fields> signer{};  // none: no embedded signature
    };

    using fake_base::fake_base;

    std::map<std::wstring, file> files;  // by exact path
    int catalogs_verified = 0;

    std::int32_t verify_embedded(const std::wstring& path) override {
        if (auto fault = check("verify_embedded")) {
            return static_cast<std::int32_t>(fault->code.value());
        }
        auto it = files.find(path);
        return it == files.end() ? static_cast<std::int32_t>(winapi::trust_e_nosignature)
                                 : it->second.embedded;
    }

    std::int32_t verify_embedded_with_state(const std::wstring& path) override {
        return verify_embedded(path);
    }

    stdext::expected<void> verify_in_catalogs(
        const std::wstring& path, const std::function<bool(std::int32_t)>& on_result) override {
        if (auto fault = check("verify_in_catalogs")) {
            return stdext::unexpected(*fault);
        }
        auto it = files.find(path);
        if (it == files.end()) {
            return stdext::unexpected(
                winapi::win_failure(winapi::error_file_not_found, "CreateFileW"));
        }
        for (const std::int32_t result : it->second.catalogs) {
            ++catalogs_verified;
            if (on_result(result)) {
                break;
            }
        }
        return {};
    }

    stdext::expected<winapi::certificate_fields> signer_certificate(
        const std::wstring& path) override {
        if (auto fault = check("signer_certificate")) {
            return stdext::unexpected(*fault);
        }
        auto it = files.find(path);
        if (it == files.end() || !it->second.signer) {
            return stdext::unexpected(
                winapi::win_failure(winapi::crypt_e_no_match, "CryptQueryObject"));
        }
        return *it->second.signer;
    }
};

}  // namespace fakes
