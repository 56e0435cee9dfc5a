// The installed files as the listing sees them, walked in the order given: each with its version
// resource, size and precomputed MD5 digest (none: locked against reading). Log files keep their
// text after the stream is gone. Every operation fails through the fault plan; a failing
// "walk_entry" ends the walk there as an unreadable folder does.
#pragma once

#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "fakes/kit.h"
#include "stdext/path.h"
#include "winapi/diagnostics.h"

namespace fakes {

class fake_diagnostics final : public winapi::diagnostics, public fake_base {
public:
    using fake_base::fake_base;

    struct file {
        std::wstring path;  // below the walked folder
        bool has_resource = false;
        std::optional<winapi::fixed_file_version> version;  // none: no root block
        std::uint64_t size = 0;
        std::optional<winapi::md5_digest> md5;
    };

    std::wstring common_app_data = L"C:\\ProgramData";
    std::vector<file> files;
    std::vector<std::wstring> opened;  // every log file opened
    std::map<std::wstring, std::shared_ptr<std::wstringbuf>> logs;
    // Where a log file's name really leads, when a link or junction is on its way; any other
    // name is its own final path.
    std::map<std::wstring, std::wstring> final_paths;

    stdext::expected<std::wstring> common_app_data_folder() override {
        return answer("common_app_data_folder", common_app_data);
    }
    stdext::expected<void> walk_files(
        const std::wstring& folder,
        const std::function<void(const std::wstring&)>& on_file) override {
        for (const auto& f : files) {
            if (auto fault = check("walk_entry")) {
                return stdext::unexpected(*fault);
            }
            on_file(stdext::path::join(folder, f.path));
        }
        return {};
    }
    // The resource is the file's place in the list.
    stdext::expected<std::vector<std::uint8_t>> version_info(const std::wstring& path) override {
        const auto i = find(path);
        const bool ok = i < files.size() && files[i].has_resource;
        return answer("version_info", std::vector<std::uint8_t>{std::uint8_t(i)}, ok ? 0 : 1813);
    }
    stdext::expected<winapi::fixed_file_version> fixed_version(
        const std::vector<std::uint8_t>& info) override {
        const auto& v = files.at(info.at(0)).version;
        return answer("fixed_version", v.value_or(winapi::fixed_file_version{}), v ? 0 : 1813);
    }
    stdext::expected<std::uint64_t> file_size(const std::wstring& path) override {
        const auto i = find(path);
        return answer("file_size", i < files.size() ? files[i].size : 0, i < files.size() ? 0 : 2);
    }
    stdext::expected<winapi::md5_digest> file_md5(const std::wstring& path) override {
        const auto i = find(path);
        const bool ok = i < files.size() && files[i].md5;
        return answer("file_md5", ok ? *files[i].md5 : winapi::md5_digest{}, ok ? 0 : 32);
    }
    stdext::expected<std::unique_ptr<std::wostream>> open_log_file(
        const std::wstring& path, const std::function<bool(const std::wstring&)>& accept) override {
        opened.push_back(path);
        if (auto fault = check("open_log_file")) {
            return stdext::unexpected(*fault);
        }
        const auto link = final_paths.find(path);
        const std::wstring target = link == final_paths.end() ? path : link->second;
        if (!accept(L"\\\\?\\" + target)) {
            return stdext::unexpected(winapi::win_failure(1656, "final path differs"));
        }
        auto& buffer = logs[target] = std::make_shared<std::wstringbuf>();
        return std::unique_ptr<std::wostream>(new stream(buffer));
    }

private:
    // The planned failure, else the failure with a non-zero code, else the value.
    template <class T>
    stdext::expected<T> answer(const char* operation, T value, std::uint32_t code = 0) {
        auto fault = check(operation);
        if (fault || code != 0) {
            return stdext::unexpected(fault.value_or(winapi::win_failure(code, operation)));
        }
        return value;
    }
    // The place of the file whose path ends with path, or the list's size.
    std::size_t find(const std::wstring& path) const {
        std::size_t i = 0;
        while (i < files.size() &&
               !(L"\\" + stdext::path::normal_form(path))
                    .ends_with(stdext::path::normal_form(L"\\" + files[i].path))) {
            ++i;
        }
        return i;
    }
    struct stream final : std::wostream {
        explicit stream(std::shared_ptr<std::wstringbuf> b) : std::wostream(b.get()), keep(b) {}
        std::shared_ptr<std::wstringbuf> keep;
    };
};

}  // namespace fakes
