#include <gtest/gtest.h>

#include <string>
#include <system_error>
#include <vector>

#include "fakes/fake_machine.h"
#include "fakes/raised.h"
#include "platform/signature.h"
#include "winapi/win_error_category.h"

namespace {

constexpr std::int32_t trusted = 0;
constexpr auto not_trusted = static_cast<std::int32_t>(winapi::trust_e_subject_not_trusted);
constexpr auto bad_digest = static_cast<std::int32_t>(winapi::trust_e_bad_digest);
constexpr std::uint32_t expired = 0x800B0101u;
const std::wstring file = L"C:\\Program Files\\Valdrin\\log.dll";

struct verify_case {
    const char* name;
    std::int32_t embedded;
    std::vector<std::int32_t> catalogs;
    bool verified;
    std::uint32_t error;  // 0: none
    int catalogs_verified;
};

class VerifySignature : public fakes::machine_test,
                        public ::testing::WithParamInterface<verify_case> {};

TEST_P(VerifySignature, EmbeddedFirstThenTheCatalogsUntilOneVerifies) {
    const verify_case& c = GetParam();
    machine.trust.files[file] = {c.embedded, c.catalogs};
    const auto verified = platform::try_verify_signature(file);
    EXPECT_EQ(verified ? 0u : static_cast<std::uint32_t>(verified.error().code.value()), c.error);
    EXPECT_EQ(verified.value_or(false), c.verified);
    if (c.error != 0) {
        EXPECT_THROW((void)platform::verify_signature(file), std::system_error);
    } else {
        EXPECT_EQ(platform::verify_signature(file), c.verified);
    }
    EXPECT_EQ(machine.trust.catalogs_verified, 2 * c.catalogs_verified);  // both forms walk
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, VerifySignature,
    ::testing::Values(
        verify_case{"EmbeddedTrustedNeedsNoCatalog", trusted, {bad_digest}, true, 0, 0},
        verify_case{"EmbeddedNotTrustedStillGetsTheCatalogs", not_trusted, {trusted}, true, 0, 1},
        verify_case{"EmbeddedErrorIsNotKept", bad_digest, {}, false, 0, 0},
        verify_case{"LastCatalogPlainRefusalLeavesNoError",
                    bad_digest,
                    {bad_digest, not_trusted},
                    false,
                    0,
                    2},
        verify_case{"LastCatalogErrorIsTheError",
                    not_trusted,
                    {not_trusted, int(expired)},
                    false,
                    expired,
                    2},
        verify_case{
            "FirstTrustedCatalogEndsTheWalk", bad_digest, {bad_digest, trusted, 1}, true, 0, 2}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

using Signature = fakes::machine_test;

TEST_F(Signature, StepErrorsReachBothForms) {
    const auto missing = platform::try_verify_signature(L"C:\\nowhere\\gone.dll");
    EXPECT_EQ(missing.error().code, winapi::make_win_error(winapi::error_file_not_found));

    machine.trust.files[file].signer = winapi::certificate_fields{{1}, L"Root", L"Signer"};
    machine.faults.fail("signer_certificate", 1, winapi::crypt_e_not_found);
    EXPECT_EQ(platform::try_get_signature(file).error().code,
              winapi::make_win_error(winapi::crypt_e_not_found));
    machine.faults.fail("signer_certificate", 2, winapi::error_invalid_data);
    const auto invalid = fakes::raised([&] { (void)platform::get_signature(file); });
    EXPECT_EQ(
        invalid.rfind(
            "system " + std::to_string(winapi::error_invalid_data) + ": get_signature failed: ", 0),
        0u)
        << invalid;
}

TEST_F(Signature, SerialNumberMostSignificantByteFirst) {
    machine.trust.files[file].signer =
        winapi::certificate_fields{{0x0A, 0x00, 0xFF}, L"Valdrin Root CA", L"Valdrin Labs"};
    const platform::certificate_info expected{L"ff000a", L"Valdrin Root CA", L"Valdrin Labs"};
    EXPECT_EQ(platform::try_get_signature(file).value(), expected);
    EXPECT_EQ(platform::get_signature(file), expected);
}

}  // namespace
