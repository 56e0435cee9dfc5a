// The process-wide table of product settings, read by small integer identifiers: built-in
// defaults, overridden by the product settings file, plus the product's language record.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "stdext/expected.h"

namespace platform::config {

using setting_id = std::int32_t;

namespace setting {
inline constexpr setting_id install_folder = 0;
inline constexpr setting_id service_name = 1;
inline constexpr setting_id service_description = 2;
inline constexpr setting_id service_display_name = 3;
inline constexpr setting_id partner_id = 4;
inline constexpr setting_id app_id = 5;
inline constexpr setting_id regpath_product = 6;
inline constexpr setting_id regpath_modules = 7;
inline constexpr setting_id update_url = 8;
inline constexpr setting_id login_when = 9;
inline constexpr setting_id login_url = 10;
inline constexpr setting_id login_redirect = 11;
inline constexpr setting_id login_encode_redirect = 12;
inline constexpr setting_id login_signup_url = 13;
inline constexpr setting_id login_auth_type = 16;
inline constexpr setting_id login_url_params = 17;
inline constexpr setting_id language = 18;
inline constexpr setting_id language_direction = 19;
inline constexpr setting_id ieupgrade = 20;
}  // namespace setting

class product_settings {
public:
    // The process-wide table, built on first use from install_folder() and
    // settings_file_path(); it is never reloaded.
    static const product_settings& instance();

    // A table built now from the given settings file, with folder as setting 0. The language
    // is read from (and may be written to) the registry facility installed at the time.
    product_settings(const std::wstring& settings_path, const std::wstring& folder);

    // The setting's text, or an empty text for an unknown id. The pointers stay valid as long
    // as the table does (for instance(): the whole process).
    const std::wstring* get_wide(setting_id id) const;
    const std::string* get_narrow(setting_id id) const;

    const std::map<setting_id, std::string>& narrow() const { return narrow_; }
    const std::map<setting_id, std::wstring>& wide() const { return wide_; }

private:
    void rebuild_wide();

    std::map<setting_id, std::string> narrow_;
    std::map<setting_id, std::wstring> wide_;
};

// Shorthands for the process-wide table.
const std::wstring* get_wide_setting(setting_id id);
const std::string* get_narrow_setting(setting_id id);

// The product's language: a tag such as "en-US" and whether it reads right to left.
struct language_info {
    std::wstring name = L"en-US";
    bool rtl = false;
};

// The language record of the product key (value "lang" under HKEY_LOCAL_MACHINE\product_key),
// or, when there is none, the default user's language, which is then stored as the record.
// A null key gives the defaults without touching the registry.
language_info read_language(const wchar_t* product_key);
// Writes the record {"dir":0|1,"name":tag} as the product key's "lang" value.
stdext::expected<void> store_language(const std::wstring& name, bool rtl,
                                      const wchar_t* product_key);

}  // namespace platform::config
