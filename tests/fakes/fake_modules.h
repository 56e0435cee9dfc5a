// Libraries that "exist" as files with a set of exports (plain function pointers of the test).
// Every load hands out a handle of its own that must be freed exactly once.
#pragma once

#include <algorithm>
#include <functional>
#include <vector>

#include "fakes/kit.h"
#include "stdext/path.h"
#include "stdext/utf.h"
#include "winapi/modules.h"

namespace fakes {

class fake_modules : public fake_base, public winapi::modules {
public:
    using fake_base::fake_base;

    // A library file at this full path (compared ignoring case).
    void add_library(const std::wstring& path, std::map<std::string, void*> exports) {
        libraries_[stdext::to_lower(path, stdext::case_rule::latin1)] = std::move(exports);
    }
    // Handles of the library not freed yet.
    long references(const std::wstring& path) const {
        return std::count_if(loaded_.begin(), loaded_.end(), [&](const auto& l) {
            return l.second == stdext::to_lower(path, stdext::case_rule::latin1);
        });
    }

    std::wstring self_path = L"C:\\Program Files\\Valdrin\\Agent\\1.0.0\\Wardex.exe";
    std::vector<std::pair<std::wstring, std::uint32_t>> loads;  // every load's path and flags
    // Told of every load and free with the library's path, in order.
    std::function<void(const char* what, const std::wstring& path)> watch = [](auto, auto&) {};

    winapi::hmodule self() override { return 0x400000; }
    stdext::expected<winapi::unique_module> get_loaded(const std::wstring& name) override {
        return hold(check("get_loaded"), [&](const std::wstring& lib) {
            return references(lib) > 0 &&
                   stdext::iequals(stdext::path::file_name(lib), name, stdext::case_rule::latin1);
        });
    }
    stdext::expected<winapi::unique_module> load(const std::wstring& path,
                                                 std::uint32_t flags) override {
        loads.emplace_back(path, flags);
        watch("load", path);
        // A plain file name finds a library of that name.
        return hold(check("load"), [&](const std::wstring& lib) {
            return lib == stdext::to_lower(path, stdext::case_rule::latin1) ||
                   stdext::iequals(stdext::path::file_name(lib), path, stdext::case_rule::latin1);
        });
    }
    void free(winapi::hmodule module) override {
        watch("free", loaded_[module]);
        handles_.close(module);
        loaded_.erase(module);
    }
    void* find_export(winapi::hmodule module, const char* name) override {
        const auto& exports = libraries_.at(loaded_.at(module));
        return exports.count(name) ? exports.at(name) : nullptr;
    }
    // Every module is named as the program: the program asks only for its own.
    stdext::expected<std::wstring> file_name(winapi::hmodule, std::uint32_t capacity) override {
        auto e = check("file_name");
        if (!e && self_path.size() >= capacity) {
            e = winapi::win_failure(winapi::error_insufficient_buffer, "GetModuleFileName");
        }
        return e ? stdext::unexpected(*e) : stdext::expected<std::wstring>(self_path);
    }

private:
    // A new handle of the first library that matches, unless the call is to fail.
    template <class Match>
    stdext::expected<winapi::unique_module> hold(std::optional<stdext::error> fault, Match match) {
        for (const auto& [lib, exports] : libraries_) {
            if (!fault && match(lib)) {
                return winapi::unique_module(
                    loaded_.emplace(handles_.open("module"), lib).first->first);
            }
        }
        return stdext::unexpected(fault.value_or(winapi::win_failure(126, "module not found")));
    }

    std::map<std::wstring, std::map<std::string, void*>> libraries_;  // by lower-case path
    std::map<winapi::hmodule, std::wstring> loaded_;                  // open handles
    handle_table handles_;
};

}  // namespace fakes
