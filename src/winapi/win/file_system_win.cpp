#include <windows.h>
// windows.h first: the header below depends on it.
#include <winioctl.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
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

// The same for a step of reading or writing a whole file.
stdext::unexpected<stdext::error> last_failure(file_step step) {
    auto failure = last_failure(step_text(step));
    failure.error().step = static_cast<int>(step);
    return failure;
}

// Asks CreateSymbolicLinkW for a link without the privilege to create links (Windows 10 in
// developer mode and later); older systems reject the flag as an invalid parameter.
constexpr DWORD symbolic_link_allow_unprivileged = 0x2;
constexpr DWORD symbolic_link_directory = 0x1;
constexpr DWORD reparse_tag_symlink = 0xA000000C;
constexpr std::size_t reparse_buffer_capacity = 16 * 1024;  // MAXIMUM_REPARSE_DATA_BUFFER_SIZE

// The head of a symbolic link's reparse data (REPARSE_DATA_BUFFER, whose declaration belongs to
// the driver kit): the names follow as UTF-16 in PathBuffer, at byte offsets from its start.
struct symlink_reparse_head {
    ULONG tag;
    USHORT data_length;
    USHORT reserved;
    USHORT substitute_name_offset;
    USHORT substitute_name_length;
    USHORT print_name_offset;
    USHORT print_name_length;
    ULONG flags;
};

// The errors that mean the path, or a folder on the way to it, does not exist.
bool is_not_found(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
            return true;
        default:
            return false;
    }
}

file_type type_of(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? file_type::directory : file_type::regular;
}

// Opens path with no access rights, folders included; the link itself when open_link is set,
// else what it leads to.
unique_file_handle open_entry(const std::wstring& path, bool open_link) {
    return unique_file_handle(::CreateFileW(
        path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | (open_link ? FILE_FLAG_OPEN_REPARSE_POINT : 0),
        nullptr));
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
            return last_failure(file_step::create);
        }
        std::string content;
        std::vector<char> chunk(64 * 1024);
        for (;;) {
            DWORD got = 0;
            if (!::ReadFile(file.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &got,
                            nullptr)) {
                return last_failure(file_step::read);
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
            return last_failure(file_step::create);
        }
        while (!content.empty()) {
            const DWORD want = static_cast<DWORD>(std::min<std::size_t>(content.size(), 1u << 30));
            DWORD written = 0;
            if (!::WriteFile(file.get(), content.data(), want, &written, nullptr)) {
                return last_failure(file_step::write);
            }
            if (written == 0) {
                return stdext::unexpected(win_failure(
                    error_gen_failure, std::string(write_file_failed), file_step::write));
            }
            content.remove_prefix(written);
        }
        if (!::FlushFileBuffers(file.get())) {
            return last_failure(file_step::flush);
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

    stdext::expected<file_type> status(const std::wstring& path) override {
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            return missing_or_failure("GetFileAttributes failed");
        }
        if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            return type_of(attributes);
        }
        // The attributes are those of the link: open what it leads to.
        const auto target = open_entry(path, false);
        if (!target) {
            return missing_or_failure("CreateFile failed");
        }
        BY_HANDLE_FILE_INFORMATION info{};
        if (!::GetFileInformationByHandle(target.get(), &info)) {
            return last_failure("GetFileInformationByHandle failed");
        }
        return type_of(info.dwFileAttributes);
    }

    stdext::expected<file_type> symlink_status(const std::wstring& path) override {
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            return missing_or_failure("GetFileAttributes failed");
        }
        if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            return type_of(attributes);
        }
        const auto link = open_entry(path, true);
        if (!link) {
            return last_failure("CreateFile failed");
        }
        FILE_ATTRIBUTE_TAG_INFO tag{};
        if (!::GetFileInformationByHandleEx(link.get(), FileAttributeTagInfo, &tag, sizeof(tag))) {
            return last_failure("GetFileInformationByHandleEx failed");
        }
        return tag.ReparseTag == reparse_tag_symlink ? file_type::symlink : file_type::other;
    }

    stdext::expected<std::wstring> read_symlink(const std::wstring& path) override {
        const auto link = open_entry(path, true);
        if (!link) {
            return last_failure("CreateFile failed");
        }
        // DWORD elements keep the reparse data aligned.
        std::vector<DWORD> buffer(reparse_buffer_capacity / sizeof(DWORD));
        DWORD size = 0;
        if (!::DeviceIoControl(link.get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.data(),
                               static_cast<DWORD>(reparse_buffer_capacity), &size, nullptr)) {
            return last_failure("DeviceIoControl failed");
        }
        symlink_reparse_head head{};
        if (size < sizeof(head)) {
            return stdext::unexpected(
                win_failure(error_not_a_reparse_point, "DeviceIoControl failed"));
        }
        std::memcpy(&head, buffer.data(), sizeof(head));
        if (head.tag != reparse_tag_symlink) {
            return stdext::unexpected(
                win_failure(error_not_a_reparse_point, "not a symbolic link"));
        }
        // The print name is what the link was made with; a link without one is read by its
        // substitute name, the form the system resolves ("\??\C:\...").
        std::size_t offset = head.print_name_offset;
        std::size_t length = head.print_name_length;
        if (length == 0) {
            offset = head.substitute_name_offset;
            length = head.substitute_name_length;
        }
        if (sizeof(head) + offset + length > size) {
            return stdext::unexpected(win_failure(ERROR_INVALID_DATA, "DeviceIoControl failed"));
        }
        std::wstring target(length / sizeof(wchar_t), L'\0');
        std::memcpy(target.data(),
                    reinterpret_cast<const std::byte*>(buffer.data()) + sizeof(head) + offset,
                    target.size() * sizeof(wchar_t));
        if (head.print_name_length == 0 && target.rfind(L"\\??\\", 0) == 0) {
            target.erase(0, 4);
        }
        return target;
    }

    stdext::expected<void> remove(const std::wstring& path) override {
        // The attributes of the entry itself: a folder link is removed as a folder, a file link
        // as a file, and neither reaches the target.
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            return last_failure("GetFileAttributes failed");
        }
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!::RemoveDirectoryW(path.c_str())) {
                return last_failure("RemoveDirectory failed");
            }
        } else if (!::DeleteFileW(path.c_str())) {
            return last_failure("DeleteFile failed");
        }
        return {};
    }

    stdext::expected<void> create_symlink(const std::wstring& target, const std::wstring& path,
                                          bool directory) override {
        const DWORD kind = directory ? symbolic_link_directory : 0;
        if (::CreateSymbolicLinkW(path.c_str(), target.c_str(),
                                  kind | symbolic_link_allow_unprivileged)) {
            return {};
        }
        if (::GetLastError() == ERROR_INVALID_PARAMETER &&
            ::CreateSymbolicLinkW(path.c_str(), target.c_str(), kind)) {
            return {};
        }
        return last_failure("CreateSymbolicLink failed");
    }

    stdext::expected<void> copy_file(const std::wstring& source,
                                     const std::wstring& target) override {
        if (!::CopyFileW(source.c_str(), target.c_str(), TRUE)) {
            return last_failure("CopyFile failed");
        }
        return {};
    }

private:
    // A missing path is a type; any other failure is an error.
    static stdext::expected<file_type> missing_or_failure(std::string_view text) {
        if (is_not_found(::GetLastError())) {
            return file_type::not_found;
        }
        return last_failure(text);
    }
};

}  // namespace

file_system& windows_file_system_instance() {
    static windows_file_system instance;
    return instance;
}

}  // namespace winapi
