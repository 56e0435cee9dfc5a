#include <windows.h>

#include <vector>

#include "winapi/win/final_path.h"
#include "winapi/win/handles.h"
#include "winapi/win/system_facilities.h"

namespace winapi {
namespace {

constexpr DWORD append_access = 0xC0110084;  // read, write, append, attributes, delete, sync
constexpr DWORD append_share = FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD append_flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS;

HANDLE native(append_handle file) {
    return to_native<HANDLE>(file);
}

stdext::unexpected<stdext::error> last_failure(const char* call) {
    return stdext::unexpected(win_failure(::GetLastError(), call));
}

// The handle's file name as a UNC path, when that path exists.
std::wstring unc_path_by_handle(HANDLE file) {
    std::vector<std::uint8_t> buffer(sizeof(FILE_NAME_INFO) + 32768 * sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_NAME_INFO*>(buffer.data());
    if (!::GetFileInformationByHandleEx(file, FileNameInfo, info,
                                        static_cast<DWORD>(buffer.size()))) {
        return {};
    }
    std::wstring path = L"\\\\?\\UNC";
    path.append(info->FileName, info->FileNameLength / sizeof(wchar_t));
    if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return {};
    }
    return path;
}

class windows_append_file final : public append_file {
public:
    stdext::expected<opened_append_file> open(const std::wstring& path) override {
        HANDLE file = ::CreateFileW(path.c_str(), append_access, append_share, nullptr, OPEN_ALWAYS,
                                    append_flags, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return last_failure("CreateFileW");
        }
        opened_append_file opened{unique_append_handle(from_native(file)), {}};
        auto final_path = final_path_by_handle(file, 0, final_path_retry::asked_length);
        opened.final_path = final_path ? *std::move(final_path) : unc_path_by_handle(file);
        return opened;
    }

    stdext::expected<std::uint64_t> size(append_handle file) override {
        LARGE_INTEGER size{};
        if (!::GetFileSizeEx(native(file), &size)) {
            return last_failure("GetFileSizeEx");
        }
        return static_cast<std::uint64_t>(size.QuadPart);
    }

    stdext::expected<std::uint64_t> seek_end(append_handle file) override {
        LARGE_INTEGER position{};
        if (!::SetFilePointerEx(native(file), LARGE_INTEGER{}, &position, FILE_END)) {
            return last_failure("SetFilePointerEx");
        }
        return static_cast<std::uint64_t>(position.QuadPart);
    }

    stdext::expected<void> set_end(append_handle file, std::uint64_t position) override {
        LARGE_INTEGER to{};
        to.QuadPart = static_cast<LONGLONG>(position);
        if (!::SetFilePointerEx(native(file), to, nullptr, FILE_BEGIN)) {
            return last_failure("SetFilePointerEx");
        }
        if (!::SetEndOfFile(native(file))) {
            return last_failure("SetEndOfFile");
        }
        return {};
    }

    append_write write(append_handle file, std::string_view bytes) override {
        DWORD written = 0;
        if (!::WriteFile(native(file), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                         nullptr)) {
            return {written, ::GetLastError()};
        }
        return {written, 0};
    }

    void close(append_handle file) override { ::CloseHandle(native(file)); }
};

}  // namespace

append_file& windows_append_file_instance() {
    static windows_append_file instance;
    return instance;
}

}  // namespace winapi
