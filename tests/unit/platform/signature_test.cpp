#include <gtest/gtest.h>

#include <functional>

#include "fakes/fake_trust.h"
#include "platform/signature.h"
#include "stdext/expected.h"
#include "winapi/facility.h"
#include "winapi/win_error_category.h"

namespace {

using fakes::fake_trust;
using platform::certificate_info;

constexpr auto as_result(std::uint32_t code) {
    return static_cast<std::int32_t>(code);
}

// Every test ends with each handle and buffer released exactly once.
class Signature : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_TRUE(trust.clean()); }

    bool verify(const std::wstring& path) { return platform::verify_signature(path, error); }

    fake_trust trust;
    winapi::scoped_facility<winapi::trust> use{trust};
    std::error_code error;
    const std::wstring file = L"C:\\Program Files\\Valdrin\\log.dll";
};

TEST_F(Signature, EmbeddedSignatureFirstThenTheCatalogs) {
    // A trusted embedded signature needs no catalog.
    trust.add(file, fake_trust::cert_model{});
    trust.add_catalog(L"C:\\cat\\a.cat", {file}, as_result(winapi::trust_e_bad_digest));
    EXPECT_TRUE(verify(file));
    EXPECT_FALSE(error);
    EXPECT_TRUE(trust.catalogs_verified.empty());

    // An embedded signature that does not verify still gets the catalog check.
    trust.add(file, fake_trust::cert_model{}).tampered = true;
    trust.add_catalog(L"C:\\cat\\b.cat", {file});
    EXPECT_TRUE(verify(file));
    EXPECT_FALSE(error) << "the catalog that verifies decides";
    EXPECT_EQ(trust.catalogs_verified,
              (std::vector<std::wstring>{L"C:\\cat\\a.cat", L"C:\\cat\\b.cat"}));

    // A tampered file that no catalog lists: false, and the embedded error is not kept; the
    // raising form does not raise either.
    const std::wstring other = L"C:\\x\\other.dll";
    trust.add(other, fake_trust::cert_model{}).tampered = true;
    EXPECT_FALSE(verify(other));
    EXPECT_FALSE(error);
    trust.add(other);
    EXPECT_FALSE(platform::verify_signature(other));
}

TEST_F(Signature, CatalogWalkKeepsTheLastVerificationsError) {
    trust.add(file);
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

TEST_F(Signature, CatalogCheckFailuresReportTheirError) {
    trust.add(file);
    trust.add_catalog(L"C:\\cat\\a.cat", {file});
    for (const char* call :
         {"open_file", "calc_file_hash:size", "calc_file_hash", "acquire_catalog_admin"}) {
        trust.fail = {{call, winapi::error_access_denied}};
        EXPECT_FALSE(verify(file)) << call;
        EXPECT_EQ(error, winapi::make_win_error(winapi::error_access_denied)) << call;
    }
    trust.fail.clear();
    trust.fail_allocation = true;
    EXPECT_FALSE(verify(file));
    EXPECT_EQ(error, winapi::make_win_error(winapi::error_outofmemory));
}

TEST_F(Signature, RaisingFormsCarryTheError) {
    const std::wstring missing = L"C:\\nowhere\\gone.dll";
    EXPECT_FALSE(verify(missing));
    EXPECT_EQ(error, winapi::make_win_error(winapi::error_file_not_found));
    try {
        platform::verify_signature(missing);
        ADD_FAILURE() << "verify_signature must raise";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), winapi::make_win_error(winapi::error_file_not_found));
    }
    try {
        platform::get_signature(missing);
        ADD_FAILURE() << "get_signature must raise";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), winapi::make_win_error(winapi::error_file_not_found));
        EXPECT_EQ(std::string(e.what()).rfind("get_signature failed", 0), 0u) << e.what();
    }
}

TEST_F(Signature, DescribesTheEmbeddedSigner) {
    trust.add(file,
              fake_trust::cert_model{{0x0A, 0x00, 0xFF}, L"Valdrin Root CA", L"Valdrin Labs"});
    EXPECT_EQ(platform::get_signature(file, error),
              (certificate_info{L"ff000a", L"Valdrin Root CA", L"Valdrin Labs"}));
    EXPECT_FALSE(error);

    const std::wstring other = L"C:\\x\\other.dll";
    trust.add(other, fake_trust::cert_model{{0x05}, L"R", L"S"});
    EXPECT_EQ(platform::get_signature(other), (certificate_info{L"05", L"R", L"S"}));
}

TEST_F(Signature, UnreadableSignerGivesAnEmptyDescription) {
    using arrange = std::function<void(fake_trust&, fake_trust::file_model&)>;
    const auto expect_unreadable = [](const std::string& what, const arrange& spoil,
                                      std::uint32_t expected) {
        SCOPED_TRACE(what);
        fake_trust t;
        winapi::scoped_facility<winapi::trust> scoped(t);
        spoil(t, t.add(L"C:\\f.dll", fake_trust::cert_model{{1, 2}, L"I", L"S"}));
        std::error_code ec;
        EXPECT_EQ(platform::get_signature(L"C:\\f.dll", ec), certificate_info{});
        EXPECT_EQ(ec, winapi::make_win_error(expected));
        EXPECT_TRUE(t.clean());
    };
    // A failing call hands its own error on.
    for (const char* call : {"query_embedded_signature", "signer_info:size", "signer_info",
                             "find_signer_certificate", "name_string:length", "name_string"}) {
        expect_unreadable(
            call, [&](fake_trust& t, auto&) { t.fail[call] = 87; }, 87);
    }
    expect_unreadable(
        "unsigned", [](auto&, auto& f) { f.signer.reset(); }, winapi::crypt_e_no_match);
    expect_unreadable(
        "allocation", [](auto& t, auto&) { t.fail_allocation = true; },
        winapi::error_not_enough_memory);
    expect_unreadable(
        "not in store", [](auto&, auto& f) { f.signer_in_store = false; },
        winapi::crypt_e_not_found);
    expect_unreadable(
        "no certificate info", [](auto&, auto& f) { f.signer->has_info = false; },
        winapi::error_invalid_data);
    expect_unreadable(
        "empty subject", [](auto&, auto& f) { f.signer->subject.clear(); },
        winapi::error_not_found);
    expect_unreadable(
        "empty issuer", [](auto&, auto& f) { f.signer->issuer.clear(); }, winapi::error_not_found);
}

}  // namespace
