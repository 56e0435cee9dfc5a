// Libraries that "exist" as files with a set of exports (plain function pointers of the test).
// Every load hands out a handle of its own that must be freed exactly once.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "fakes/kit.h"
#include "stdext/path.h"
#include "stdext/utf.h"
#include "winapi/modules.h"

namespace fakes {

class fake_modules : public fake_base, public winapi::modules {
public:
    fake_modules() = default;
    explicit fake_modules(fault_plan& plan) { share_faults(plan); }

    // A library file at this full path (compared ignoring case).
    void add_library(const std::wstring& path, std::map<std::string, void*> exports) {
        libraries_[stdext::to_lower(path)] = std::move(exports);
    }
    void remove_library(const std::wstring& path) { libraries_.erase(stdext::to_lower(path)); }
    // Handles of the library not freed yet.
    int references(const std::wstring& path) const {
        int n = 0;
        for (const auto& [handle, lib] : loaded_) {
            n += lib == stdext::to_lower(path) ? 1 : 0;
        }
        return n;
    }

    std::wstring self_path = L"C:\\Program Files\\Valdrin\\Agent\\1.0.0\\Wardex.exe";
    winapi::hmodule self_handle = 0x400000;
    std::vector<std::wstring> loads;        // every path passed to load
    std::vector<std::uint32_t> load_flags;  // the flags of each load
    // Told of every load and free with the library's path, in order.
    std::function<void(const char* what, const std::wstring& path)> watch = [](auto, auto&) {};

    winapi::hmodule self() override { return self_handle; }
    stdext::expected<winapi::unique_module> get_loaded(const std::wstring& name) override {
        if (auto e = check("get_loaded")) {
            return stdext::unexpected(*e);
        }
        for (const auto& [handle, lib] : loaded_) {
            if (stdext::iequals(stdext::path::file_name(lib), name)) {
                return hold(lib);
            }
        }
        return not_found();
    }
    stdext::expected<winapi::unique_module> load(const std::wstring& path,
                                                 std::uint32_t flags) override {
        loads.push_back(path);
        load_flags.push_back(flags);
        watch("load", path);
        if (auto e = check("load")) {
            return stdext::unexpected(*e);
        }
        // A plain file name finds a library of that name.
        for (const auto& [lib, exports] : libraries_) {
            if (lib == stdext::to_lower(path) ||
                stdext::iequals(stdext::path::file_name(lib), path)) {
                return hold(lib);
            }
        }
        return not_found();
    }
    void free(winapi::hmodule module) override {
        watch("free", path_of(module));
        handles_.close(module);
        loaded_.erase(module);
    }
    void* find_export(winapi::hmodule module, const char* name) override {
        const auto lib = libraries_.find(path_of(module));
        return lib == libraries_.end() || !lib->second.count(name) ? nullptr : lib->second.at(name);
    }
    stdext::expected<std::wstring> file_name(winapi::hmodule module,
                                             std::uint32_t capacity) override {
        if (auto e = check("file_name")) {
            return stdext::unexpected(*e);
        }
        const std::wstring name = module == 0 || module == self_handle ? self_path
                                  : loaded_.count(module)              ? loaded_.at(module)
                                                                       : L"";
        if (name.empty()) {
            return not_found();
        }
        if (name.size() >= capacity) {
            return stdext::unexpected(
                winapi::win_failure(winapi::error_insufficient_buffer, "GetModuleFileName"));
        }
        return name;
    }

private:
    std::wstring path_of(winapi::hmodule module) const {
        return loaded_.count(module) ? loaded_.at(module) : std::wstring();
    }
    static stdext::unexpected<stdext::error> not_found() {
        return stdext::unexpected(winapi::win_failure(126, "module not found"));
    }
    winapi::unique_module hold(const std::wstring& lib) {
        const auto handle = handles_.open("module");
        loaded_[handle] = lib;
        return winapi::unique_module(handle);
    }

    std::map<std::wstring, std::map<std::string, void*>> libraries_;  // by lower-case path
    std::map<winapi::hmodule, std::wstring> loaded_;                  // open handles
    handle_table handles_;
};

}  // namespace fakes
