#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/utf.h"
#include "logging/win_error_category.h"
#include "platform/signature.h"

namespace {

// The samples come from make_signed_samples.sh, run by ctest before this program.
class SignatureWin : public ::testing::Test {
protected:
    void SetUp() override {
        const char* dir = std::getenv("WARDEX_SAMPLES_DIR");
        if (dir == nullptr || *dir == '\0') {
            GTEST_SKIP() << "WARDEX_SAMPLES_DIR is not set";
        }
        folder_ = text::utf8_to_wide(dir);
    }

    std::wstring sample(const wchar_t* name) const { return folder_ + L"\\" + name; }

    std::wstring expected_serial() const {
        std::ifstream in(std::filesystem::path(folder_) / L"serial.txt");
        std::string serial;
        std::getline(in, serial);
        return text::utf8_to_wide(serial);
    }

    std::wstring folder_;
    std::error_code error;
};

TEST_F(SignatureWin, SignedFileVerifiesAndNamesItsSigner) {
    EXPECT_TRUE(winapi::verify_signature(sample(L"signed.exe"), error));
    EXPECT_FALSE(error) << error.message();

    const winapi::certificate_info info = winapi::get_signature(sample(L"signed.exe"), error);
    EXPECT_FALSE(error) << error.message();
    EXPECT_EQ(info.subject, L"Wardex Test Signer");
    EXPECT_EQ(info.issuer, L"Wardex Test Signer Test Root");
    EXPECT_EQ(info.serial_number, expected_serial());
    EXPECT_FALSE(info.serial_number.empty());
}

TEST_F(SignatureWin, UnsignedFileIsNotTrustedAndHasNoSigner) {
    // No embedded signature and no catalog lists it: a plain false.
    EXPECT_FALSE(winapi::verify_signature(sample(L"unsigned.exe"), error));
    EXPECT_FALSE(error) << error.message();
    EXPECT_FALSE(winapi::verify_signature(sample(L"unsigned.exe")));

    EXPECT_EQ(winapi::get_signature(sample(L"unsigned.exe"), error), winapi::certificate_info{});
    EXPECT_TRUE(error);
    EXPECT_EQ(error.category(), winapi::win_error_category());
    EXPECT_THROW(winapi::get_signature(sample(L"unsigned.exe")), std::system_error);
}

TEST_F(SignatureWin, TamperedFileIsNotTrustedButKeepsItsSigner) {
    EXPECT_FALSE(winapi::verify_signature(sample(L"tampered.exe"), error));
    EXPECT_FALSE(error) << error.message();

    // Reading the signer does not check the content.
    const winapi::certificate_info info = winapi::get_signature(sample(L"tampered.exe"), error);
    EXPECT_FALSE(error) << error.message();
    EXPECT_EQ(info.subject, L"Wardex Test Signer");
}

TEST_F(SignatureWin, MissingFileReportsTheOpenError) {
    const std::wstring missing = sample(L"missing.exe");
    EXPECT_FALSE(winapi::verify_signature(missing, error));
    EXPECT_EQ(error, winapi::make_win_error(2));
    EXPECT_THROW(winapi::verify_signature(missing), std::system_error);

    EXPECT_EQ(winapi::get_signature(missing, error), winapi::certificate_info{});
    EXPECT_TRUE(error);
    try {
        winapi::get_signature(missing);
        ADD_FAILURE() << "the raising form must raise";
    } catch (const std::system_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("get_signature failed", 0), 0u) << e.what();
    }
}

}  // namespace
