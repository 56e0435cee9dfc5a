#include "fakes/fake_modules.h"

#include "stdext/expected.h"
#include "stdext/utf.h"
#include "winapi/win_error_category.h"

namespace fakes {
namespace {

std::wstring file_part(const std::wstring& path) {
    auto pos = path.find_last_of(L"\\/");
    return pos == std::wstring::npos ? path : path.substr(pos + 1);
}

}  // namespace

winapi::hmodule fake_modules::add_library(const std::wstring& path,
                                          std::map<std::string, void*> exports) {
    library lib;
    lib.exports = std::move(exports);
    lib.handle = next_;
    next_ += 0x10000;
    libraries_[stdext::to_lower(path)] = std::move(lib);
    return libraries_[stdext::to_lower(path)].handle;
}

void fake_modules::remove_library(const std::wstring& path) {
    libraries_.erase(stdext::to_lower(path));
}

int fake_modules::references(const std::wstring& path) const {
    auto it = libraries_.find(stdext::to_lower(path));
    return it == libraries_.end() ? 0 : it->second.references;
}

fake_modules::library* fake_modules::by_handle(winapi::hmodule h) {
    for (auto& [path, lib] : libraries_) {
        if (lib.handle == h) {
            return &lib;
        }
    }
    return nullptr;
}

// The logger asks only with flags 0, which takes a reference.
winapi::hmodule fake_modules::get_loaded(const std::wstring& name, std::uint32_t,
                                         std::uint32_t& error) {
    for (auto& [path, lib] : libraries_) {
        if (lib.references > 0 && stdext::iequals(file_part(path), name)) {
            ++lib.references;
            error = 0;
            return lib.handle;
        }
    }
    error = 126;  // ERROR_MOD_NOT_FOUND
    return 0;
}

winapi::hmodule fake_modules::load(const std::wstring& path, std::uint32_t& error) {
    return load_ex(path, 0, error);
}

winapi::hmodule fake_modules::load_ex(const std::wstring& path, std::uint32_t flags,
                                      std::uint32_t& error) {
    loads.push_back(path);
    load_flags.push_back(flags);
    if (fail_load) {
        error = *fail_load;
        return 0;
    }
    auto it = libraries_.find(stdext::to_lower(path));
    if (it == libraries_.end()) {
        // A plain file name is found when exactly one library of that name exists.
        for (auto& [p, lib] : libraries_) {
            if (stdext::iequals(file_part(p), path)) {
                it = libraries_.find(p);
                break;
            }
        }
    }
    if (it == libraries_.end()) {
        error = 126;
        return 0;
    }
    ++it->second.references;
    error = 0;
    return it->second.handle;
}

bool fake_modules::free(winapi::hmodule module) {
    library* lib = by_handle(module);
    if (lib == nullptr || lib->references == 0) {
        return false;
    }
    --lib->references;
    return true;
}

void* fake_modules::find_export(winapi::hmodule module, const char* name) {
    library* lib = by_handle(module);
    if (lib == nullptr || lib->references == 0) {
        return nullptr;
    }
    auto it = lib->exports.find(name);
    return it == lib->exports.end() ? nullptr : it->second;
}

std::uint32_t fake_modules::file_name(winapi::hmodule module, std::uint32_t capacity,
                                      std::wstring& out, std::uint32_t& error) {
    if (fail_file_name) {
        error = *fail_file_name;
        out.clear();
        return 0;
    }
    std::wstring name;
    if (module == 0 || module == self_handle) {
        name = self_path;
    } else {
        for (auto& [path, lib] : libraries_) {
            if (lib.handle == module) {
                name = path;
            }
        }
        if (name.empty()) {
            error = 126;
            out.clear();
            return 0;
        }
    }
    if (name.size() >= capacity) {
        // Truncated, as GetModuleFileNameW does, with ERROR_INSUFFICIENT_BUFFER.
        out = name.substr(0, capacity == 0 ? 0 : capacity - 1);
        error = winapi::error_insufficient_buffer;
        return capacity;
    }
    out = name;
    error = 0;
    return static_cast<std::uint32_t>(name.size());
}

}  // namespace fakes
