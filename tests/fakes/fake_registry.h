// An in-memory registry: keys by root and case-insensitive path, values as raw bytes, and a
// failure switch for every call so each error path can be reached.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/sys/registry.h"

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
    void add_key(winapi::hkey root, const std::wstring& path);
    void set_string(winapi::hkey root, const std::wstring& path, const std::wstring& name,
                    const std::wstring& data, std::uint32_t type = winapi::reg_sz);
    void set_dword(winapi::hkey root, const std::wstring& path, const std::wstring& name,
                   std::uint32_t data);
    std::optional<value> find_value(winapi::hkey root, const std::wstring& path,
                                    const std::wstring& name) const;
    std::optional<std::wstring> find_string(winapi::hkey root, const std::wstring& path,
                                            const std::wstring& name) const;
    bool has_key(winapi::hkey root, const std::wstring& path) const;

    // Failure injection: the next calls of that kind fail with the given error.
    std::optional<std::uint32_t> fail_open;
    std::optional<std::uint32_t> fail_create;
    std::optional<std::uint32_t> fail_query;
    std::optional<std::uint32_t> fail_get;
    std::optional<std::uint32_t> fail_set;

    std::vector<open_record> opens;
    int open_keys() const { return static_cast<int>(handles_.size()); }
    int writes = 0;

    // winapi::registry
    std::uint32_t open_key(winapi::hkey root, const std::wstring& subkey, std::uint32_t access,
                           winapi::hkey& out) override;
    std::uint32_t create_key(winapi::hkey root, const std::wstring& subkey, std::uint32_t access,
                             winapi::hkey& out) override;
    std::uint32_t close_key(winapi::hkey key) override;
    std::uint32_t query_value(winapi::hkey key, const std::wstring& name, std::uint32_t& type,
                              std::vector<std::uint8_t>& data) override;
    std::uint32_t get_value(winapi::hkey key, const std::wstring& subkey, const std::wstring& name,
                            std::uint32_t flags, std::uint32_t& type,
                            std::vector<std::uint8_t>& data) override;
    std::uint32_t set_value(winapi::hkey key, const std::wstring& name, std::uint32_t type,
                            const std::vector<std::uint8_t>& data) override;

private:
    using key_id = std::pair<winapi::hkey, std::wstring>;  // root, lower-case path
    static key_id make_id(winapi::hkey root, const std::wstring& path);
    std::optional<key_id> resolve(winapi::hkey key, const std::wstring& subkey) const;

    std::map<key_id, std::map<std::wstring, value>> keys_;  // value names in lower case
    std::map<winapi::hkey, key_id> handles_;
    winapi::hkey next_handle_ = 0x1000;
};

}  // namespace fakes
