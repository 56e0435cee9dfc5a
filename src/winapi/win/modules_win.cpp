#include <windows.h>

#include <vector>

#include "winapi/win/handles.h"
#include "winapi/win/system_facilities.h"

namespace winapi {
namespace {

HMODULE native(hmodule m) {
    return to_native<HMODULE>(m);
}

HMODULE* native_slot(unique_module& holder) {
    return reinterpret_cast<HMODULE*>(holder.put());
}

stdext::unexpected<stdext::error> last_failure(const char* call) {
    return stdext::unexpected(win_failure(::GetLastError(), call));
}

class windows_modules final : public modules {
public:
    hmodule self() override { return from_native(::GetModuleHandleW(nullptr)); }

    stdext::expected<unique_module> get_loaded(const std::wstring& name) override {
        unique_module module;
        if (!::GetModuleHandleExW(0, name.c_str(), native_slot(module))) {
            return last_failure("GetModuleHandleEx");
        }
        return module;
    }

    stdext::expected<unique_module> load(const std::wstring& path, std::uint32_t flags) override {
        unique_module module;
        *native_slot(module) = flags == 0 ? ::LoadLibraryW(path.c_str())
                                          : ::LoadLibraryExW(path.c_str(), nullptr, flags);
        if (!module) {
            return last_failure(flags == 0 ? "LoadLibrary" : "LoadLibraryEx");
        }
        return module;
    }

    void free(hmodule module) override {
        last_error_guard keep;
        ::FreeLibrary(native(module));
    }

    void* find_export(hmodule module, const char* name) override {
        return reinterpret_cast<void*>(::GetProcAddress(native(module), name));
    }

    stdext::expected<std::wstring> file_name(hmodule module, std::uint32_t capacity) override {
        std::vector<wchar_t> buffer(capacity + 1, L'\0');
        ::SetLastError(0);
        const DWORD n = ::GetModuleFileNameW(native(module), buffer.data(), capacity);
        // A full buffer with an error set means the name was cut short.
        if (n == 0 || (n == capacity && ::GetLastError() != 0)) {
            return last_failure("GetModuleFileName");
        }
        return std::wstring(buffer.data(), n);
    }
};

}  // namespace

modules& windows_modules_instance() {
    static windows_modules instance;
    return instance;
}

}  // namespace winapi
