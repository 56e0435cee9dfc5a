#include "platform/config/product_settings.h"

#include "platform/config/bounded_json.h"

#include <picojson.h>

#include <cmath>
#include <cstdint>
#include <exception>

#include "logging/log.h"
#include "platform/config/paths.h"
#include "platform/config/text_file.h"
#include "platform/registry_values.h"
#include "stdext/utf.h"
#include "winapi/facility.h"

namespace platform::config {
namespace {

constexpr const char* default_app_id = "com.valdrin.agent";

const std::map<setting_id, std::string>& defaults() {
    static const std::map<setting_id, std::string> table{
        {setting::service_name, "CorvelService"},
        {setting::service_description, "Corvel Service description"},
        {setting::service_display_name, "Corvel Service"},
        {setting::partner_id, "com.valdrin"},
        {setting::app_id, default_app_id},
        {setting::regpath_product, "SOFTWARE\\Valdrin Agent"},
        {setting::regpath_modules, "SOFTWARE\\Valdrin Agent\\Modules"},
        {setting::update_url, "http://download.example.com/agent/update.json"},
        {setting::login_when, "1"},
        {setting::login_url, "https://login.example.com/"},
        {setting::login_redirect, std::string("native://") + default_app_id},
        {setting::login_encode_redirect, "1"},
        {setting::login_signup_url, "https://login.example.com/signup"},
        {setting::login_auth_type, ""},
        {setting::login_url_params, "{}"},
        {setting::language, "en-US"},
        {setting::language_direction, "LTR"},
        {setting::ieupgrade, ""},
    };
    return table;
}

// One member of the settings file and the setting it feeds.
struct member {
    const char* name;
    setting_id id;
};

constexpr member service_members[] = {{"name", setting::service_name},
                                      {"description", setting::service_description},
                                      {"display_name", setting::service_display_name}};
constexpr member regpath_members[] = {{"product", setting::regpath_product},
                                      {"modules", setting::regpath_modules}};
constexpr member login_members[] = {{"when", setting::login_when},
                                    {"url", setting::login_url},
                                    {"redirect", setting::login_redirect},
                                    {"encode_redirect", setting::login_encode_redirect},
                                    {"signup_url", setting::login_signup_url},
                                    {"auth_type", setting::login_auth_type}};

// The member of an object, or null when obj is not an object or lacks it.
const picojson::value* find_member(const picojson::value& obj, const char* name) {
    if (!obj.is<picojson::object>()) {
        return nullptr;
    }
    const auto& members = obj.get<picojson::object>();
    const auto it = members.find(name);
    return it == members.end() ? nullptr : &it->second;
}

void take_string(const picojson::value& obj, const char* name, setting_id id,
                 std::map<setting_id, std::string>& out) {
    const auto* v = find_member(obj, name);
    if (v != nullptr && v->is<std::string>()) {
        out[id] = v->get<std::string>();
    }
}

template <std::size_t N>
void take_strings(const picojson::value& obj, const char* name, const member (&members)[N],
                  std::map<setting_id, std::string>& out) {
    const auto* group = find_member(obj, name);
    if (group == nullptr || !group->is<picojson::object>()) {
        return;
    }
    for (const auto& m : members) {
        take_string(*group, m.name, m.id, out);
    }
}

// The settings file as JSON, or nothing when it is missing, unreadable or malformed. A syntax
// error leaves the parser's message as its last error.
// picojson reports syntax errors as text, the parse raises "number out of range" for a number
// beyond the range of a double (for example 2e3333); both are a malformed document here.
std::string parse_json(picojson::value& root, const std::string& bytes) {
    std::string error;
    try {
        error = parse_bounded(root, bytes);
    } catch (const std::exception& e) {
        error = e.what();
    }
    return error;
}

// The settings file as JSON; fails when it is missing, unreadable or malformed.
stdext::expected<picojson::value> parse_settings_file(const std::wstring& path) {
    return read_file_bytes(path).and_then(
        [](const std::string& bytes) -> stdext::expected<picojson::value> {
            picojson::value root;
            std::string error = parse_json(root, bytes);
            picojson::set_last_error(error);
            if (!error.empty()) {
                return stdext::unexpected(stdext::error{{}, std::move(error)});
            }
            return root;
        });
}

void apply_settings_file(const picojson::value& root, std::map<setting_id, std::string>& out) {
    take_strings(root, "service", service_members, out);
    take_string(root, "partner_id", setting::partner_id, out);
    take_string(root, "app_id", setting::app_id, out);
    take_strings(root, "regpath", regpath_members, out);
    take_string(root, "update", setting::update_url, out);
    take_strings(root, "login", login_members, out);
    if (const auto* login = find_member(root, "login")) {
        const auto* params = find_member(*login, "url_params");
        if (params != nullptr && params->is<picojson::object>()) {
            out[setting::login_url_params] = params->serialize();
        }
    }
    take_string(root, "ieupgrade", setting::ieupgrade, out);
}

// The record's text as the bytes of a plain ASCII JSON text: each character is one byte.
std::string record_bytes(const std::wstring& record) {
    std::string bytes;
    bytes.reserve(record.size());
    for (const wchar_t c : record) {
        bytes.push_back(static_cast<char>(static_cast<unsigned char>(c & 0xFF)));
    }
    return bytes;
}

constexpr const wchar_t* default_user_key = L".DEFAULT\\Software\\SetID";

// The default user's right-to-left flag; false when it cannot be read.
bool read_default_user_rtl() {
    auto& reg = winapi::facility<winapi::registry>::get();
    const std::wstring subkey = default_user_key;
    const auto key = reg.open_key(winapi::hkey_users, subkey, platform::key_read_32);
    if (!key) {
        platform::log_registry_failure(L"GetRegKeyValue", L"RegOpenKeyEx " + subkey, key.error());
        return false;
    }
    const auto value = reg.query_value(key->get(), L"rtl", 4);
    if (!value) {
        platform::log_registry_failure(L"GetRegKeyValue", L"RegQueryValueEx rtl", value.error());
        return false;
    }
    const auto& data = value->data;
    if (value->type != winapi::reg_dword || data.size() < 4) {
        return false;
    }
    return (data[0] | data[1] | data[2] | data[3]) != 0;
}

}  // namespace

product_settings::product_settings(const std::wstring& settings_path, const std::wstring& folder) {
    narrow_ = defaults();
    rebuild_wide();
    wide_[setting::install_folder] = folder;
    narrow_[setting::install_folder] = stdext::wide_to_utf8(folder);

    const auto root = parse_settings_file(settings_path);
    if (!root) {
        return;  // the defaults stay, language included
    }
    apply_settings_file(*root, narrow_);
    rebuild_wide();

    const std::wstring product_key = wide_[setting::regpath_product];
    const language_info lang = read_language(product_key.c_str());
    const wchar_t* direction = lang.rtl ? L"RTL" : L"LTR";
    wide_[setting::language] = lang.name;
    narrow_[setting::language] = stdext::wide_to_utf8(lang.name);
    wide_[setting::language_direction] = direction;
    narrow_[setting::language_direction] = stdext::wide_to_utf8(direction);
}

void product_settings::rebuild_wide() {
    wide_.clear();
    for (const auto& [id, value] : narrow_) {
        wide_[id] = stdext::utf8_to_wide(value);
    }
}

const std::wstring* product_settings::get_wide(setting_id id) const {
    static const std::wstring empty;
    const auto it = wide_.find(id);
    return it == wide_.end() ? &empty : &it->second;
}

const std::string* product_settings::get_narrow(setting_id id) const {
    static const std::string empty;
    const auto it = narrow_.find(id);
    return it == narrow_.end() ? &empty : &it->second;
}

const product_settings& product_settings::instance() {
    static const product_settings settings(settings_file_path(), install_folder());
    return settings;
}

const std::wstring* get_wide_setting(setting_id id) {
    return product_settings::instance().get_wide(id);
}

const std::string* get_narrow_setting(setting_id id) {
    return product_settings::instance().get_narrow(id);
}

language_info read_language(const wchar_t* product_key) {
    language_info lang;
    if (product_key == nullptr) {
        return lang;
    }
    if (const auto record =
            platform::GetRegKeyValue(winapi::hkey_local_machine, product_key, L"lang")) {
        picojson::value root;
        const std::string bytes = record_bytes(*record);
        if (!parse_json(root, bytes).empty()) {
            return lang;
        }
        if (const auto* name = find_member(root, "name");
            name != nullptr && name->is<std::string>() && !name->get<std::string>().empty()) {
            lang.name = stdext::utf8_to_wide(name->get<std::string>());
        }
        if (const auto* dir = find_member(root, "dir"); dir != nullptr && dir->is<double>()) {
            // Truncated towards zero: only values in [1, 2) mean right to left.
            lang.rtl = std::trunc(dir->get<double>()) == 1.0;
        }
        return lang;
    }

    if (auto tag =
            platform::GetRegKeyValue(winapi::hkey_users, default_user_key, L"wslibsite_lang")) {
        lang.name = std::move(*tag);
    }
    lang.rtl = read_default_user_rtl();
    // A failed write was logged; the language found is the answer either way.
    static_cast<void>(store_language(lang.name, lang.rtl, product_key));
    return lang;
}

stdext::expected<void> store_language(const std::wstring& name, bool rtl,
                                      const wchar_t* product_key) {
    if (product_key == nullptr) {
        return stdext::unexpected(stdext::error{{}, "no product key"});
    }
    picojson::object record;
    record["name"] = picojson::value(stdext::wide_to_utf8(name));
    record["dir"] = picojson::value(static_cast<std::int64_t>(rtl ? 1 : 0));
    const std::string json = picojson::value(record).serialize();
    return platform::SetRegKeyValue(product_key, L"lang", stdext::utf8_to_wide(json));
}

}  // namespace platform::config
