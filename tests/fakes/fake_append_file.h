// Files opened for appending, in memory: content by path, and links whose final path is another
// file. The fault plan fails "open" (32 for a sharing violation), "size", "seek_end", "set_end"
// and "write"; `short_write_at` makes the n-th write stop halfway without an error.
#pragma once

#include <algorithm>
#include <map>
#include <string>

#include "fakes/kit.h"
#include "winapi/append_file.h"

namespace fakes {

class fake_append_file final : public winapi::append_file, public fake_base {
public:
    using fake_base::fake_base;

    std::map<std::wstring, std::string> files;  // by path_key
    // A path whose final path is this other file: it reaches that file's content.
    std::map<std::wstring, std::wstring> links;  // path_key -> target path
    int short_write_at = 0;

    std::string& content(const std::wstring& path) { return files[path_key(path)]; }

    stdext::expected<winapi::opened_append_file> open(const std::wstring& path) override {
        return answer("open", [&] {
            const auto link = links.find(path_key(path));
            const std::wstring final_path = link == links.end() ? path : link->second;
            const auto handle = handles_.open("append file");
            open_[handle] = {path_key(final_path), 0};
            files[path_key(final_path)];  // OPEN_ALWAYS creates it
            return winapi::opened_append_file{winapi::unique_append_handle(handle),
                                              L"\\\\?\\" + final_path};
        });
    }
    stdext::expected<std::uint64_t> size(winapi::append_handle file) override {
        return answer("size", [&] { return std::uint64_t{data(file).size()}; });
    }
    stdext::expected<std::uint64_t> seek_end(winapi::append_handle file) override {
        return answer("seek_end", [&] { return open_.at(file).position = data(file).size(); });
    }
    stdext::expected<void> set_end(winapi::append_handle file, std::uint64_t position) override {
        return answer("set_end", [&] {
            data(file).resize(position);
            open_.at(file).position = position;
        });
    }
    winapi::append_write write(winapi::append_handle file, std::string_view bytes) override {
        const int nth = faults().calls("write") + 1;
        if (auto e = check("write")) {
            return {0, static_cast<std::uint32_t>(e->code.value())};
        }
        if (nth == short_write_at) {
            bytes = bytes.substr(0, bytes.size() / 2);
        }
        auto& position = open_.at(file).position;
        std::string& content = data(file);
        content.resize(std::max<std::size_t>(content.size(), position + bytes.size()));
        content.replace(position, bytes.size(), bytes);
        position += bytes.size();
        return {static_cast<std::uint32_t>(bytes.size()), 0};
    }
    void close(winapi::append_handle file) override {
        handles_.close(file);
        open_.erase(file);
    }

private:
    struct open_file {
        std::wstring key;
        std::uint64_t position;
    };
    std::string& data(winapi::append_handle file) { return files.at(open_.at(file).key); }

    handle_table handles_;
    std::map<winapi::append_handle, open_file> open_;
};

}  // namespace fakes
