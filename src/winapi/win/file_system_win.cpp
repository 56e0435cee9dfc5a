#include <windows.h>

#include <algorithm>
#include <vector>

#include "stdext/expected.h"
#include "winapi/win/handles.h"
#include "winapi/win/system_facilities.h"
#include "winapi/win_error_category.h"

namespace winapi {
namespace {

// The thread's last error after a failed call; a failure without one still counts as failed.
std::uint32_t last_error() {
    const DWORD rc = ::GetLastError();
    return rc == ERROR_SUCCESS ? error_gen_failure : static_cast<std::uint32_t>(rc);
}

class windows_file_system final : public file_system {
public:
    std::uint32_t current_directory(std::wstring& out) override {
        std::vector<wchar_t> buffer(MAX_PATH + 1);
        for (;;) {
            const DWORD n =
                ::GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
            if (n == 0) {
                return last_error();
            }
            if (n < buffer.size()) {
                out.assign(buffer.data(), n);
                return error_success;
            }
            buffer.resize(n);  // n counts the terminating zero when the buffer was too small
        }
    }

    std::uint32_t set_current_directory(const std::wstring& path) override {
        return ::SetCurrentDirectoryW(path.c_str()) ? error_success : last_error();
    }

    bool folder_exists(const std::wstring& path) override {
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    }

    bool file_exists(const std::wstring& path) override {
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    }

    std::uint32_t create_folder(const std::wstring& path) override {
        return ::CreateDirectoryW(path.c_str(), nullptr) ? error_success : last_error();
    }

    file_status read_file(const std::wstring& path, std::string& content) override {
        content.clear();
        unique_file_handle file(::CreateFileW(
            path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            return {last_error(), file_step::open};
        }
        std::vector<char> chunk(64 * 1024);
        for (;;) {
            DWORD got = 0;
            if (!::ReadFile(file.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &got,
                            nullptr)) {
                return {last_error(), file_step::read};
            }
            if (got == 0) {
                return {};
            }
            content.append(chunk.data(), got);
        }
    }

    file_status write_file(const std::wstring& path, std::string_view content) override {
        unique_file_handle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            return {last_error(), file_step::open};
        }
        while (!content.empty()) {
            const DWORD want = static_cast<DWORD>(std::min<std::size_t>(content.size(), 1u << 30));
            DWORD written = 0;
            if (!::WriteFile(file.get(), content.data(), want, &written, nullptr)) {
                return {last_error(), file_step::write};
            }
            if (written == 0) {
                return {error_gen_failure, file_step::write};
            }
            content.remove_prefix(written);
        }
        if (!::FlushFileBuffers(file.get())) {
            return {last_error(), file_step::flush};
        }
        return {};
    }

    std::uint32_t replace_file(const std::wstring& source, const std::wstring& target) override {
        return ::MoveFileExW(source.c_str(), target.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
                   ? error_success
                   : last_error();
    }

    std::uint32_t delete_file(const std::wstring& path) override {
        return ::DeleteFileW(path.c_str()) ? error_success : last_error();
    }
};

}  // namespace

file_system& windows_file_system_instance() {
    static windows_file_system instance;
    return instance;
}

}  // namespace winapi
