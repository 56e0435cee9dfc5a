// An in-memory registry: keys by root and case-insensitive path, values as Windows stores them.
// Every open or created key is a handle that must be closed exactly once. A key is seen in both
// registry views unless it was added to one view only; an access without a view bit asks for the
// 32-bit view, the program's own.
#pragma once

#include "fakes/kit.h"
#include "stdext/path.h"
#include "stdext/utf.h"
#include "winapi/registry.h"

namespace fakes {

// The planned error, else a registry error with this code.
inline auto failure(const std::optional<stdext::error>& planned, std::uint32_t code) {
    return stdext::unexpected(planned.value_or(winapi::win_failure(code, "registry")));
}

class fake_registry final : public fake_base, public winapi::registry {
public:
    using fake_base::fake_base;

    std::vector<std::pair<std::wstring, std::uint32_t>> opens;  // every open_key's subkey, access
    struct create_record {
        std::wstring subkey;
        std::uint32_t access = 0;
        std::uint32_t options = 0;
    };
    std::vector<create_record> creates;

    // A key without values; only_view (key_wow64_32key or key_wow64_64key) limits it to one view.
    void add_key(winapi::hkey root, const std::wstring& path, std::uint32_t only_view = 0) {
        keys_[key_path(root, path)];
        if (only_view != 0) {
            only_view_[key_path(root, path)] = only_view;
        }
    }
    bool has_key(winapi::hkey root, const std::wstring& path) const {
        return keys_.count(key_path(root, path)) != 0;
    }

    // A value under a root or an open key.
    void set_value(winapi::hkey root, const std::wstring& path, const std::wstring& name,
                   winapi::reg_value value) {
        keys_[key_path(root, path)][stdext::to_lower(name, stdext::case_rule::latin1)] =
            std::move(value);
    }
    void set_string(winapi::hkey root, const std::wstring& path, const std::wstring& name,
                    const std::wstring& text, std::uint32_t type = winapi::reg_sz) {
        set_value(root, path, name, {type, stdext::wide_to_utf16le(text + L'\0')});
    }
    void set_dword(winapi::hkey root, const std::wstring& path, const std::wstring& name,
                   std::uint32_t v) {
        set_value(root, path, name,
                  {winapi::reg_dword,
                   {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16),
                    std::uint8_t(v >> 24)}});
    }

    stdext::expected<winapi::unique_hkey> open_key(winapi::hkey root, const std::wstring& subkey,
                                                   std::uint32_t access) override {
        opens.emplace_back(subkey, access);
        const auto e = check("open_key");
        const auto path = key_path(root, subkey);
        const auto view = only_view_.find(path);
        const bool seen =
            keys_.count(path) != 0 && (view == only_view_.end() || view->second == view_of(access));
        return e || !seen ? failure(e, 2) : hold(path);
    }
    stdext::expected<winapi::unique_hkey> create_key(winapi::hkey root, const std::wstring& subkey,
                                                     std::uint32_t access,
                                                     std::uint32_t options) override {
        creates.push_back({subkey, access, options});
        const auto e = check("create_key");
        return e ? failure(e, 0) : hold(key_path(root, subkey));
    }
    void close_key(winapi::hkey key) override { handles_.close(key); }
    stdext::expected<winapi::reg_value> query_value(winapi::hkey key, const std::wstring& name,
                                                    std::size_t capacity) override {
        auto v = read("query_value", key, L"", name, winapi::reg_none);
        return v && v->data.size() > capacity ? failure({}, winapi::error_more_data) : v;
    }
    stdext::expected<std::wstring> get_string(winapi::hkey key, const std::wstring& subkey,
                                              const std::wstring& name) override {
        const auto v = read("get_string", key, subkey, name, winapi::reg_sz);
        return v ? stdext::expected<std::wstring>(
                       stdext::utf16le_to_wide(v->data.data(), v->data.size()))
                 : stdext::unexpected(v.error());
    }
    stdext::expected<std::uint32_t> get_dword(winapi::hkey key, const std::wstring& subkey,
                                              const std::wstring& name) override {
        return read("get_dword", key, subkey, name, winapi::reg_dword).transform([](const auto& v) {
            return v.data[0] | v.data[1] << 8 | v.data[2] << 16 | std::uint32_t(v.data[3]) << 24;
        });
    }
    stdext::expected<void> set_string(winapi::hkey key, const std::wstring& name,
                                      const std::wstring& text) override {
        return answer("set_string", [&] { set_string(key, L"", name, text); });
    }

private:
    static std::uint32_t view_of(std::uint32_t access) {
        const std::uint32_t view = access & (winapi::key_wow64_32key | winapi::key_wow64_64key);
        return view != 0 ? view : winapi::key_wow64_32key;
    }
    // The lower-case path of a subkey of an open key or of a root (named by its number).
    std::wstring key_path(winapi::hkey key, const std::wstring& subkey) const {
        const auto base = handles_.is_open(key) ? open_.at(key) : std::to_wstring(key);
        return stdext::to_lower(
            stdext::path::without_trailing_separator(stdext::path::join(base, subkey)),
            stdext::case_rule::latin1);
    }
    stdext::expected<winapi::unique_hkey> hold(const std::wstring& path) {
        keys_[path];
        return winapi::unique_hkey(open_.emplace(handles_.open("key"), path).first->first);
    }
    // A value; a type other than reg_none restricts it as RegGetValueW does
    // (ERROR_UNSUPPORTED_TYPE).
    stdext::expected<winapi::reg_value> read(const char* operation, winapi::hkey key,
                                             const std::wstring& subkey, const std::wstring& name,
                                             std::uint32_t type) {
        const auto e = check(operation);
        const auto k = keys_.find(key_path(key, subkey));
        if (e || k == keys_.end() ||
            k->second.count(stdext::to_lower(name, stdext::case_rule::latin1)) == 0) {
            return failure(e, winapi::error_file_not_found);
        }
        const auto& v = k->second.at(stdext::to_lower(name, stdext::case_rule::latin1));
        return type != winapi::reg_none && v.type != type ? failure({}, 1630)
                                                          : stdext::expected<winapi::reg_value>(v);
    }

    std::map<std::wstring, std::map<std::wstring, winapi::reg_value>> keys_;  // names lower-case
    std::map<winapi::hkey, std::wstring> open_;        // the paths of the keys handed out
    std::map<std::wstring, std::uint32_t> only_view_;  // keys seen in one view only
    handle_table handles_;
};

}  // namespace fakes
