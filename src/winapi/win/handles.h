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

struct kernel_handle_traits {
    using handle_type = HANDLE;
    [[nodiscard]] static handle_type empty() noexcept { return nullptr; }
    static void close(HANDLE h) noexcept {
        last_error_guard keep;
        ::CloseHandle(h);
    }
};
using unique_kernel_handle = stdext::unique_handle<kernel_handle_traits>;

// File and snapshot handles use INVALID_HANDLE_VALUE as their empty value.
struct file_handle_traits : kernel_handle_traits {
    [[nodiscard]] static handle_type empty() noexcept { return INVALID_HANDLE_VALUE; }
};
using unique_file_handle = stdext::unique_handle<file_handle_traits>;

struct local_memory_traits {
    using handle_type = HLOCAL;
    [[nodiscard]] static handle_type empty() noexcept { return nullptr; }
    static void close(HLOCAL h) noexcept {
        last_error_guard keep;
        ::LocalFree(h);
    }
};
using unique_local_memory = stdext::unique_handle<local_memory_traits>;

// A text allocated for or by a COM call.
struct bstr_traits {
    using handle_type = BSTR;
    [[nodiscard]] static handle_type empty() noexcept { return nullptr; }
    static void close(BSTR s) noexcept { ::SysFreeString(s); }
};
using unique_bstr = stdext::unique_handle<bstr_traits>;

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

// The certificate store, cryptographic message and certificate context of a signature.
struct cert_store_traits {
    using handle_type = HCERTSTORE;
    [[nodiscard]] static handle_type empty() noexcept { return nullptr; }
    static void close(HCERTSTORE h) noexcept {
        last_error_guard keep;
        ::CertCloseStore(h, 0);
    }
};
using unique_cert_store = stdext::unique_handle<cert_store_traits>;

struct crypt_message_traits {
    using handle_type = HCRYPTMSG;
    [[nodiscard]] static handle_type empty() noexcept { return nullptr; }
    static void close(HCRYPTMSG h) noexcept {
        last_error_guard keep;
        ::CryptMsgClose(h);
    }
};
using unique_crypt_message = stdext::unique_handle<crypt_message_traits>;

struct cert_context_traits {
    using handle_type = PCCERT_CONTEXT;
    [[nodiscard]] static handle_type empty() noexcept { return nullptr; }
    static void close(PCCERT_CONTEXT h) noexcept {
        last_error_guard keep;
        ::CertFreeCertificateContext(h);
    }
};
using unique_cert_context = stdext::unique_handle<cert_context_traits>;

// A CryptoAPI provider context and a hash object of it.
struct crypt_provider_traits {
    using handle_type = HCRYPTPROV;
    [[nodiscard]] static handle_type empty() noexcept { return 0; }
    static void close(HCRYPTPROV h) noexcept {
        last_error_guard keep;
        ::CryptReleaseContext(h, 0);
    }
};
using unique_crypt_provider = stdext::unique_handle<crypt_provider_traits>;

struct crypt_hash_traits {
    using handle_type = HCRYPTHASH;
    [[nodiscard]] static handle_type empty() noexcept { return 0; }
    static void close(HCRYPTHASH h) noexcept {
        last_error_guard keep;
        ::CryptDestroyHash(h);
    }
};
using unique_crypt_hash = stdext::unique_handle<crypt_hash_traits>;

// A registry key opened straight through the API, not through the registry facility.
struct native_key_traits {
    using handle_type = HKEY;
    [[nodiscard]] static handle_type empty() noexcept { return nullptr; }
    static void close(HKEY h) noexcept {
        last_error_guard keep;
        ::RegCloseKey(h);
    }
};
using unique_native_key = stdext::unique_handle<native_key_traits>;

// Memory a COM or shell call allocated for the caller.
struct co_task_memory_traits {
    using handle_type = wchar_t*;
    [[nodiscard]] static handle_type empty() noexcept { return nullptr; }
    static void close(wchar_t* p) noexcept { ::CoTaskMemFree(p); }
};
using unique_co_task_text = stdext::unique_handle<co_task_memory_traits>;

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
