#include <windows.h>

#include <vector>

#include "winapi/win/handles.h"
#include "winapi/win/system_facilities.h"

namespace winapi {
namespace {

HMODULE native(hmodule m) {
    return to_native<HMODULE>(m);
}

class windows_modules final : public modules {
public:
    hmodule self() override { return from_native(::GetModuleHandleW(nullptr)); }

    hmodule get_loaded(const std::wstring& name, std::uint32_t flags,
                       std::uint32_t& error) override {
        HMODULE m = nullptr;
        error = ::GetModuleHandleExW(flags, name.c_str(), &m) ? 0 : ::GetLastError();
        return from_native(m);
    }

    hmodule load(const std::wstring& path, std::uint32_t& error) override {
        HMODULE m = ::LoadLibraryW(path.c_str());
        error = m ? 0 : ::GetLastError();
        return from_native(m);
    }

    hmodule load_ex(const std::wstring& path, std::uint32_t flags, std::uint32_t& error) override {
        HMODULE m = ::LoadLibraryExW(path.c_str(), nullptr, flags);
        error = m ? 0 : ::GetLastError();
        return from_native(m);
    }

    bool free(hmodule module) override {
        last_error_guard keep;
        return ::FreeLibrary(native(module)) != FALSE;
    }

    void* find_export(hmodule module, const char* name) override {
        return reinterpret_cast<void*>(::GetProcAddress(native(module), name));
    }

    std::uint32_t file_name(hmodule module, std::uint32_t capacity, std::wstring& out,
                            std::uint32_t& error) override {
        std::vector<wchar_t> buffer(capacity + 1, L'\0');
        ::SetLastError(0);
        const DWORD n = ::GetModuleFileNameW(native(module), buffer.data(), capacity);
        error = ::GetLastError();
        out.assign(buffer.data(), n);
        return n;
    }
};

}  // namespace

modules& windows_modules_instance() {
    static windows_modules instance;
    return instance;
}

}  // namespace winapi
