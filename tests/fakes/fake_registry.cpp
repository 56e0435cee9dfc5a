#include "fakes/fake_registry.h"

#include "base/error.h"
#include "base/utf.h"

namespace fakes {
namespace {

std::wstring normalise(const std::wstring& path) {
    std::wstring p = text::to_lower(path);
    while (!p.empty() && p.back() == L'\\') {
        p.pop_back();
    }
    return p;
}

std::wstring join(const std::wstring& a, const std::wstring& b) {
    if (a.empty()) {
        return b;
    }
    if (b.empty()) {
        return a;
    }
    return a + L"\\" + b;
}

bool is_root(winapi::hkey key) {
    return key >= 0x80000000u && key <= 0x80000006u;
}

}  // namespace

fake_registry::key_id fake_registry::make_id(winapi::hkey root, const std::wstring& path) {
    return {root, normalise(path)};
}

void fake_registry::add_key(winapi::hkey root, const std::wstring& path) {
    // Every parent exists as well.
    std::wstring p = normalise(path);
    keys_[{root, p}];
    for (auto pos = p.rfind(L'\\'); pos != std::wstring::npos; pos = p.rfind(L'\\')) {
        p.resize(pos);
        keys_[{root, p}];
    }
}

void fake_registry::set_string(winapi::hkey root, const std::wstring& path,
                               const std::wstring& name, const std::wstring& data,
                               std::uint32_t type) {
    add_key(root, path);
    auto bytes = text::wide_to_utf16le(data);
    bytes.push_back(0);
    bytes.push_back(0);
    keys_[make_id(root, path)][text::to_lower(name)] = value{type, bytes};
}

void fake_registry::set_dword(winapi::hkey root, const std::wstring& path, const std::wstring& name,
                              std::uint32_t data) {
    add_key(root, path);
    std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(data & 0xFF),
                                    static_cast<std::uint8_t>((data >> 8) & 0xFF),
                                    static_cast<std::uint8_t>((data >> 16) & 0xFF),
                                    static_cast<std::uint8_t>((data >> 24) & 0xFF)};
    keys_[make_id(root, path)][text::to_lower(name)] = value{winapi::reg_dword, bytes};
}

std::optional<fake_registry::value> fake_registry::find_value(winapi::hkey root,
                                                              const std::wstring& path,
                                                              const std::wstring& name) const {
    auto key = keys_.find(make_id(root, path));
    if (key == keys_.end()) {
        return std::nullopt;
    }
    auto v = key->second.find(text::to_lower(name));
    if (v == key->second.end()) {
        return std::nullopt;
    }
    return v->second;
}

std::optional<std::wstring> fake_registry::find_string(winapi::hkey root, const std::wstring& path,
                                                       const std::wstring& name) const {
    auto v = find_value(root, path, name);
    if (!v) {
        return std::nullopt;
    }
    return text::utf16le_to_wide(v->data.data(), v->data.size());
}

bool fake_registry::has_key(winapi::hkey root, const std::wstring& path) const {
    return keys_.count(make_id(root, path)) != 0;
}

std::optional<fake_registry::key_id> fake_registry::resolve(winapi::hkey key,
                                                            const std::wstring& subkey) const {
    if (is_root(key)) {
        return make_id(key, subkey);
    }
    auto h = handles_.find(key);
    if (h == handles_.end()) {
        return std::nullopt;
    }
    return key_id{h->second.first, normalise(join(h->second.second, subkey))};
}

std::uint32_t fake_registry::open_key(winapi::hkey root, const std::wstring& subkey,
                                      std::uint32_t access, winapi::hkey& out) {
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

std::uint32_t fake_registry::create_key(winapi::hkey root, const std::wstring& subkey,
                                        std::uint32_t /*access*/, winapi::hkey& out) {
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

std::uint32_t fake_registry::close_key(winapi::hkey key) {
    return handles_.erase(key) ? 0 : 6;
}

std::uint32_t fake_registry::query_value(winapi::hkey key, const std::wstring& name,
                                         std::uint32_t& type, std::vector<std::uint8_t>& data) {
    if (fail_query) {
        return *fail_query;
    }
    auto h = handles_.find(key);
    if (h == handles_.end()) {
        return 6;
    }
    auto& values = keys_[h->second];
    auto v = values.find(text::to_lower(name));
    if (v == values.end()) {
        return winapi::error_file_not_found;
    }
    type = v->second.type;
    if (v->second.data.size() > data.size()) {
        return winapi::error_more_data;
    }
    std::copy(v->second.data.begin(), v->second.data.end(), data.begin());
    data.resize(v->second.data.size());
    return 0;
}

std::uint32_t fake_registry::get_value(winapi::hkey key, const std::wstring& subkey,
                                       const std::wstring& name, std::uint32_t flags,
                                       std::uint32_t& type, std::vector<std::uint8_t>& data) {
    if (fail_get) {
        return *fail_get;
    }
    auto id = resolve(key, subkey);
    if (!id || !keys_.count(*id)) {
        return winapi::error_file_not_found;
    }
    auto& values = keys_[*id];
    auto v = values.find(text::to_lower(name));
    if (v == values.end()) {
        return winapi::error_file_not_found;
    }
    const bool want_sz = (flags & winapi::rrf_rt_reg_sz) != 0;
    const bool want_dword = (flags & winapi::rrf_rt_reg_dword) != 0;
    if ((v->second.type == winapi::reg_sz && !want_sz) ||
        (v->second.type == winapi::reg_dword && !want_dword) ||
        (v->second.type != winapi::reg_sz && v->second.type != winapi::reg_dword)) {
        return 1630;  // ERROR_UNSUPPORTED_TYPE
    }
    type = v->second.type;
    if (v->second.data.size() > data.size()) {
        return winapi::error_more_data;
    }
    std::copy(v->second.data.begin(), v->second.data.end(), data.begin());
    data.resize(v->second.data.size());
    return 0;
}

std::uint32_t fake_registry::set_value(winapi::hkey key, const std::wstring& name,
                                       std::uint32_t type, const std::vector<std::uint8_t>& data) {
    if (fail_set) {
        return *fail_set;
    }
    auto h = handles_.find(key);
    if (h == handles_.end()) {
        return 6;
    }
    ++writes;
    keys_[h->second][text::to_lower(name)] = value{type, data};
    return 0;
}

}  // namespace fakes
