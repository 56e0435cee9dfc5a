#include "winapi/win/final_path.h"

#include <algorithm>
#include <vector>

#include "winapi/win_error_category.h"

namespace winapi {

stdext::expected<std::wstring> final_path_by_handle(HANDLE handle, DWORD flags,
                                                    final_path_retry retry) {
    if (handle == INVALID_HANDLE_VALUE) {
        return stdext::unexpected(
            win_failure(ERROR_INVALID_PARAMETER, "GetFinalPathNameByHandleW"));
    }
    std::vector<wchar_t> buffer(200);
    auto call = [&] {
        return ::GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                           flags);
    };
    DWORD length = call();
    const bool fits = length != 0 && length < buffer.size();
    if (!fits && (length != 0 || retry == final_path_retry::twice_reported_length)) {
        buffer.assign(retry == final_path_retry::twice_reported_length
                          ? std::max<std::size_t>(2 * std::size_t{length}, 400)
                          : std::size_t{length} + 1,
                      L'\0');
        length = call();
    }
    if (length == 0) {
        return stdext::unexpected(win_failure(::GetLastError(), "GetFinalPathNameByHandleW"));
    }
    if (length >= buffer.size()) {
        return stdext::unexpected(
            win_failure(ERROR_INSUFFICIENT_BUFFER, "GetFinalPathNameByHandleW"));
    }
    return std::wstring(buffer.data(), length);
}

}  // namespace winapi
