#include <windows.h>

#include "winapi/win/handles.h"
#include "winapi/win/system_facilities.h"

namespace winapi {
namespace {

class windows_file_identity final : public file_identity {
public:
    std::uint32_t identify(const std::wstring& path, file_id& out) override {
        unique_file_handle file(
            ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!file) {
            return ::GetLastError();
        }
        BY_HANDLE_FILE_INFORMATION info{};
        if (!::GetFileInformationByHandle(file.get(), &info)) {
            return ::GetLastError();
        }
        out.volume_serial = info.dwVolumeSerialNumber;
        out.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
        return 0;
    }
};

}  // namespace

file_identity& windows_file_identity_instance() {
    static windows_file_identity instance;
    return instance;
}

}  // namespace winapi
