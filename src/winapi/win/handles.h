// Holders of Windows handles (Windows targets only). Closing keeps the thread's last error, so
// a failure code read after a holder went out of scope is still the one of the failing call.
#pragma once

// The crypto header needs the Windows header before it.
// clang-format off
#include <windows.h>
#include <wincrypt.h>
// clang-format on

#include <objbase.h>
#include <oleauto.h>
#include <unknwn.h>

#include <cstdint>

#include "stdext/unique_handle.h"

namespace winapi {

class last_error_guard {
public:
    last_error_guard() noexcept : saved_(::GetLastError()) {}
    ~last_error_guard() { ::SetLastError(saved_); }
    last_error_guard(const last_error_guard&) = delete;
    last_error_guard& operator=(const last_error_guard&) = delete;

private:
    DWORD saved_;
};

// The traits of a holder whose handle one call releases. Releasing keeps the thread's last error.
template <class H, auto Release, H Empty = H{}>
struct released_by {
    using handle_type = H;
    [[nodiscard]] static handle_type empty() noexcept { return Empty; }
    static void close(H h) noexcept {
        last_error_guard keep;
        static_cast<void>(Release(h));
    }
};
template <class H, auto Release>
using unique_released_by = stdext::unique_handle<released_by<H, Release>>;

using kernel_handle_traits = released_by<HANDLE, &::CloseHandle>;
using unique_kernel_handle = stdext::unique_handle<kernel_handle_traits>;

// File and snapshot handles use INVALID_HANDLE_VALUE as their empty value.
struct file_handle_traits : kernel_handle_traits {
    [[nodiscard]] static handle_type empty() noexcept { return INVALID_HANDLE_VALUE; }
};
using unique_file_handle = stdext::unique_handle<file_handle_traits>;

using unique_local_memory = unique_released_by<HLOCAL, &::LocalFree>;
// A text allocated for or by a COM call, and memory a COM or shell call allocated for the caller.
using unique_bstr = unique_released_by<BSTR, &::SysFreeString>;
using unique_co_task_text = unique_released_by<wchar_t*, &::CoTaskMemFree>;

// One reference on a COM interface, released when dropped.
template <class I>
struct com_traits {
    using handle_type = I*;
    [[nodiscard]] static handle_type empty() noexcept { return nullptr; }
    static void close(I* p) noexcept { p->Release(); }
};
template <class I>
class com_ptr : public stdext::unique_handle<com_traits<I>> {
public:
    using stdext::unique_handle<com_traits<I>>::unique_handle;
    I* operator->() const noexcept { return this->get(); }
    // For the calls that hand an interface out untyped: CoCreateInstance, QueryInterface.
    void** put_void() noexcept { return reinterpret_cast<void**>(this->put()); }
};

// The releases that take flags besides the handle.
inline BOOL close_cert_store(HCERTSTORE h) noexcept {
    return ::CertCloseStore(h, 0);
}
inline BOOL release_crypt_provider(HCRYPTPROV h) noexcept {
    return ::CryptReleaseContext(h, 0);
}

// The certificate store, cryptographic message and certificate context of a signature.
using unique_cert_store = unique_released_by<HCERTSTORE, &close_cert_store>;
using unique_crypt_message = unique_released_by<HCRYPTMSG, &::CryptMsgClose>;
using unique_cert_context = unique_released_by<PCCERT_CONTEXT, &::CertFreeCertificateContext>;
// A CryptoAPI provider context and a hash object of it.
using unique_crypt_provider = unique_released_by<HCRYPTPROV, &release_crypt_provider>;
using unique_crypt_hash = unique_released_by<HCRYPTHASH, &::CryptDestroyHash>;
// A registry key opened straight through the API, not through the registry facility.
using unique_native_key = unique_released_by<HKEY, &::RegCloseKey>;

// Handle values of the facility interfaces are plain integers; these convert them.
template <class T>
inline T to_native(std::uintptr_t value) noexcept {
    return reinterpret_cast<T>(value);
}
template <class T>
[[nodiscard]] inline std::uintptr_t from_native(T value) noexcept {
    return reinterpret_cast<std::uintptr_t>(value);
}

}  // namespace winapi
