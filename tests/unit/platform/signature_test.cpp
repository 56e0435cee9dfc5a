#include <gtest/gtest.h>

#include <functional>

#include "base/error.h"
#include "base/facility.h"
#include "fakes/fake_trust.h"
#include "logging/win_error_category.h"
#include "platform/signature.h"

namespace {

using fakes::fake_trust;
using winapi::certificate_info;

constexpr auto as_result(std::uint32_t code) {
    return static_cast<std::int32_t>(code);
}

fake_trust::cert_model signer(std::vector<std::uint8_t> serial, std::wstring issuer,
                              std::wstring subject) {
    fake_trust::cert_model c;
    c.serial_stored = std::move(serial);
    c.issuer = std::move(issuer);
    c.subject = std::move(subject);
    return c;
}

// Every test ends with each handle and buffer released exactly once.
class Signature : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_EQ(trust.open_handles(), 0);
        EXPECT_EQ(trust.bad_releases, 0);
    }

    bool verify(const std::wstring& path) { return winapi::verify_signature(path, error); }
    certificate_info signer_of(const std::wstring& path) {
        return winapi::get_signature(path, error);
    }

    fake_trust trust;
    winapi::scoped_facility<winapi::trust> use{trust};
    std::error_code error;
    const std::wstring file = L"C:\\Program Files\\Valdrin\\log.dll";
};

TEST_F(Signature, TrustedEmbeddedSignatureNeedsNoCatalog) {
    trust.add_signed(file, {});
    trust.add_catalog(L"C:\\cat\\a.cat", {file}, as_result(winapi::trust_e_bad_digest));
    EXPECT_TRUE(verify(file));
    EXPECT_FALSE(error);
    EXPECT_EQ(trust.opened, 0);
}

TEST_F(Signature, CatalogDecidesWhenEmbeddedCheckFails) {
    // Unsigned, listed in a catalog: the catalog verifies.
    trust.add_unsigned(file);
    trust.add_catalog(L"C:\\cat\\a.cat", {file});
    EXPECT_TRUE(verify(file));
    EXPECT_FALSE(error);

    // An embedded signature that is not trusted still gets the catalog check.
    trust.add_signed(file, {}).embedded_result = as_result(winapi::trust_e_subject_not_trusted);
    trust.catalogs_verified.clear();
    EXPECT_TRUE(verify(file));
    EXPECT_EQ(trust.catalogs_verified, std::vector<std::wstring>{L"C:\\cat\\a.cat"});

    // A tampered file that no catalog lists: false, and the embedded error is not kept.
    const std::wstring other = L"C:\\x\\other.dll";
    trust.add_tampered(other, {});
    EXPECT_FALSE(verify(other));
    EXPECT_FALSE(error);
}

TEST_F(Signature, CatalogWalkKeepsTheLastVerificationsError) {
    trust.add_unsigned(file);
    trust.add_catalog(L"C:\\cat\\unreadable.cat", {file}).readable = false;
    trust.add_catalog(L"C:\\cat\\other.cat", {});
    trust.add_catalog(L"C:\\cat\\expired.cat", {file}, as_result(0x800B0101u));
    trust.add_catalog(L"C:\\cat\\refused.cat", {file},
                      as_result(winapi::trust_e_subject_not_trusted));
    EXPECT_FALSE(verify(file));
    EXPECT_FALSE(error) << "a plain refusal by the last catalog leaves no error";
    EXPECT_EQ(trust.catalogs_verified,
              (std::vector<std::wstring>{L"C:\\cat\\expired.cat", L"C:\\cat\\refused.cat"}));

    trust.add_catalog(L"C:\\cat\\bad.cat", {file}, as_result(winapi::trust_e_bad_digest));
    EXPECT_FALSE(verify(file));
    EXPECT_EQ(error, winapi::make_win_error(winapi::trust_e_bad_digest));

    // A catalog that verifies ends the walk, whatever follows it.
    trust.add_catalog(L"C:\\cat\\good.cat", {file});
    trust.add_catalog(L"C:\\cat\\late.cat", {file});
    trust.catalogs_verified.clear();
    EXPECT_TRUE(verify(file));
    EXPECT_FALSE(error);
    EXPECT_EQ(trust.catalogs_verified.back(), L"C:\\cat\\good.cat");
}

TEST_F(Signature, UnlistedUnsignedFileIsFalseWithoutError) {
    trust.add_unsigned(file);
    trust.add_catalog(L"C:\\cat\\a.cat", {});
    EXPECT_FALSE(verify(file));
    EXPECT_FALSE(error);
    EXPECT_FALSE(winapi::verify_signature(file));  // the raising form does not raise either
}

TEST_F(Signature, MissingFileGivesTheOpenError) {
    EXPECT_FALSE(verify(L"C:\\nowhere\\gone.dll"));
    EXPECT_EQ(error, winapi::make_win_error(winapi::error_file_not_found));
    try {
        winapi::verify_signature(L"C:\\nowhere\\gone.dll");
        FAIL() << "the raising form must raise";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), winapi::make_win_error(winapi::error_file_not_found));
    }
}

TEST_F(Signature, CatalogCheckFailuresReportTheirError) {
    trust.add_unsigned(file);
    trust.add_catalog(L"C:\\cat\\a.cat", {file});
    for (auto c : {fake_trust::call::open_file, fake_trust::call::hash_size, fake_trust::call::hash,
                   fake_trust::call::acquire_admin}) {
        trust.fail = {{c, winapi::error_access_denied}};
        EXPECT_FALSE(verify(file)) << static_cast<int>(c);
        EXPECT_EQ(error.value(), 5) << static_cast<int>(c);
        EXPECT_EQ(error.category(), winapi::win_error_category());
    }
    trust.fail.clear();
    trust.fail_allocation = true;
    EXPECT_FALSE(verify(file));
    EXPECT_EQ(error.value(), static_cast<int>(winapi::error_outofmemory));

    // Unreadable catalog information only skips that catalog.
    trust.fail_allocation = false;
    trust.fail = {{fake_trust::call::catalog_file, winapi::error_gen_failure}};
    EXPECT_FALSE(verify(file));
    EXPECT_FALSE(error);
}

TEST_F(Signature, DescribesTheEmbeddedSigner) {
    trust.add_signed(file, signer({0x0A, 0x00, 0xFF}, L"Valdrin Root CA", L"Valdrin Labs"));
    const certificate_info info = signer_of(file);
    EXPECT_FALSE(error);
    EXPECT_EQ(info.serial_number, L"ff000a");
    EXPECT_EQ(info.issuer, L"Valdrin Root CA");
    EXPECT_EQ(info.subject, L"Valdrin Labs");

    const std::wstring other = L"C:\\x\\other.dll";
    trust.add_signed(other, signer({0x05}, L"R", L"S"));
    EXPECT_EQ(winapi::get_signature(other), (certificate_info{L"05", L"R", L"S"}));
}

TEST_F(Signature, UnreadableSignerGivesAnEmptyDescription) {
    struct failure {
        const char* what;
        std::function<void(fake_trust&, fake_trust::file_model&)> arrange;
        std::uint32_t expected;
    };
    const std::vector<failure> failures = {
        {"unsigned", [](fake_trust& t, fake_trust::file_model&) { t.add_unsigned(L"C:\\f.dll"); },
         winapi::crypt_e_no_match},
        {"query",
         [](fake_trust& t, fake_trust::file_model&) { t.fail[fake_trust::call::query] = 5; }, 5},
        {"signer size",
         [](fake_trust& t, fake_trust::file_model&) {
             t.fail[fake_trust::call::signer_info_size] = 31;
         },
         31},
        {"signer",
         [](fake_trust& t, fake_trust::file_model&) { t.fail[fake_trust::call::signer_info] = 87; },
         87},
        {"allocation", [](fake_trust& t, fake_trust::file_model&) { t.fail_allocation = true; },
         winapi::error_not_enough_memory},
        {"search",
         [](fake_trust& t, fake_trust::file_model&) {
             t.fail[fake_trust::call::find_certificate] = 5;
         },
         5},
        {"not in store", [](fake_trust&, fake_trust::file_model& f) { f.signer_in_store = false; },
         winapi::crypt_e_not_found},
        {"no certificate info",
         [](fake_trust&, fake_trust::file_model& f) { f.signer->has_info = false; },
         winapi::error_invalid_data},
        {"name length",
         [](fake_trust& t, fake_trust::file_model&) { t.fail[fake_trust::call::name_length] = 13; },
         13},
        {"name",
         [](fake_trust& t, fake_trust::file_model&) { t.fail[fake_trust::call::name] = 87; }, 87},
        {"empty subject", [](fake_trust&, fake_trust::file_model& f) { f.signer->subject.clear(); },
         winapi::error_not_found},
        {"empty issuer", [](fake_trust&, fake_trust::file_model& f) { f.signer->issuer.clear(); },
         winapi::error_not_found},
    };
    for (const auto& f : failures) {
        fake_trust t;
        winapi::scoped_facility<winapi::trust> scoped(t);
        f.arrange(t, t.add_signed(L"C:\\f.dll", signer({1, 2}, L"I", L"S")));
        std::error_code ec;
        EXPECT_EQ(winapi::get_signature(L"C:\\f.dll", ec), certificate_info{}) << f.what;
        EXPECT_EQ(ec, winapi::make_win_error(f.expected)) << f.what;
        EXPECT_EQ(t.open_handles(), 0) << f.what;
        EXPECT_EQ(t.bad_releases, 0) << f.what;
    }
}

TEST_F(Signature, RaisingGetSignatureNamesTheOperation) {
    try {
        winapi::get_signature(L"C:\\nowhere\\gone.dll");
        FAIL() << "the raising form must raise";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), winapi::make_win_error(winapi::error_file_not_found));
        EXPECT_EQ(std::string(e.what()).rfind("get_signature failed", 0), 0u) << e.what();
    }
}

}  // namespace
