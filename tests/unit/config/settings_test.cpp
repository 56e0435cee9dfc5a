#include <gtest/gtest.h>
#include <picojson.h>

#include <string>
#include <tuple>
#include <vector>

#include "fakes/fake_machine.h"
#include "platform/config/paths.h"
#include "platform/config/product_settings.h"
#include "stdext/utf.h"

namespace {

using platform::config::product_settings;
namespace id = platform::config::setting;

const std::wstring product_key = L"SOFTWARE\\Valdrin Agent";
const std::wstring default_user = L".DEFAULT\\Software\\SetID";

class SettingsTest : public fakes::machine_test {
protected:
    product_settings load(const std::string& content) {
        machine.files.set_file(file, content);
        return product_settings(file, L"C:\\Agent\\");
    }
    std::optional<std::wstring> lang_record() const {
        return reg.find_string(winapi::hkey_local_machine, product_key, L"lang");
    }

    const std::wstring file = L"C:\\Test\\Corvel.json";
    fakes::fake_registry& reg = machine.registry;
};

TEST_F(SettingsTest, MissingFileKeepsDefaultsAndLeavesRegistryAlone) {
    const product_settings s(L"C:\\Test\\absent.json", L"C:\\Agent\\");
    EXPECT_EQ(*s.get_narrow(id::app_id), "com.valdrin.agent");
    EXPECT_EQ(*s.get_wide(id::regpath_product), product_key);
    EXPECT_EQ(*s.get_narrow(id::language), "en-US");
    EXPECT_EQ(*s.get_wide(id::install_folder), L"C:\\Agent\\");
    // Unknown ids give empty texts; both maps carry the same ids.
    EXPECT_EQ(*s.get_narrow(14), "");
    EXPECT_EQ(*s.get_wide(99), L"");
    EXPECT_EQ(s.narrow().size(), s.wide().size());
    EXPECT_TRUE(reg.opens.empty());
}

TEST_F(SettingsTest, MalformedFileRecordsTheParserErrorAndKeepsDefaults) {
    const auto s = load("{\n  \"app_id\": \"x\",\n  oops here\n}");
    EXPECT_EQ(*s.get_narrow(id::app_id), "com.valdrin.agent");
    EXPECT_EQ(picojson::get_last_error().rfind("syntax error at line 3 near: ", 0), 0u)
        << picojson::get_last_error();
    EXPECT_TRUE(reg.opens.empty());
    // A number beyond the range of a double is malformed too, not a crash.
    EXPECT_EQ(*load(R"({"app_id":"x","n":2e3333})").get_narrow(id::app_id), "com.valdrin.agent");
}

TEST_F(SettingsTest, TakesOnlyCorrectlyTypedMembers) {
    const auto s = load(R"({
        "service": {"name": "Svc", "description": 5, "display_name": "Shown"},
        "partner_id": "com.partner", "app_id": 17,
        "regpath": {"product": "SOFTWARE\\Other", "modules": ["x"]},
        "update": "http://example.org/u.json",
        "login": {"when": 1, "encode_redirect": true, "url": "https://example.org/",
                  "auth_type": "oauth", "url_params": {"b": 1, "a": "x/y", "c": {"z": null, "d": 1.5}}},
        "ieupgrade": "yes", "unknown": "ignored"
    })");
    EXPECT_EQ(*s.get_narrow(id::service_name), "Svc");
    EXPECT_EQ(*s.get_narrow(id::service_description), "Corvel Service description");
    EXPECT_EQ(*s.get_wide(id::service_display_name), L"Shown");
    EXPECT_EQ(*s.get_narrow(id::partner_id), "com.partner");
    EXPECT_EQ(*s.get_narrow(id::app_id), "com.valdrin.agent");
    EXPECT_EQ(*s.get_wide(id::regpath_product), L"SOFTWARE\\Other");
    EXPECT_EQ(*s.get_narrow(id::regpath_modules), "SOFTWARE\\Valdrin Agent\\Modules");
    EXPECT_EQ(*s.get_narrow(id::update_url), "http://example.org/u.json");
    EXPECT_EQ(*s.get_narrow(id::login_when), "1");
    EXPECT_EQ(*s.get_narrow(id::login_encode_redirect), "1");
    EXPECT_EQ(*s.get_narrow(id::login_url), "https://example.org/");
    EXPECT_EQ(*s.get_narrow(id::login_auth_type), "oauth");
    EXPECT_EQ(*s.get_narrow(id::login_url_params), R"({"a":"x\/y","b":1,"c":{"d":1.5,"z":null}})");
    EXPECT_EQ(*s.get_narrow(id::ieupgrade), "yes");
    // The language comes from the product key the file names.
    EXPECT_TRUE(reg.find_string(winapi::hkey_local_machine, L"SOFTWARE\\Other", L"lang"));
}

TEST_F(SettingsTest, OddShapesLeaveTheirDefaults) {
    auto s = load(R"({"login": "https://example.org/", "ieupgrade": "1", "service": null})");
    EXPECT_EQ(*s.get_narrow(id::login_url), "https://login.example.com/");
    EXPECT_EQ(*s.get_narrow(id::login_url_params), "{}");
    EXPECT_EQ(*s.get_narrow(id::ieupgrade), "1");
    EXPECT_EQ(*s.get_narrow(id::service_name), "CorvelService");

    EXPECT_EQ(*load(R"(["app_id", "x"])").get_narrow(id::app_id), "com.valdrin.agent");
    EXPECT_EQ(*load(R"({"login": {"url_params": "a=b"}})").get_narrow(id::login_url_params), "{}");
    // UTF-8 texts reach the wide map converted.
    s = load("{\"service\": {\"display_name\": \"Corvel \xC3\xA9\"}}");
    EXPECT_EQ(*s.get_wide(id::service_display_name), L"Corvel \u00e9");
}

TEST_F(SettingsTest, LanguageRecordIsReadAndNeverRewritten) {
    reg.set_string(winapi::hkey_local_machine, product_key, L"lang",
                   L"{\"name\":\"ar-SA\",\"dir\":1}");
    auto s = load("{}");
    EXPECT_EQ(*s.get_wide(id::language), L"ar-SA");
    EXPECT_EQ(*s.get_narrow(id::language_direction), "RTL");

    for (const auto& [record, name, rtl] :
         std::vector<std::tuple<std::wstring, std::wstring, bool>>{
             {L"{\"name\":\"he-IL\",\"dir\":2}", L"he-IL", false},
             {L"{\"name\":\"he-IL\",\"dir\":1.9}", L"he-IL", true},
             {L"{\"name\":\"\",\"dir\":1}", L"en-US", true},
             {L"{\"name\":3,\"dir\":\"1\"}", L"en-US", false},
             {L"{\"dir\":1e300}", L"en-US", false},
             {L"[1]", L"en-US", false},
             {L"{\"name\":\"ar-SA\",", L"en-US", false},
             {L"{\"name\":\"ar-SA\",\"dir\":1e999}", L"en-US", false},
         }) {
        reg.set_string(winapi::hkey_local_machine, product_key, L"lang", record);
        const auto lang = platform::config::read_language(product_key.c_str());
        EXPECT_EQ(lang.name, name) << stdext::wide_to_utf8(record);
        EXPECT_EQ(lang.rtl, rtl) << stdext::wide_to_utf8(record);
        EXPECT_EQ(lang_record(), record);
    }
    EXPECT_EQ(platform::config::read_language(nullptr).name, L"en-US");
}

TEST_F(SettingsTest, DefaultUserLanguageIsStoredAsTheRecord) {
    reg.set_string(winapi::hkey_users, default_user, L"wslibsite_lang", L"fa-IR");
    reg.set_dword(winapi::hkey_users, default_user, L"rtl", 7);
    const auto lang = platform::config::read_language(product_key.c_str());
    EXPECT_EQ(lang.name, L"fa-IR");
    EXPECT_TRUE(lang.rtl);
    EXPECT_EQ(lang_record(), L"{\"dir\":1,\"name\":\"fa-IR\"}");
    EXPECT_EQ(reg.open_keys(), 0);
    for (const auto& open : reg.opens) {
        EXPECT_EQ(open.access & 0x200u, 0x200u) << "32-bit view";
    }

    // An "rtl" that is not a DWORD counts as left to right.
    reg.set_string(winapi::hkey_users, default_user, L"rtl", L"1");
    reg.set_string(winapi::hkey_local_machine, product_key, L"lang", L"");  // not JSON
    EXPECT_FALSE(platform::config::read_language(L"SOFTWARE\\Fresh").rtl);
    EXPECT_EQ(reg.find_string(winapi::hkey_local_machine, L"SOFTWARE\\Fresh", L"lang"),
              L"{\"dir\":0,\"name\":\"fa-IR\"}");
}

TEST_F(SettingsTest, NothingAnywhereWritesTheDefaultRecord) {
    const auto s = load("{}");
    EXPECT_EQ(*s.get_narrow(id::language), "en-US");
    EXPECT_EQ(*s.get_narrow(id::language_direction), "LTR");
    EXPECT_EQ(lang_record(), L"{\"dir\":0,\"name\":\"en-US\"}");
    EXPECT_EQ(reg.open_keys(), 0);
}

TEST_F(SettingsTest, StoredRecordEscapesAsJsonRequires) {
    ASSERT_TRUE(platform::config::store_language(L"x/y\u0001\"", false, product_key.c_str()));
    EXPECT_EQ(lang_record(), L"{\"dir\":0,\"name\":\"x\\/y\\u0001\\\"\"}");
    EXPECT_FALSE(platform::config::store_language(L"en-US", true, nullptr));
}

TEST(SettingsPaths, FollowTheVersionRecord) {
    EXPECT_EQ(platform::config::settings_path_for(L"C:\\Agent\\", std::nullopt),
              L"C:\\Agent\\settings\\Corvel.json");
    EXPECT_EQ(platform::config::settings_path_for(L"C:\\Agent\\", "2.0.1"),
              L"C:\\Agent\\2.0.1\\settings\\Corvel.json");
    EXPECT_EQ(platform::config::settings_path_for(L"C:\\Agent\\", "E:\\Staged\\"),
              L"E:\\Staged\\settings\\Corvel.json");
}

}  // namespace
