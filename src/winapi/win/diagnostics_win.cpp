// clang-format off
#include <windows.h>
#include <wincrypt.h>
// clang-format on

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <shlobj.h>
#include <sys/stat.h>

#include <cwchar>
#include <ext/stdio_filebuf.h>
#include <vector>

#include "stdext/path.h"
#include "winapi/append_file.h"
#include "winapi/win/final_path.h"
#include "winapi/win/handles.h"
#include "winapi/win/system_facilities.h"

namespace winapi {
namespace {

using unique_find_handle = unique_released_by<HANDLE, &::FindClose>;

stdext::unexpected<stdext::error> failure(DWORD code, const char* step) {
    return stdext::unexpected(win_failure(code == ERROR_SUCCESS ? error_gen_failure : code, step));
}
stdext::unexpected<stdext::error> last_failure(const char* step) {
    return failure(::GetLastError(), step);
}

// A wide text stream that owns its file descriptor and closes it when destroyed.
class log_file_stream final : public std::wostream {
public:
    explicit log_file_stream(int descriptor)
        : std::wostream(nullptr), buffer_(descriptor, std::ios_base::out) {
        rdbuf(&buffer_);
    }
    ~log_file_stream() override { buffer_.pubsync(); }

private:
    __gnu_cxx::stdio_filebuf<wchar_t> buffer_;
};

bool is_dot_entry(const wchar_t* name) {
    return std::wcscmp(name, L".") == 0 || std::wcscmp(name, L"..") == 0;
}

class windows_diagnostics final : public diagnostics {
public:
    stdext::expected<std::wstring> common_app_data_folder() override {
        std::vector<wchar_t> buffer(32767, L'\0');
        const HRESULT hr =
            ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, buffer.data());
        if (FAILED(hr)) {
            return failure(static_cast<DWORD>(hr), "SHGetFolderPath failed");
        }
        return std::wstring(buffer.data());
    }

    stdext::expected<void> walk_files(
        const std::wstring& folder,
        const std::function<void(const std::wstring& path)>& on_file) override {
        WIN32_FIND_DATAW entry{};
        const unique_find_handle find(::FindFirstFileExW(stdext::path::join(folder, L"*").c_str(),
                                                         FindExInfoBasic, &entry,
                                                         FindExSearchNameMatch, nullptr, 0));
        if (find.get() == INVALID_HANDLE_VALUE) {
            if (::GetLastError() == ERROR_FILE_NOT_FOUND) {
                return {};  // a drive's root without entries
            }
            return last_failure("FindFirstFile failed");
        }
        do {
            if (is_dot_entry(entry.cFileName)) {
                continue;
            }
            const std::wstring path = stdext::path::join(folder, entry.cFileName);
            const DWORD attributes = entry.dwFileAttributes;
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
                    if (auto walked = walk_files(path, on_file); !walked) {
                        return walked;
                    }
                }
            } else if ((attributes & FILE_ATTRIBUTE_DEVICE) == 0) {
                on_file(path);
            }
        } while (::FindNextFileW(find.get(), &entry));
        if (::GetLastError() != ERROR_NO_MORE_FILES) {
            return last_failure("FindNextFile failed");
        }
        return {};
    }

    stdext::expected<std::vector<std::uint8_t>> version_info(const std::wstring& path) override {
        DWORD ignored = 0;
        const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
        if (size == 0) {
            return last_failure("GetFileVersionInfoSize failed");
        }
        std::vector<std::uint8_t> info(size);
        if (!::GetFileVersionInfoW(path.c_str(), 0, size, info.data())) {
            return last_failure("GetFileVersionInfo failed");
        }
        return info;
    }

    stdext::expected<fixed_file_version> fixed_version(
        const std::vector<std::uint8_t>& version_info) override {
        void* block = nullptr;
        UINT length = 0;
        if (version_info.empty() ||
            !::VerQueryValueW(version_info.data(), L"\\", &block, &length) || block == nullptr ||
            length < sizeof(VS_FIXEDFILEINFO)) {
            return last_failure("VerQueryValue failed");
        }
        const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(block);
        return fixed_file_version{fixed->dwFileVersionMS, fixed->dwFileVersionLS};
    }

    stdext::expected<std::uint64_t> file_size(const std::wstring& path) override {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
            return last_failure("GetFileAttributesEx failed");
        }
        return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }

    stdext::expected<md5_digest> file_md5(const std::wstring& path) override {
        const unique_file_handle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                    nullptr, OPEN_EXISTING,
                                                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!file) {
            return last_failure("CreateFile failed");
        }
        unique_crypt_provider provider;
        if (!::CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_FULL,
                                    CRYPT_VERIFYCONTEXT)) {
            return last_failure("CryptAcquireContext failed");
        }
        unique_crypt_hash hash;
        if (!::CryptCreateHash(provider.get(), CALG_MD5, 0, 0, hash.put())) {
            return last_failure("CryptCreateHash failed");
        }
        BYTE chunk[1024];
        for (;;) {
            DWORD got = 0;
            if (!::ReadFile(file.get(), chunk, sizeof(chunk), &got, nullptr)) {
                return last_failure("ReadFile failed");
            }
            if (got == 0) {
                break;
            }
            if (!::CryptHashData(hash.get(), chunk, got, 0)) {
                return last_failure("CryptHashData failed");
            }
        }
        md5_digest digest{};
        DWORD digest_size = static_cast<DWORD>(digest.size());
        if (!::CryptGetHashParam(hash.get(), HP_HASHVAL, digest.data(), &digest_size, 0)) {
            return last_failure("CryptGetHashParam failed");
        }
        return digest;
    }

    stdext::expected<std::unique_ptr<std::wostream>> open_log_file(
        const std::wstring& path,
        const std::function<bool(const std::wstring& final_path)>& accept) override {
        // Not truncated yet: nothing changes in the file before its final path is accepted.
        const int descriptor = ::_wsopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_TEXT, _SH_DENYNO,
                                         _S_IREAD | _S_IWRITE);
        if (descriptor == -1) {
            return failure(static_cast<DWORD>(_doserrno), "_wsopen failed");
        }
        auto stream = std::make_unique<log_file_stream>(descriptor);
        const auto file = reinterpret_cast<HANDLE>(::_get_osfhandle(descriptor));
        const auto final_path = final_path_by_handle(file, 0, final_path_retry::asked_length);
        if (!accept(final_path ? *final_path : std::wstring())) {
            return failure(error_invalid_file_name_link, "final path differs");
        }
        if (!::SetEndOfFile(file)) {
            return last_failure("SetEndOfFile failed");
        }
        return std::unique_ptr<std::wostream>(std::move(stream));
    }
};

}  // namespace

diagnostics& windows_diagnostics_instance() {
    static windows_diagnostics instance;
    return instance;
}

}  // namespace winapi
