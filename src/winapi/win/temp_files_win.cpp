#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <ext/stdio_filebuf.h>
#include <vector>

#include "winapi/win/system_facilities.h"

namespace winapi {
namespace {

stdext::unexpected<stdext::error> failure(DWORD code, const char* text) {
    return stdext::unexpected(win_failure(code == ERROR_SUCCESS ? error_gen_failure : code, text));
}

// A byte stream that owns its file descriptor and closes it when destroyed.
class binary_file_stream final : public std::ostream {
public:
    explicit binary_file_stream(int descriptor)
        : std::ostream(nullptr), buffer_(descriptor, std::ios_base::out | std::ios_base::binary) {
        rdbuf(&buffer_);
    }
    ~binary_file_stream() override { buffer_.pubsync(); }

private:
    __gnu_cxx::stdio_filebuf<char> buffer_;
};

class windows_temp_files final : public temp_files {
public:
    stdext::expected<std::wstring> temp_folder() override {
        std::vector<wchar_t> buffer(MAX_PATH + 1, L'\0');
        DWORD length = ::GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
        if (length >= buffer.size()) {
            // Too small: the answer is the size needed, terminator included.
            buffer.assign(length, L'\0');
            length = ::GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
        }
        if (length == 0 || length >= buffer.size()) {
            return failure(::GetLastError(), "GetTempPath failed");
        }
        return std::wstring(buffer.data(), length);
    }

    stdext::expected<std::wstring> unique_file(const std::wstring& folder,
                                               const std::wstring& prefix) override {
        std::vector<wchar_t> name(MAX_PATH, L'\0');
        if (::GetTempFileNameW(folder.c_str(), prefix.c_str(), 0, name.data()) == 0) {
            return failure(::GetLastError(), "GetTempFileName failed");
        }
        return std::wstring(name.data());
    }

    stdext::expected<std::unique_ptr<std::ostream>> open_binary_output(
        const std::wstring& path) override {
        const int descriptor = ::_wsopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY,
                                         _SH_DENYWR, _S_IREAD | _S_IWRITE);
        if (descriptor == -1) {
            return failure(static_cast<DWORD>(_doserrno), "_wsopen failed");
        }
        return std::unique_ptr<std::ostream>(new binary_file_stream(descriptor));
    }

    stdext::expected<void> remove(const std::wstring& path) override {
        if (!::DeleteFileW(path.c_str())) {
            const DWORD code = ::GetLastError();
            if (code != ERROR_FILE_NOT_FOUND) {
                return failure(code, "DeleteFile failed");
            }
        }
        return {};
    }
};

}  // namespace

temp_files& windows_temp_files_instance() {
    static windows_temp_files instance;
    return instance;
}

}  // namespace winapi
