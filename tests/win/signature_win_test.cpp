#include <gtest/gtest.h>

#include <string>

#include "platform/signature.h"
#include "stdext/utf.h"
#include "win/support.h"
#include "winapi/facility.h"
#include "winapi/trust.h"
#include "winapi/win_error_category.h"

namespace {

// The samples come from make_signed_samples.sh, run by ctest before this program. Wine's
// verification does not ask for a trusted root, so the test signer's files verify.
struct sample_case {
    const wchar_t* name;
    std::uint32_t embedded;      // WinVerifyTrust on the embedded signature
    std::uint32_t verify_error;  // 0: a plain answer
    bool verified;
    const char* signer_step;  // the step that fails to read the signer; null: it is read
};

class SignatureWin : public ::testing::TestWithParam<sample_case> {};

TEST_P(SignatureWin, VerdictAndSigner) {
    const sample_case& c = GetParam();
    const std::wstring path = wintest::env_path("WARDEX_SAMPLES_DIR", c.name);
    ASSERT_FALSE(path.empty()) << "WARDEX_SAMPLES_DIR is not set";
    auto& trust = winapi::facility<winapi::trust>::get();
    EXPECT_EQ(static_cast<std::uint32_t>(trust.verify_embedded(path)), c.embedded);

    const auto verified = platform::try_verify_signature(path);
    EXPECT_EQ(verified ? 0u : static_cast<std::uint32_t>(verified.error().code.value()),
              c.verify_error);
    EXPECT_EQ(verified ? "" : verified.error().text, c.verify_error ? "CreateFileW" : "");
    EXPECT_EQ(verified.value_or(false), c.verified);

    const auto signer = platform::try_get_signature(path);
    if (c.signer_step != nullptr) {
        EXPECT_EQ(signer.error().text, c.signer_step);
        EXPECT_NE(signer.error().code.value(), 0);
        return;
    }
    std::string serial = wintest::read_all(wintest::env_path("WARDEX_SAMPLES_DIR", L"serial.txt"));
    serial.erase(serial.find_last_not_of("\r\n") + 1);
    EXPECT_EQ(signer.value(),
              (platform::certificate_info{stdext::utf8_to_wide(serial),
                                          L"Wardex Test Signer Test Root", L"Wardex Test Signer"}));
}

INSTANTIATE_TEST_SUITE_P(
    Samples, SignatureWin,
    ::testing::Values(sample_case{L"signed.exe", 0, 0, true, nullptr},
                      // Reading the signer does not check the content.
                      sample_case{L"tampered.exe", winapi::trust_e_bad_digest, 0, false, nullptr},
                      sample_case{L"unsigned.exe", winapi::trust_e_nosignature, 0, false,
                                  "CryptQueryObject"},
                      // Wine answers a missing file with the open error itself.
                      sample_case{L"missing.exe", winapi::error_file_not_found,
                                  winapi::error_file_not_found, false, "CryptQueryObject"}),
    [](const auto& param_info) {
        const std::string name = stdext::wide_to_utf8(param_info.param.name);
        return name.substr(0, name.find('.'));
    });

}  // namespace
