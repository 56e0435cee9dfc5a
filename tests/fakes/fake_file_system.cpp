#include "fakes/fake_file_system.h"

#include <cwctype>

#include "base/error.h"
#include "base/utf.h"

namespace fakes {
namespace {

constexpr std::uint32_t error_invalid_name = 123;

bool is_separator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

std::wstring parent_key(const std::wstring& key) {
    const auto pos = key.rfind(L'\\');
    return pos == std::wstring::npos ? std::wstring() : key.substr(0, pos);
}

}  // namespace

fake_file_system::fake_file_system() {
    add_folder(current);
}

std::optional<std::wstring> fake_file_system::resolve(const std::wstring& path) const {
    std::wstring full;
    if (path.size() >= 2 && path[1] == L':') {
        full = path;
    } else if (!path.empty() && is_separator(path[0])) {
        if (path.size() >= 2 && is_separator(path[1])) {
            return std::nullopt;  // network paths are not modelled
        }
        full = current.substr(0, 2) + path;
    } else {
        full = current + L"\\" + path;
    }
    std::vector<std::wstring> parts;
    std::wstring part;
    for (std::size_t i = 2; i <= full.size(); ++i) {
        if (i == full.size() || is_separator(full[i])) {
            if (part == L"..") {
                if (!parts.empty()) {
                    parts.pop_back();
                }
            } else if (!part.empty() && part != L".") {
                parts.push_back(part);
            }
            part.clear();
        } else {
            part += full[i];
        }
    }
    std::wstring key = text::to_lower(full.substr(0, 2));
    for (const auto& p : parts) {
        key += L'\\';
        key += text::to_lower(p);
    }
    return key;
}

void fake_file_system::add_folder(const std::wstring& path) {
    auto key = resolve(path);
    for (std::wstring k = key.value_or(L""); !k.empty(); k = parent_key(k)) {
        nodes_[k].folder = true;
    }
}

void fake_file_system::set_file(const std::wstring& path, std::string content) {
    const std::wstring key = resolve(path).value();
    add_folder(parent_key(key));
    nodes_[key] = node{false, std::move(content)};
}

std::optional<std::string> fake_file_system::file(const std::wstring& path) const {
    const node* n = find(resolve(path));
    if (n == nullptr || n->folder) {
        return std::nullopt;
    }
    return n->content;
}

bool fake_file_system::has_folder(const std::wstring& path) const {
    const node* n = find(resolve(path));
    return n != nullptr && n->folder;
}

void fake_file_system::remove(const std::wstring& path) {
    if (auto key = resolve(path)) {
        nodes_.erase(*key);
    }
}

std::vector<std::wstring> fake_file_system::files_in(const std::wstring& folder) const {
    std::vector<std::wstring> found;
    const std::wstring prefix = resolve(folder).value_or(L"?") + L"\\";
    for (const auto& [key, n] : nodes_) {
        if (!n.folder && key.compare(0, prefix.size(), prefix) == 0) {
            found.push_back(key);
        }
    }
    return found;
}

void fake_file_system::fail(op what, std::uint32_t error, int skip) {
    failures_[what] = failure{error, skip};
    calls_[what] = 0;
}

void fake_file_system::step() {
    if (kill_after && steps >= *kill_after) {
        throw process_killed{};
    }
    ++steps;
}

std::optional<std::uint32_t> fake_file_system::injected(op what) {
    const int call = ++calls_[what];
    auto f = failures_.find(what);
    if (f == failures_.end() || call <= f->second.skip) {
        return std::nullopt;
    }
    return f->second.error;
}

const fake_file_system::node* fake_file_system::find(const std::optional<std::wstring>& key) const {
    if (!key) {
        return nullptr;
    }
    auto it = nodes_.find(*key);
    return it == nodes_.end() ? nullptr : &it->second;
}

bool fake_file_system::parent_is_folder(const std::wstring& key) const {
    const node* n = find(parent_key(key));
    return n != nullptr && n->folder;
}

std::uint32_t fake_file_system::current_directory(std::wstring& out) {
    step();
    if (auto e = injected(op::current_directory)) {
        return *e;
    }
    out = current;
    return winapi::error_success;
}

std::uint32_t fake_file_system::set_current_directory(const std::wstring& path) {
    step();
    if (auto e = injected(op::set_current_directory)) {
        return *e;
    }
    auto key = resolve(path);
    const node* n = find(key);
    if (n == nullptr || !n->folder) {
        return key && parent_is_folder(*key) ? winapi::error_file_not_found
                                             : winapi::error_path_not_found;
    }
    // Windows keeps the path as given, made absolute; the key form is close enough here.
    current = *key;
    current[0] = static_cast<wchar_t>(std::towupper(current[0]));
    return winapi::error_success;
}

bool fake_file_system::folder_exists(const std::wstring& path) {
    step();
    return has_folder(path);
}

bool fake_file_system::file_exists(const std::wstring& path) {
    step();
    return file(path).has_value();
}

std::uint32_t fake_file_system::create_folder(const std::wstring& path) {
    step();
    if (auto e = injected(op::create_folder)) {
        return *e;
    }
    auto key = resolve(path);
    if (!key) {
        return error_invalid_name;
    }
    if (find(key) != nullptr) {
        return winapi::error_already_exists;
    }
    if (!parent_is_folder(*key)) {
        return winapi::error_path_not_found;
    }
    nodes_[*key].folder = true;
    return winapi::error_success;
}

winapi::file_status fake_file_system::read_file(const std::wstring& path, std::string& content) {
    content.clear();
    step();
    if (auto e = injected(op::open_read)) {
        return {*e, winapi::file_step::open};
    }
    auto key = resolve(path);
    const node* n = find(key);
    if (n == nullptr) {
        return {key && parent_is_folder(*key) ? winapi::error_file_not_found
                                              : winapi::error_path_not_found,
                winapi::file_step::open};
    }
    if (n->folder) {
        return {winapi::error_access_denied, winapi::file_step::open};
    }
    step();
    if (auto e = injected(op::read)) {
        return {*e, winapi::file_step::read};
    }
    content = n->content;
    return {};
}

winapi::file_status fake_file_system::write_file(const std::wstring& path,
                                                 std::string_view content) {
    step();
    if (auto e = injected(op::create)) {
        return {*e, winapi::file_step::open};
    }
    auto key = resolve(path);
    if (!key) {
        return {error_invalid_name, winapi::file_step::open};
    }
    if (const node* n = find(key); n != nullptr && n->folder) {
        return {winapi::error_access_denied, winapi::file_step::open};
    }
    if (!parent_is_folder(*key)) {
        return {winapi::error_path_not_found, winapi::file_step::open};
    }
    node& target = nodes_[*key];
    target = node{};  // created or truncated

    // A write cut short, by a failure or by death, leaves the first part of the bytes.
    const std::string half(content.substr(0, content.size() / 2));
    if (kill_after && steps >= *kill_after) {
        target.content = half;
        throw process_killed{};
    }
    step();
    if (auto e = injected(op::write)) {
        target.content = half;
        return {*e, winapi::file_step::write};
    }
    target.content = std::string(content);

    step();
    if (auto e = injected(op::flush)) {
        return {*e, winapi::file_step::flush};
    }
    return {};
}

std::uint32_t fake_file_system::replace_file(const std::wstring& source,
                                             const std::wstring& target) {
    step();
    if (auto e = injected(op::replace)) {
        return *e;
    }
    auto from = resolve(source);
    auto to = resolve(target);
    const node* s = find(from);
    if (s == nullptr || s->folder) {
        return winapi::error_file_not_found;
    }
    if (!to) {
        return error_invalid_name;
    }
    if (const node* t = find(to); t != nullptr && t->folder) {
        return winapi::error_access_denied;
    }
    if (!parent_is_folder(*to)) {
        return winapi::error_path_not_found;
    }
    if (*from != *to) {
        nodes_[*to] = nodes_[*from];
        nodes_.erase(*from);
    }
    return winapi::error_success;
}

std::uint32_t fake_file_system::delete_file(const std::wstring& path) {
    step();
    if (auto e = injected(op::remove)) {
        return *e;
    }
    auto key = resolve(path);
    const node* n = find(key);
    if (n == nullptr) {
        return winapi::error_file_not_found;
    }
    if (n->folder) {
        return winapi::error_access_denied;
    }
    nodes_.erase(*key);
    return winapi::error_success;
}

}  // namespace fakes
