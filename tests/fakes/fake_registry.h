// An in-memory registry: keys by root and case-insensitive path, values as Windows stores them.
// Every open or created key is a handle that must be closed exactly once.
#pragma once

#include <map>
#include <optional>
#include <vector>

#include "fakes/kit.h"
#include "stdext/path.h"
#include "stdext/utf.h"
#include "winapi/registry.h"

namespace fakes {

class fake_registry final : public fake_base, public winapi::registry {
public:
    fake_registry() = default;
    explicit fake_registry(fault_plan& plan) { share_faults(plan); }

    struct open_record {
        winapi::hkey root;
        std::wstring subkey;
        std::uint32_t access;
    };
    std::vector<open_record> opens;  // every open_key call
    int open_keys() const { return static_cast<int>(handles_.open_count()); }

    void add_key(winapi::hkey root, const std::wstring& path) { keys_[id(root, path)]; }
    void set_string(winapi::hkey root, const std::wstring& path, const std::wstring& name,
                    const std::wstring& text, std::uint32_t type = winapi::reg_sz) {
        auto bytes = stdext::wide_to_utf16le(text);
        bytes.insert(bytes.end(), {0, 0});
        keys_[id(root, path)][stdext::to_lower(name)] = {type, bytes};
    }
    void set_dword(winapi::hkey root, const std::wstring& path, const std::wstring& name,
                   std::uint32_t v) {
        keys_[id(root, path)][stdext::to_lower(name)] = {
            winapi::reg_dword,
            {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)}};
    }
    std::optional<std::wstring> find_string(winapi::hkey root, const std::wstring& path,
                                            const std::wstring& name) {
        const auto v = read(root, path, name, winapi::reg_none);
        return v ? std::optional(stdext::utf16le_to_wide(v->data.data(), v->data.size()))
                 : std::nullopt;
    }

    stdext::expected<winapi::unique_hkey> open_key(winapi::hkey root, const std::wstring& subkey,
                                                   std::uint32_t access) override {
        opens.push_back({root, subkey, access});
        if (auto e = check("open_key")) {
            return stdext::unexpected(*e);
        }
        if (keys_.count(id(root, subkey)) == 0) {
            return failure(winapi::error_file_not_found);
        }
        return hold(id(root, subkey));
    }
    stdext::expected<winapi::unique_hkey> create_key(winapi::hkey root, const std::wstring& subkey,
                                                     std::uint32_t) override {
        if (auto e = check("create_key")) {
            return stdext::unexpected(*e);
        }
        add_key(root, subkey);
        return hold(id(root, subkey));
    }
    void close_key(winapi::hkey key) override {
        handles_.close(key);
        open_.erase(key);
    }
    stdext::expected<winapi::reg_value> query_value(winapi::hkey key, const std::wstring& name,
                                                    std::size_t capacity) override {
        if (auto e = check("query_value")) {
            return stdext::unexpected(*e);
        }
        auto v = read(key, L"", name, winapi::reg_none);
        if (v && v->data.size() > capacity) {
            return failure(winapi::error_more_data);
        }
        return v;
    }
    stdext::expected<std::wstring> get_string(winapi::hkey key, const std::wstring& subkey,
                                              const std::wstring& name) override {
        const auto v = check("get_string") ? failure(1) : read(key, subkey, name, winapi::reg_sz);
        if (!v) {
            return stdext::unexpected(v.error());
        }
        return stdext::utf16le_to_wide(v->data.data(), v->data.size());
    }
    stdext::expected<std::uint32_t> get_dword(winapi::hkey key, const std::wstring& subkey,
                                              const std::wstring& name) override {
        const auto v = check("get_dword") ? failure(1) : read(key, subkey, name, winapi::reg_dword);
        if (!v) {
            return stdext::unexpected(v.error());
        }
        const auto& d = v->data;
        return d[0] | d[1] << 8 | d[2] << 16 | std::uint32_t(d[3]) << 24;
    }
    stdext::expected<void> set_string(winapi::hkey key, const std::wstring& name,
                                      const std::wstring& text) override {
        if (auto e = check("set_string")) {
            return stdext::unexpected(*e);
        }
        set_string(open_.at(key).first, open_.at(key).second, name, text);
        return {};
    }

private:
    using key_id = std::pair<winapi::hkey, std::wstring>;  // root, lower-case path
    static key_id id(winapi::hkey root, const std::wstring& path) {
        return {root,
                std::wstring(stdext::path::without_trailing_separator(stdext::to_lower(path)))};
    }
    static stdext::unexpected<stdext::error> failure(std::uint32_t code) {
        return stdext::unexpected(winapi::win_failure(code, "registry"));
    }
    // A value of a root's or an open key's subkey; a type other than reg_none restricts it as
    // RegGetValueW does (ERROR_UNSUPPORTED_TYPE).
    stdext::expected<winapi::reg_value> read(winapi::hkey key, const std::wstring& subkey,
                                             const std::wstring& name, std::uint32_t type) {
        const auto at = open_.count(key) ? open_.at(key) : key_id{key, L""};
        const auto k = keys_.find(id(at.first, stdext::path::join(at.second, subkey)));
        const auto v = k == keys_.end() ? nullptr : find(k->second, stdext::to_lower(name));
        if (v == nullptr) {
            return failure(winapi::error_file_not_found);
        }
        if (type != winapi::reg_none && v->type != type) {
            return failure(1630);
        }
        return *v;
    }
    static const winapi::reg_value* find(const auto& values, const std::wstring& name) {
        const auto v = values.find(name);
        return v == values.end() ? nullptr : &v->second;
    }
    winapi::unique_hkey hold(const key_id& key) {
        const auto h = handles_.open("key");
        open_[h] = key;
        return winapi::unique_hkey(h);
    }

    std::map<key_id, std::map<std::wstring, winapi::reg_value>> keys_;  // names in lower case
    std::map<winapi::hkey, key_id> open_;
    handle_table handles_;
};

}  // namespace fakes
