#include <windows.h>

#include "winapi/win/handles.h"
#include "winapi/win/system_facilities.h"

namespace winapi {
namespace {

class windows_file_identity final : public file_identity {
public:
    stdext::expected<file_id> identify(const std::wstring& path) override {
        unique_file_handle file(
            ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!file) {
            return stdext::unexpected(win_failure(::GetLastError(), "CreateFile failed"));
        }
        BY_HANDLE_FILE_INFORMATION info{};
        if (!::GetFileInformationByHandle(file.get(), &info)) {
            return stdext::unexpected(
                win_failure(::GetLastError(), "GetFileInformationByHandle failed"));
        }
        return file_id{
            info.dwVolumeSerialNumber,
            (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
    }
};

}  // namespace

file_identity& windows_file_identity_instance() {
    static windows_file_identity instance;
    return instance;
}

}  // namespace winapi
