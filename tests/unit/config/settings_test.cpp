#include <gtest/gtest.h>
#include <picojson.h>

#include <tuple>

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
    std::wstring lang_record(const std::wstring& key = product_key) {
        return machine.registry.get_string(winapi::hkey_local_machine, key, L"lang").value_or(L"-");
    }
    void set_record(const std::wstring& record) {
        machine.registry.set_string(winapi::hkey_local_machine, product_key, L"lang", record);
    }

    const std::wstring file = L"C:\\Test\\Corvel.json";
};

TEST_F(SettingsTest, NoUsableFileKeepsTheDefaultsAndLeavesTheRegistryAlone) {
    const product_settings s(L"C:\\Test\\absent.json", L"C:\\Agent\\");
    EXPECT_EQ(*s.get_narrow(id::app_id), "com.valdrin.agent");
    EXPECT_EQ(*s.get_wide(id::regpath_product), product_key);
    EXPECT_EQ(*s.get_narrow(id::language_direction), "LTR");
    EXPECT_EQ(*s.get_wide(id::install_folder), L"C:\\Agent\\");
    EXPECT_EQ(*s.get_narrow(14), "");  // unknown ids give empty texts

    EXPECT_EQ(*load("{\n  \"app_id\": \"x\",\n  oops\n}").get_narrow(id::app_id),
              "com.valdrin.agent");
    EXPECT_EQ(picojson::get_last_error().rfind("syntax error at line 3 near: ", 0), 0u);
    // A number beyond the range of a double is malformed too, not a crash; so is nesting deeper
    // than 100 objects or arrays (thousands would exhaust the stack), while 99 levels are read.
    EXPECT_EQ(*load(R"({"app_id":"x","n":2e3333})").get_narrow(id::app_id), "com.valdrin.agent");
    const auto nested = [](const std::string& open, const std::string& close, int depth) {
        std::string text = R"({"app_id":"x","n":)", end;
        for (int i = 0; i < depth; ++i) {
            text += open, end += close;
        }
        return text + "1" + end + "}";
    };
    EXPECT_EQ(*load(nested("{\"\":[", "]}", 50)).get_narrow(id::app_id), "com.valdrin.agent");
    EXPECT_TRUE(machine.registry.opens.empty());
    EXPECT_EQ(*load(nested("{\"\":[", "]}", 49)).get_narrow(id::app_id), "x");
}

TEST_F(SettingsTest, TakesOnlyMembersOfTheRightType) {
    for (const auto& [json, setting, value] :
         std::vector<std::tuple<std::string, int, std::string>>{
             {R"({"service": {"name": "Svc", "description": 5}})", id::service_name, "Svc"},
             {R"({"service": {"description": 5}})", id::service_description,
              "Corvel Service description"},
             {R"({"app_id": 17})", id::app_id, "com.valdrin.agent"},
             {R"({"regpath": {"modules": ["x"]}})", id::regpath_modules,
              "SOFTWARE\\Valdrin Agent\\Modules"},
             {R"({"login": {"when": 1, "url": "https://example.org/"}})", id::login_when, "1"},
             {R"({"login": {"url": "https://example.org/"}})", id::login_url,
              "https://example.org/"},
             {R"({"login": "https://example.org/", "ieupgrade": "1"})", id::login_url,
              "https://login.example.com/"},
             {R"({"login": "https://example.org/", "ieupgrade": "1"})", id::ieupgrade, "1"},
             {R"({"login": {"url_params": {"b": 1, "a": "x/y", "c": {"z": null, "d": 1.5}}}})",
              id::login_url_params, R"({"a":"x\/y","b":1,"c":{"d":1.5,"z":null}})"},
             {R"({"login": {"url_params": "a=b"}})", id::login_url_params, "{}"},
             {R"(["app_id", "x"])", id::app_id, "com.valdrin.agent"},
             {R"({"update": "http://example.org/u.json"})", id::update_url,
              "http://example.org/u.json"},
         }) {
        EXPECT_EQ(*load(json).get_narrow(setting), value) << json;
    }
    // UTF-8 texts reach the wide map converted; the language comes from the key the file names.
    const auto s = load(
        "{\"service\": {\"display_name\": \"Corvel \xC3\xA9\"}, "
        "\"regpath\": {\"product\": \"SOFTWARE\\\\Other\"}}");
    EXPECT_EQ(*s.get_wide(id::service_display_name), L"Corvel \u00e9");
    EXPECT_NE(lang_record(L"SOFTWARE\\Other"), L"-");
}

TEST_F(SettingsTest, LanguageRecordIsReadAndNeverRewritten) {
    set_record(L"{\"name\":\"ar-SA\",\"dir\":1}");
    const auto s = load("{}");
    EXPECT_EQ(*s.get_wide(id::language), L"ar-SA");
    EXPECT_EQ(*s.get_narrow(id::language_direction), "RTL");

    for (const auto& [record, name, rtl] :
         std::vector<std::tuple<std::wstring, std::wstring, bool>>{
             {L"{\"name\":\"he-IL\",\"dir\":2}", L"he-IL", false},
             {L"{\"name\":\"he-IL\",\"dir\":1.9}", L"he-IL", true},
             {L"{\"name\":\"\",\"dir\":1}", L"en-US", true},
             {L"{\"name\":3,\"dir\":\"1\"}", L"en-US", false},
             {L"[1]", L"en-US", false},
             {L"{\"name\":\"ar-SA\",", L"en-US", false},
             {L"{\"name\":\"ar-SA\",\"dir\":1e999}", L"en-US", false},
         }) {
        set_record(record);
        const auto lang = platform::config::read_language(product_key.c_str());
        EXPECT_EQ(std::tie(lang.name, lang.rtl), std::tie(name, rtl))
            << stdext::wide_to_utf8(record);
        EXPECT_EQ(lang_record(), record);
    }
    EXPECT_EQ(platform::config::read_language(nullptr).name, L"en-US");
}

TEST_F(SettingsTest, WithoutARecordTheDefaultUserLanguageIsStoredAsJson) {
    EXPECT_EQ(*load("{}").get_narrow(id::language), "en-US");
    EXPECT_EQ(lang_record(), L"{\"dir\":0,\"name\":\"en-US\"}");

    machine.registry.set_string(winapi::hkey_users, default_user, L"wslibsite_lang", L"fa-IR");
    // Any byte of the DWORD set means right to left.
    for (const std::uint32_t rtl : {0x100u, 0x10000u, 0x1000000u}) {
        machine.registry.set_dword(winapi::hkey_users, default_user, L"rtl", rtl);
        const std::wstring key = L"SOFTWARE\\Fresh" + std::to_wstring(rtl);
        const auto lang = platform::config::read_language(key.c_str());
        EXPECT_EQ(std::tie(lang.name, lang.rtl), std::make_tuple(L"fa-IR", true));
        EXPECT_EQ(lang_record(key), L"{\"dir\":1,\"name\":\"fa-IR\"}");
    }
    for (const auto& [subkey, access] : machine.registry.opens) {
        EXPECT_EQ(access & 0x200u, 0x200u) << "32-bit view";
    }
    // An "rtl" that is not a DWORD counts as left to right.
    machine.registry.set_string(winapi::hkey_users, default_user, L"rtl", L"1");
    EXPECT_FALSE(platform::config::read_language(L"SOFTWARE\\Other").rtl);
    // The stored record escapes as JSON requires; without a product key nothing is stored.
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
