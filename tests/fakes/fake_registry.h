// An in-memory registry: keys by root and case-insensitive path, values as raw bytes, and a
// failure switch for every call so each error path can be reached.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>
#include "stdext/expected.h"
#include "stdext/utf.h"

#include "winapi/registry.h"
#include "winapi/win_error_category.h"

namespace fakes {

class fake_registry final : public winapi::registry {
public:
    struct value {
        std::uint32_t type = winapi::reg_none;
        std::vector<std::uint8_t> data;
    };
    struct open_record {
        winapi::hkey root;
        std::wstring subkey;
        std::uint32_t access;
    };

    // Test set-up.
    void add_key(winapi::hkey root, const std::wstring& path) {
        // Every parent exists as well.
        std::wstring p = normalise(path);
        keys_[{root, p}];
        for (auto pos = p.rfind(L'\\'); pos != std::wstring::npos; pos = p.rfind(L'\\')) {
            p.resize(pos);
            keys_[{root, p}];
        }
    }
    void set_string(winapi::hkey root, const std::wstring& path, const std::wstring& name,
                    const std::wstring& data, std::uint32_t type = winapi::reg_sz) {
        add_key(root, path);
        auto bytes = stdext::wide_to_utf16le(data);
        bytes.push_back(0);
        bytes.push_back(0);
        keys_[make_id(root, path)][stdext::to_lower(name)] = value{type, bytes};
    }
    void set_dword(winapi::hkey root, const std::wstring& path, const std::wstring& name,
                   std::uint32_t data) {
        add_key(root, path);
        std::vector<std::uint8_t> bytes;
        for (int shift = 0; shift < 32; shift += 8) {
            bytes.push_back(static_cast<std::uint8_t>(data >> shift));
        }
        keys_[make_id(root, path)][stdext::to_lower(name)] = value{winapi::reg_dword, bytes};
    }
    std::optional<value> find_value(winapi::hkey root, const std::wstring& path,
                                    const std::wstring& name) const {
        auto key = keys_.find(make_id(root, path));
        if (key == keys_.end() || !key->second.count(stdext::to_lower(name))) {
            return std::nullopt;
        }
        return key->second.at(stdext::to_lower(name));
    }
    std::optional<std::wstring> find_string(winapi::hkey root, const std::wstring& path,
                                            const std::wstring& name) const {
        auto v = find_value(root, path, name);
        return v ? std::optional(stdext::utf16le_to_wide(v->data.data(), v->data.size()))
                 : std::nullopt;
    }

    // Failure injection: the next calls of that kind fail with the given error.
    std::optional<std::uint32_t> fail_open;
    std::optional<std::uint32_t> fail_create;
    std::optional<std::uint32_t> fail_query;
    std::optional<std::uint32_t> fail_get;
    std::optional<std::uint32_t> fail_set;

    std::vector<open_record> opens;
    int open_keys() const { return static_cast<int>(handles_.size()); }

    // winapi::registry
    std::uint32_t open_key(winapi::hkey root, const std::wstring& subkey, std::uint32_t access,
                           winapi::hkey& out) override {
        out = 0;
        opens.push_back({root, subkey, access});
        if (fail_open) {
            return *fail_open;
        }
        auto id = resolve(root, subkey);
        if (!id) {
            return 6;  // ERROR_INVALID_HANDLE
        }
        if (!keys_.count(*id)) {
            return winapi::error_file_not_found;
        }
        out = next_handle_++;
        handles_[out] = *id;
        return 0;
    }
    std::uint32_t create_key(winapi::hkey root, const std::wstring& subkey,
                             std::uint32_t /*access*/, winapi::hkey& out) override {
        out = 0;
        if (fail_create) {
            return *fail_create;
        }
        auto id = resolve(root, subkey);
        if (!id) {
            return 6;
        }
        add_key(id->first, id->second);
        out = next_handle_++;
        handles_[out] = *id;
        return 0;
    }
    std::uint32_t close_key(winapi::hkey key) override { return handles_.erase(key) ? 0 : 6; }
    std::uint32_t query_value(winapi::hkey key, const std::wstring& name, std::uint32_t& type,
                              std::vector<std::uint8_t>& data) override {
        if (fail_query) {
            return *fail_query;
        }
        return handles_.count(key) ? read(resolve(key, L""), name, 0, type, data) : 6;
    }
    std::uint32_t get_value(winapi::hkey key, const std::wstring& subkey, const std::wstring& name,
                            std::uint32_t flags, std::uint32_t& type,
                            std::vector<std::uint8_t>& data) override {
        if (fail_get) {
            return *fail_get;
        }
        return read(resolve(key, subkey), name, flags, type, data);
    }
    std::uint32_t set_value(winapi::hkey key, const std::wstring& name, std::uint32_t type,
                            const std::vector<std::uint8_t>& data) override {
        if (fail_set) {
            return *fail_set;
        }
        auto h = handles_.find(key);
        if (h == handles_.end()) {
            return 6;
        }
        keys_[h->second][stdext::to_lower(name)] = value{type, data};
        return 0;
    }

private:
    static std::wstring normalise(const std::wstring& path) {
        std::wstring p = stdext::to_lower(path);
        while (!p.empty() && p.back() == L'\\') {
            p.pop_back();
        }
        return p;
    }

    static std::wstring join(const std::wstring& a, const std::wstring& b) {
        return a.empty() ? b : b.empty() ? a : a + L"\\" + b;
    }

    static bool is_root(winapi::hkey key) { return key >= 0x80000000u && key <= 0x80000006u; }

    using key_id = std::pair<winapi::hkey, std::wstring>;  // root, lower-case path
    static key_id make_id(winapi::hkey root, const std::wstring& path) {
        return {root, normalise(path)};
    }
    std::optional<key_id> resolve(winapi::hkey key, const std::wstring& subkey) const {
        if (is_root(key)) {
            return make_id(key, subkey);
        }
        auto h = handles_.find(key);
        if (h == handles_.end()) {
            return std::nullopt;
        }
        return key_id{h->second.first, normalise(join(h->second.second, subkey))};
    }
    // Reads a value into a buffer of data.size() bytes; flags as RegGetValue's (0: any type).
    std::uint32_t read(const std::optional<key_id>& id, const std::wstring& name,
                       std::uint32_t flags, std::uint32_t& type,
                       std::vector<std::uint8_t>& data) const {
        auto key = id ? keys_.find(*id) : keys_.end();
        if (key == keys_.end() || !key->second.count(stdext::to_lower(name))) {
            return winapi::error_file_not_found;
        }
        const value& v = key->second.at(stdext::to_lower(name));
        // RegGetValue takes only the types its flags allow, and of those only strings and
        // numbers.
        const std::uint32_t allowed = v.type == winapi::reg_sz      ? winapi::rrf_rt_reg_sz
                                      : v.type == winapi::reg_dword ? winapi::rrf_rt_reg_dword
                                                                    : 0;
        if (flags != 0 && (flags & allowed) == 0) {
            return 1630;  // ERROR_UNSUPPORTED_TYPE
        }
        type = v.type;
        if (v.data.size() > data.size()) {
            return winapi::error_more_data;
        }
        data.assign(v.data.begin(), v.data.end());
        return 0;
    }

    std::map<key_id, std::map<std::wstring, value>> keys_;  // value names in lower case
    std::map<winapi::hkey, key_id> handles_;
    winapi::hkey next_handle_ = 0x1000;
};

}  // namespace fakes
