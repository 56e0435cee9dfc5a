#include <gtest/gtest.h>

#include <string>
#include <system_error>
#include <vector>

#include "fakes/fake_machine.h"
#include "fakes/raised.h"
#include "platform/signature.h"
#include "winapi/win_error_category.h"

namespace {

// Verification results as Windows numbers them: trusted, subject not trusted, bad digest, and
// an expired certificate.
constexpr std::int32_t trusted = 0, not_trusted = std::int32_t(0x800B0004u),
                       bad_digest = std::int32_t(0x80096010u), expired = std::int32_t(0x800B0101u);
const std::wstring file = L"C:\\Program Files\\Valdrin\\log.dll";

using Signature = fakes::machine_test;

TEST_F(Signature, EmbeddedFirstThenTheCatalogsUntilOneVerifies) {
    const struct {
        const char* name;
        std::int32_t embedded;
        std::vector<std::int32_t> catalogs;
        bool verified;
        std::int32_t error;  // 0: none
        int catalogs_verified;
    } cases[] = {
        {"embedded trusted needs no catalog", trusted, {bad_digest}, true, 0, 0},
        {"embedded not trusted still gets the catalogs", not_trusted, {trusted}, true, 0, 1},
        {"embedded error is not kept", bad_digest, {}, false, 0, 0},
        {"a plain last refusal: no error", bad_digest, {bad_digest, not_trusted}, false, 0, 2},
        {"the last catalog's error stays", not_trusted, {not_trusted, expired}, false, expired, 2},
        {"first trusted catalog ends the walk", bad_digest, {bad_digest, trusted, 1}, true, 0, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        machine.trust.files[file] = {c.embedded, c.catalogs};
        machine.trust.catalogs_verified = 0;
        const auto verified = platform::try_verify_signature(file);
        EXPECT_EQ(verified ? 0 : verified.error().code.value(), c.error);
        EXPECT_EQ(verified.value_or(false), c.verified);
        if (c.error != 0) {
            EXPECT_THROW((void)platform::verify_signature(file), std::system_error);
        } else {
            EXPECT_EQ(platform::verify_signature(file), c.verified);
        }
        EXPECT_EQ(machine.trust.catalogs_verified, 2 * c.catalogs_verified);  // both forms walk
    }
}

TEST_F(Signature, SerialNumberMostSignificantByteFirstAndStepErrorsReachBothForms) {
    machine.trust.files[file].signer =
        winapi::certificate_fields{{0x0A, 0x00, 0xFF}, L"Valdrin Root CA", L"Valdrin Labs"};
    const platform::certificate_info expected{L"ff000a", L"Valdrin Root CA", L"Valdrin Labs"};
    EXPECT_EQ(platform::try_get_signature(file).value(), expected);
    EXPECT_EQ(platform::get_signature(file), expected);

    machine.faults.fail("signer_certificate", 3, 0x80092004u);
    EXPECT_EQ(platform::try_get_signature(file).error().code, winapi::make_win_error(0x80092004u));
    machine.faults.fail("signer_certificate", 4, 13);
    EXPECT_EQ(fakes::raised([&] { (void)platform::get_signature(file); }),
              "system 13: get_signature failed: unknown error 13");
    const auto missing = platform::try_verify_signature(L"C:\\nowhere\\gone.dll");
    EXPECT_EQ(missing.error().code, winapi::make_win_error(2));
}

}  // namespace
