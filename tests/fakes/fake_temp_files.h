// The temporary folder and the files created or written in it, kept in memory. Unique names are
// the prefix and a counting hexadecimal number; writes past disk_space fail. Every operation can
// be made to fail through the fault plan.
#pragma once

#include <algorithm>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "fakes/kit.h"
#include "winapi/temp_files.h"

namespace fakes {

class fake_temp_files final : public winapi::temp_files, public fake_base {
public:
    using fake_base::fake_base;

    std::wstring folder = L"C:\\Users\\user\\AppData\\Local\\Temp\\";
    std::size_t disk_space = std::numeric_limits<std::size_t>::max();
    bool flush_fails = false;  // the bytes are taken, and found to have no room when flushed
    std::map<std::wstring, std::string> files;  // contents by path, as of the last flush
    unsigned next_unique = 0x1a2b;
    std::function<void(const std::wstring&)> on_unique_file;  // told every unique file's path

    stdext::expected<std::wstring> temp_folder() override {
        return answer("GetTempPath", [&] { return folder; });
    }
    stdext::expected<std::wstring> unique_file(const std::wstring& in,
                                               const std::wstring& prefix) override {
        return answer("GetTempFileName", [&] {
            std::wostringstream name;
            name << in << prefix << std::hex << std::uppercase << next_unique++ << L".tmp";
            files[name.str()];
            if (on_unique_file) {
                on_unique_file(name.str());
            }
            return name.str();
        });
    }
    stdext::expected<std::unique_ptr<std::ostream>> open_binary_output(
        const std::wstring& path) override {
        return answer("open_binary_output", [&] {
            files[path].clear();
            return std::unique_ptr<std::ostream>(new stream(files[path], disk_space, flush_fails));
        });
    }
    stdext::expected<void> remove(const std::wstring& path) override {
        return answer("DeleteFile", [&] { files.erase(path); });
    }

private:
    // Appends to the file's content, up to the disk's space.
    class limited_buffer : public std::streambuf {
    public:
        limited_buffer(std::string& content, std::size_t space, bool flush_fails)
            : content_(content), space_(space), flush_fails_(flush_fails) {}

    protected:
        std::streamsize xsputn(const char* s, std::streamsize n) override {
            const std::size_t taken =
                std::min(static_cast<std::size_t>(n), space_ - content_.size());
            content_.append(s, taken);
            return static_cast<std::streamsize>(taken);
        }
        int_type overflow(int_type c) override {
            if (traits_type::eq_int_type(c, traits_type::eof())) {
                return traits_type::not_eof(c);
            }
            const char ch = traits_type::to_char_type(c);
            return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
        }
        int sync() override { return flush_fails_ ? -1 : 0; }

    private:
        std::string& content_;
        std::size_t space_;
        bool flush_fails_;
    };
    // The buffer comes first among the bases, so it is built before the stream over it.
    struct stream final : limited_buffer, std::ostream {
        stream(std::string& content, std::size_t space, bool flush_fails)
            : limited_buffer(content, space, flush_fails), std::ostream(this) {}
    };
};

}  // namespace fakes
