// An in-memory file tree with Windows path rules (either separator, "." and ".." resolved,
// letter case ignored, relative paths against the current directory), failure injection per
// operation and a "kill": after a set number of steps the next step throws process_killed and
// leaves the tree exactly as a dying process would (a write cut in the middle leaves half of
// its bytes in the file). Free of test-framework code so the fuzz targets can link it.
#pragma once

#include <cstdint>
#include <cwctype>
#include <map>
#include <optional>
#include <string>
#include <vector>
#include "stdext/expected.h"
#include "stdext/utf.h"

#include "winapi/file_system.h"
#include "winapi/win_error_category.h"

namespace fakes {

// Thrown by a step of the fake after the kill budget is spent. Not a std::exception, so no
// handler of the code under test can swallow it.
struct process_killed {};

class fake_file_system final : public winapi::file_system {
public:
    enum class op {
        current_directory,
        set_current_directory,
        create_folder,
        open_read,
        read,
        create,  // opening a file for writing
        write,
        flush,
        replace,
        remove,
    };

    fake_file_system() { add_folder(current); }

    // Test set-up and inspection; paths follow the same rules as the facility calls.
    // Adds the folder with every folder above it.
    void add_folder(const std::wstring& path) {
        for (std::wstring k = resolve(path).value_or(L""); !k.empty(); k = parent_key(k)) {
            nodes_[k].folder = true;
        }
    }
    // Puts a file there, creating its folders.
    void set_file(const std::wstring& path, std::string content) {
        const std::wstring key = resolve(path).value();
        add_folder(parent_key(key));
        nodes_[key] = node{false, std::move(content)};
    }
    std::optional<std::string> file(const std::wstring& path) const {
        const node* n = find(resolve(path));
        return n == nullptr || n->folder ? std::nullopt : std::optional(n->content);
    }
    bool has_folder(const std::wstring& path) const {
        const node* n = find(resolve(path));
        return n != nullptr && n->folder;
    }

    // From now on, every call of `what` after the first `skip` ones fails with error.
    void fail(op what, std::uint32_t error, int skip = 0) { failures_[what] = {error, skip}; }

    // After this many steps the next one throws process_killed.
    std::optional<int> kill_after;

    std::wstring current = L"C:\\Program Files\\Valdrin\\Agent\\1.0.0";

    // winapi::file_system
    std::uint32_t current_directory(std::wstring& out) override {
        if (auto e = step(op::current_directory)) {
            return *e;
        }
        out = current;
        return winapi::error_success;
    }
    std::uint32_t set_current_directory(const std::wstring& path) override {
        if (auto e = step(op::set_current_directory)) {
            return *e;
        }
        auto key = resolve(path);
        if (!has_folder(path)) {
            return missing(key);
        }
        // Windows keeps the path as given, made absolute; the key form is close enough here.
        current = *key;
        current[0] = static_cast<wchar_t>(std::towupper(current[0]));
        return winapi::error_success;
    }
    bool folder_exists(const std::wstring& path) override {
        step();
        return has_folder(path);
    }
    bool file_exists(const std::wstring& path) override {
        step();
        return file(path).has_value();
    }
    std::uint32_t create_folder(const std::wstring& path) override {
        if (auto e = step(op::create_folder)) {
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
    winapi::file_status read_file(const std::wstring& path, std::string& content) override {
        content.clear();
        if (auto e = step(op::open_read)) {
            return {*e, winapi::file_step::open};
        }
        auto key = resolve(path);
        const node* n = find(key);
        if (n == nullptr || n->folder) {
            return {n ? winapi::error_access_denied : missing(key), winapi::file_step::open};
        }
        if (auto e = step(op::read)) {
            return {*e, winapi::file_step::read};
        }
        content = n->content;
        return {};
    }
    winapi::file_status write_file(const std::wstring& path, std::string_view content) override {
        if (auto e = step(op::create)) {
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
        target.content = content.substr(0, content.size() / 2);
        if (auto e = step(op::write)) {
            return {*e, winapi::file_step::write};
        }
        target.content = std::string(content);
        if (auto e = step(op::flush)) {
            return {*e, winapi::file_step::flush};
        }
        return {};
    }
    std::uint32_t replace_file(const std::wstring& source, const std::wstring& target) override {
        if (auto e = step(op::replace)) {
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
    std::uint32_t delete_file(const std::wstring& path) override {
        if (auto e = step(op::remove)) {
            return *e;
        }
        auto key = resolve(path);
        const node* n = find(key);
        if (n == nullptr || n->folder) {
            return n ? winapi::error_access_denied : winapi::error_file_not_found;
        }
        nodes_.erase(*key);
        return winapi::error_success;
    }

private:
    static constexpr std::uint32_t error_invalid_name = 123;

    static bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

    static std::wstring parent_key(const std::wstring& key) {
        const auto pos = key.rfind(L'\\');
        return pos == std::wstring::npos ? std::wstring() : key.substr(0, pos);
    }

    struct node {
        bool folder = false;
        std::string content;
    };
    struct failure {
        std::uint32_t error;
        int skip;  // calls still to let through
    };

    // Full, normalised, lower-case path ("c:\a\b"), or nothing for a path that leaves its root.
    std::optional<std::wstring> resolve(const std::wstring& path) const {
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
            if (i < full.size() && !is_separator(full[i])) {
                part += full[i];
                continue;
            }
            if (part == L".." && !parts.empty()) {
                parts.pop_back();
            } else if (!part.empty() && part != L"." && part != L"..") {
                parts.push_back(part);
            }
            part.clear();
        }
        std::wstring key = full.substr(0, 2);
        for (const auto& p : parts) {
            key += L'\\' + p;
        }
        return stdext::to_lower(key);
    }
    // Counts a step; throws process_killed when the budget is spent.
    void step() {
        if (kill_after && steps_ >= *kill_after) {
            throw process_killed{};
        }
        ++steps_;
    }
    // A step that returns the error injected for this call of `what`, if any.
    std::optional<std::uint32_t> step(op what) {
        step();
        auto f = failures_.find(what);
        if (f == failures_.end() || f->second.skip-- > 0) {
            return std::nullopt;
        }
        return f->second.error;
    }
    node* find(const std::optional<std::wstring>& key) {
        auto it = key ? nodes_.find(*key) : nodes_.end();
        return it == nodes_.end() ? nullptr : &it->second;
    }
    const node* find(const std::optional<std::wstring>& key) const {
        return const_cast<fake_file_system*>(this)->find(key);
    }
    bool parent_is_folder(const std::wstring& key) const {
        const node* n = find(parent_key(key));
        return n != nullptr && n->folder;
    }
    // The error for a path that names nothing: file not found when only the last part is missing.
    std::uint32_t missing(const std::optional<std::wstring>& key) const {
        return key && parent_is_folder(*key) ? winapi::error_file_not_found
                                             : winapi::error_path_not_found;
    }

    std::map<std::wstring, node> nodes_;
    std::map<op, failure> failures_;
    int steps_ = 0;
};

}  // namespace fakes
