// An in-memory disk with Windows path rules (either separator, "." parts dropped, letter case
// ignored, relative paths against `current`) and symbolic links at the last part of a path. Every
// call and every step inside a file write counts in the fault plan, so each can fail; failed with
// `killed`, the step throws process_killed and leaves the disk as a dying process would (a write
// cut short leaves the first half of its bytes).
#pragma once

#include <cwctype>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "fakes/kit.h"
#include "stdext/path.h"
#include "winapi/file_system.h"

namespace fakes {

// Not a std::exception, so no handler of the code under test can swallow it.
struct process_killed {};
inline constexpr std::uint32_t killed = 0xdead;

class fake_file_system final : public winapi::file_system, public fake_base {
public:
    fake_file_system() { add_folder(current); }

    std::wstring current = L"C:\\Program Files\\Valdrin\\Agent\\1.0.0";

    void add_folder(const std::wstring& path) {
        for (auto k = key(path); nodes_.emplace(k, std::nullopt).second;
             k = stdext::path::parent(k)) {
        }
    }
    void set_file(const std::wstring& path, std::string content, bool read_only = false) {
        add_folder(stdext::path::parent(key(path)));
        nodes_[key(path)] = std::move(content);
        if (read_only) {
            read_only_.insert(key(path));
        }
    }
    // A symbolic link: its target as written (a relative one is followed from the link's folder)
    // and whether it is a folder link.
    using link_record = std::pair<std::wstring, bool>;
    void add_link(const std::wstring& path, const std::wstring& target, bool directory) {
        add_folder(stdext::path::parent(key(path)));
        nodes_.erase(key(path));
        links_[key(path)] = {target, directory};
    }
    std::optional<link_record> link(const std::wstring& path) const {
        return links_.count(key(path)) ? std::optional(links_.at(key(path))) : std::nullopt;
    }
    std::optional<std::string> file(const std::wstring& path) const {
        return nodes_.count(key(path)) ? nodes_.at(key(path)) : std::nullopt;
    }
    bool has_folder(const std::wstring& path) const {
        return nodes_.count(key(path)) && !nodes_.at(key(path));
    }

    stdext::expected<std::wstring> current_directory() override {
        return run("current_directory", [&] { return current; });
    }
    stdext::expected<void> set_current_directory(const std::wstring& path) override {
        return run("set_current_directory", [&] {
            require(has_folder(path), 2, "SetCurrentDirectory failed");
            current = key(path);  // Windows keeps the spelling; the drive letter is enough here
            current[0] = static_cast<wchar_t>(std::towupper(current[0]));
        });
    }
    stdext::expected<void> create_folder_tree(const std::wstring& folder) override {
        return run("create_folder_tree", [&] {
            std::wstring k = key(folder);
            while (!nodes_.count(k) && !stdext::path::is_root(k)) {
                k = stdext::path::parent(k);
            }
            require(has_folder(k), nodes_.count(k) ? 183 : 3, "CreateDirectory failed");
            add_folder(folder);
        });
    }
    stdext::expected<std::string> read_file(const std::wstring& path) override {
        return run("read_file", [&] {
            require(file(path).has_value(), 2, winapi::file_step::create);
            step("ReadFile", winapi::file_step::read);
            return *file(path);
        });
    }
    stdext::expected<void> write_file(const std::wstring& path, std::string_view content) override {
        return run("write_file", [&] {
            const std::wstring k = key(path);
            require(has_folder(stdext::path::parent(k)) && writable(k), 5,
                    winapi::file_step::create);
            auto& f = nodes_[k] = std::string(content.substr(0, content.size() / 2));
            step("WriteFile", winapi::file_step::write);
            f = std::string(content);
            step("FlushFileBuffers", winapi::file_step::flush);
        });
    }
    stdext::expected<void> move_file_replacing(const std::wstring& source,
                                               const std::wstring& target) override {
        return run("move_file_replacing", [&] {
            require(file(source) && writable(key(target)), 5, "MoveFileEx failed");
            nodes_[key(target)] = nodes_[key(source)];
            nodes_.erase(key(source));
        });
    }
    stdext::expected<void> delete_file(const std::wstring& path) override {
        return run("delete_file", [&] {
            require(file(path) && writable(key(path)), 5, "DeleteFile failed");
            nodes_.erase(key(path));
        });
    }
    stdext::expected<winapi::file_type> status(const std::wstring& path) override {
        return run("status", [&] { return type_of(resolve(key(path))); });
    }
    stdext::expected<winapi::file_type> symlink_status(const std::wstring& path) override {
        return run("symlink_status", [&] {
            return links_.count(key(path)) ? winapi::file_type::symlink : type_of(key(path));
        });
    }
    stdext::expected<std::wstring> read_symlink(const std::wstring& path) override {
        return run("read_symlink", [&] {
            require(links_.count(key(path)) != 0, winapi::error_not_a_reparse_point,
                    "DeviceIoControl failed");
            return links_.at(key(path)).first;
        });
    }
    stdext::expected<void> remove(const std::wstring& path) override {
        return run("remove", [&] {
            const std::wstring k = key(path);
            if (links_.erase(k) == 0) {
                require(nodes_.count(k) != 0, 2, "GetFileAttributes failed");
                require(nodes_.at(k) ? writable(k) : !has_content(k),
                        nodes_.at(k) ? 5u : winapi::error_dir_not_empty, "remove failed");
                nodes_.erase(k);
            }
        });
    }
    stdext::expected<void> create_symlink(const std::wstring& target, const std::wstring& path,
                                          bool directory) override {
        return run("create_symlink", [&] {
            const std::wstring k = key(path);
            require(has_folder(stdext::path::parent(k)), winapi::error_path_not_found,
                    "CreateSymbolicLink failed");
            require(!taken(k), winapi::error_already_exists, "CreateSymbolicLink failed");
            links_[k] = {target, directory};
        });
    }
    stdext::expected<void> copy_file(const std::wstring& source,
                                     const std::wstring& target) override {
        return run("copy_file", [&] {
            const auto content = file(resolve(key(source)));
            require(content.has_value(), 2, "CopyFile failed");
            require(has_folder(stdext::path::parent(key(target))), winapi::error_path_not_found,
                    "CopyFile failed");
            require(!taken(key(target)), winapi::error_file_exists, "CopyFile failed");
            nodes_[key(target)] = *content;
        });
    }

private:
    static void require(bool condition, std::uint32_t code, std::string_view text) {
        if (!condition) {
            throw winapi::win_failure(code, std::string(text));
        }
    }
    static void require(bool condition, std::uint32_t code, winapi::file_step failed) {
        if (!condition) {
            throw winapi::win_failure(code, std::string(winapi::step_text(failed)), failed);
        }
    }
    // Counts a step; throws its planned failure as the Windows implementation reports that step:
    // a failed open (the first step of reads and writes) or the given one.
    void step(std::string_view operation, winapi::file_step failed = winapi::file_step::create) {
        if (auto e = check(operation)) {
            e->code.value() == killed
                ? throw process_killed{}
                : throw stdext::error{e->code, std::string(winapi::step_text(failed)),
                                      static_cast<int>(failed)};
        }
    }
    template <class Body>
    auto run(std::string_view operation, Body body) -> stdext::expected<decltype(body())> {
        try {
            step(operation);
            return stdext::expected<void>().transform(body);
        } catch (const stdext::error& e) {  // a failed step ends the operation
            return stdext::unexpected(e);
        }
    }
    // What a key leads to through a link (one link deep).
    std::wstring resolve(const std::wstring& k) const {
        const auto it = links_.find(k);
        return it == links_.end()
                   ? k
                   : key(stdext::path::join(stdext::path::parent(k), it->second.first));
    }
    winapi::file_type type_of(const std::wstring& k) const {
        using enum winapi::file_type;
        return !nodes_.count(k) ? not_found : nodes_.at(k) ? regular : directory;
    }
    bool taken(const std::wstring& k) const { return nodes_.count(k) || links_.count(k); }
    bool has_content(const std::wstring& folder) const {
        const std::wstring prefix = stdext::path::with_trailing_separator(folder);
        auto below = [&](const auto& map) {
            const auto it = map.upper_bound(prefix);
            return it != map.end() && it->first.starts_with(prefix);
        };
        return below(nodes_) || below(links_);
    }
    bool writable(const std::wstring& k) const {
        return !read_only_.count(k) && (!nodes_.count(k) || nodes_.at(k));
    }
    // The full path in lower case without "." parts: "c:\a\b", or "c:\" for a root.
    std::wstring key(const std::wstring& path) const {
        std::wstring k = path_key(stdext::path::join(current, path));
        for (auto dot = k.find(L"\\.\\"); dot != std::wstring::npos; dot = k.find(L"\\.\\")) {
            k.erase(dot, 2);
        }
        return k;
    }

    std::map<std::wstring, std::optional<std::string>> nodes_;  // a folder has no content
    std::map<std::wstring, link_record> links_;
    std::set<std::wstring> read_only_;
};

}  // namespace fakes
