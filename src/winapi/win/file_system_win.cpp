#include <windows.h>

#include <algorithm>
#include <vector>

#include "stdext/path.h"
#include "winapi/win/handles.h"
#include "winapi/win/system_facilities.h"

namespace winapi {
namespace {

// The failure of the call that just failed; one without a last error still counts as failed.
stdext::unexpected<stdext::error> last_failure(std::string_view text) {
    const DWORD rc = ::GetLastError();
    return stdext::unexpected(
        win_failure(rc == ERROR_SUCCESS ? error_gen_failure : rc, std::string(text)));
}

bool folder_exists(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

class windows_file_system final : public file_system {
public:
    stdext::expected<std::wstring> current_directory() override {
        std::vector<wchar_t> buffer(MAX_PATH + 1);
        for (;;) {
            const DWORD n =
                ::GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
            if (n == 0) {
                return last_failure("GetCurrentDirectory failed");
            }
            if (n < buffer.size()) {
                return std::wstring(buffer.data(), n);
            }
            buffer.resize(n);  // n counts the terminating zero when the buffer was too small
        }
    }

    stdext::expected<void> set_current_directory(const std::wstring& path) override {
        if (!::SetCurrentDirectoryW(path.c_str())) {
            return last_failure("SetCurrentDirectory failed");
        }
        return {};
    }

    stdext::expected<void> create_folder_tree(const std::wstring& folder) override {
        // Walk up to the nearest existing folder, then create the missing ones downwards.
        std::vector<std::wstring> missing;
        for (std::wstring f = folder; !f.empty() && !folder_exists(f);) {
            missing.push_back(f);
            std::wstring up = stdext::path::parent(f);
            if (stdext::path::is_root(f) || up == f) {
                break;
            }
            f = std::move(up);
        }
        for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
            // A folder that appeared meanwhile is as good as one created here.
            if (!::CreateDirectoryW(it->c_str(), nullptr) &&
                !(::GetLastError() == ERROR_ALREADY_EXISTS && folder_exists(*it))) {
                return last_failure("CreateDirectory failed");
            }
        }
        return {};
    }

    stdext::expected<std::string> read_file(const std::wstring& path) override {
        unique_file_handle file(::CreateFileW(
            path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            return last_failure(create_file_failed);
        }
        std::string content;
        std::vector<char> chunk(64 * 1024);
        for (;;) {
            DWORD got = 0;
            if (!::ReadFile(file.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &got,
                            nullptr)) {
                return last_failure(read_file_failed);
            }
            if (got == 0) {
                return content;
            }
            content.append(chunk.data(), got);
        }
    }

    stdext::expected<void> write_file(const std::wstring& path, std::string_view content) override {
        unique_file_handle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            return last_failure(create_file_failed);
        }
        while (!content.empty()) {
            const DWORD want = static_cast<DWORD>(std::min<std::size_t>(content.size(), 1u << 30));
            DWORD written = 0;
            if (!::WriteFile(file.get(), content.data(), want, &written, nullptr)) {
                return last_failure(write_file_failed);
            }
            if (written == 0) {
                return stdext::unexpected(
                    win_failure(error_gen_failure, std::string(write_file_failed)));
            }
            content.remove_prefix(written);
        }
        if (!::FlushFileBuffers(file.get())) {
            return last_failure(flush_file_failed);
        }
        return {};
    }

    stdext::expected<void> move_file_replacing(const std::wstring& source,
                                               const std::wstring& target) override {
        if (!::MoveFileExW(source.c_str(), target.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return last_failure("MoveFileEx failed");
        }
        return {};
    }

    stdext::expected<void> delete_file(const std::wstring& path) override {
        if (!::DeleteFileW(path.c_str())) {
            return last_failure("DeleteFile failed");
        }
        return {};
    }
};

}  // namespace

file_system& windows_file_system_instance() {
    static windows_file_system instance;
    return instance;
}

}  // namespace winapi
