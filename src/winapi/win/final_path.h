// The final path of an open file or folder, as GetFinalPathNameByHandleW gives it (Windows
// targets only). Every caller starts with a 200-character buffer; they differ in how they retry.
#pragma once

#include <windows.h>

#include <string>

#include "stdext/expected.h"

namespace winapi {

enum class final_path_retry {
    // Once more when the call failed or did not fit, into twice the length it reported (at
    // least 400 characters).
    twice_reported_length,
    // Once more only when it did not fit, into the length it asked for.
    asked_length,
};

// Fails with the call's last error, or ERROR_INSUFFICIENT_BUFFER when the retry did not fit
// either; a handle of INVALID_HANDLE_VALUE fails with ERROR_INVALID_PARAMETER.
[[nodiscard]] stdext::expected<std::wstring> final_path_by_handle(HANDLE handle, DWORD flags,
                                                                  final_path_retry retry);

}  // namespace winapi
