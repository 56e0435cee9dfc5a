#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/signature.h"
#include "stdext/utf.h"
#include "winapi/win_error_category.h"

namespace {

// The samples come from make_signed_samples.sh, run by ctest before this program.
class SignatureWin : public ::testing::Test {
protected:
    void SetUp() override {
        const char* dir = std::getenv("WARDEX_SAMPLES_DIR");
        if (dir == nullptr || *dir == '\0') {
            GTEST_SKIP() << "WARDEX_SAMPLES_DIR is not set";
        }
        folder_ = stdext::utf8_to_wide(dir);
    }

    std::wstring sample(const wchar_t* name) const { return folder_ + L"\\" + name; }

    std::wstring folder_;
    std::error_code error;
};

TEST_F(SignatureWin, SignedFileVerifiesAndNamesItsSigner) {
    EXPECT_TRUE(platform::verify_signature(sample(L"signed.exe"), error));
    EXPECT_FALSE(error) << error.message();

    std::ifstream serial_file(std::filesystem::path(folder_) / L"serial.txt");
    std::string serial;
    std::getline(serial_file, serial);
    ASSERT_FALSE(serial.empty());
    EXPECT_EQ(platform::get_signature(sample(L"signed.exe"), error),
              (platform::certificate_info{stdext::utf8_to_wide(serial),
                                          L"Wardex Test Signer Test Root", L"Wardex Test Signer"}));
    EXPECT_FALSE(error) << error.message();

    // A tampered copy is plainly not trusted, and reading its signer does not check the content.
    EXPECT_FALSE(platform::verify_signature(sample(L"tampered.exe"), error));
    EXPECT_FALSE(error) << error.message();
    EXPECT_EQ(platform::get_signature(sample(L"tampered.exe"), error).subject,
              L"Wardex Test Signer");
    EXPECT_FALSE(error) << error.message();
}

TEST_F(SignatureWin, UnsignedAndMissingFiles) {
    // No embedded signature and no catalog lists it: a plain false.
    EXPECT_FALSE(platform::verify_signature(sample(L"unsigned.exe"), error));
    EXPECT_FALSE(error) << error.message();
    EXPECT_EQ(platform::get_signature(sample(L"unsigned.exe"), error),
              platform::certificate_info{});
    EXPECT_EQ(error.category(), winapi::win_error_category());
    EXPECT_NE(error.value(), 0);

    const std::wstring missing = sample(L"missing.exe");
    EXPECT_FALSE(platform::verify_signature(missing, error));
    EXPECT_EQ(error, winapi::make_win_error(2));
    EXPECT_EQ(platform::get_signature(missing, error), platform::certificate_info{});
    EXPECT_TRUE(error);
}

}  // namespace
