// Where library names resolve and how paths canonicalise on a fake machine. A name resolves to an
// NT path; NT paths open directly to DOS paths unless the direct opening is switched off; drive
// letters map to NT device names. Canonical forms default to the "\\?\" form of the path.
#pragma once

#include <map>
#include <string>

#include "fakes/kit.h"
#include "stdext/path.h"
#include "winapi/library_paths.h"

namespace fakes {

class fake_library_paths final : public winapi::library_paths, public fake_base {
public:
    using fake_base::fake_base;
    std::map<std::wstring, std::wstring> environment{{L"ProgramFiles", L"C:\\Program Files"}};
    // Requested name (exact) -> NT path of the file a data-file load maps.
    std::map<std::wstring, std::wstring> resolves;
    // NT path -> DOS path that the direct opening gives.
    std::map<std::wstring, std::wstring> direct;
    bool direct_open_available = true;
    std::map<wchar_t, std::wstring> devices{{L'C', L"\\Device\\HarddiskVolume1"}};
    // Short form -> long form (normal forms); other paths are already long.
    std::map<std::wstring, std::wstring> long_forms;
    // Path (normal form) -> canonical DOS form; error 3 when it has only an NT form.
    std::map<std::wstring, std::wstring> finals;
    std::map<std::wstring, std::wstring> nt_only_finals;
    // Flags of every data-file load, in order.
    std::vector<std::uint32_t> load_flags;
    // What GetLastError gives on the calling thread.
    std::uint32_t thread_last_error = 0;

    stdext::expected<std::wstring> system_folder() override {
        return answer("system_folder", L"C:\\windows\\system32");
    }
    stdext::expected<std::wstring> windows_folder() override {
        return answer("windows_folder", L"C:\\windows");
    }
    stdext::expected<std::wstring> environment_variable(const std::wstring& name) override {
        return lookup("environment_variable", environment, name, winapi::error_envvar_not_found,
                      "GetEnvironmentVariableW");
    }

    stdext::expected<winapi::hmodule> load_library(const std::wstring& name,
                                                   std::uint32_t flags) override {
        load_flags.push_back(flags);
        auto file =
            lookup("load_library", resolves, name, winapi::error_mod_not_found, "LoadLibraryExW");
        if (!file) {
            return stdext::unexpected(file.error());
        }
        const winapi::hmodule module = handles_.open("datafile");
        mapped_[module] = *file;
        return module;
    }
    void free_library(winapi::hmodule module) override {
        handles_.close(module);
        mapped_.erase(module);
    }
    stdext::expected<std::wstring> mapped_file_name(winapi::hmodule module) override {
        return answer("mapped_file_name", mapped_.at(module));
    }

    stdext::expected<std::wstring> final_path_of_nt_path(const std::wstring& nt_path) override {
        if (!direct_open_available) {
            return stdext::unexpected(
                winapi::win_failure(winapi::error_proc_not_found, "NtCreateFile"));
        }
        return lookup("final_path_of_nt_path", direct, nt_path, winapi::error_file_not_found,
                      "NtCreateFile");
    }
    stdext::expected<std::wstring> dos_device(wchar_t letter) override {
        return lookup("dos_device", devices, letter, winapi::error_file_not_found,
                      "QueryDosDeviceW");
    }
    stdext::expected<std::wstring> long_path(const std::wstring& path) override {
        auto it = long_forms.find(path_key(path));
        return answer("long_path", it == long_forms.end() ? path : it->second);
    }
    stdext::expected<std::wstring> final_path(const std::wstring& path,
                                              winapi::final_path_form form) override {
        if (auto fault = check("final_path")) {
            return stdext::unexpected(*fault);
        }
        const std::wstring key = path_key(path);
        if (auto nt = nt_only_finals.find(key); nt != nt_only_finals.end()) {
            if (form == winapi::final_path_form::dos) {
                return stdext::unexpected(
                    winapi::win_failure(winapi::error_path_not_found, "GetFinalPathNameByHandleW"));
            }
            return nt->second;
        }
        auto it = finals.find(key);
        if (it != finals.end()) {
            return it->second;
        }
        return path.starts_with(L"\\\\?\\") ? path : L"\\\\?\\" + path;
    }

    std::uint32_t last_error() override { return thread_last_error; }

private:
    stdext::expected<std::wstring> answer(std::string_view operation, const std::wstring& value) {
        return fake_base::answer(operation, [&] { return value; });
    }
    // The value under key, unless there is none (the given error of api) or the call is to fail.
    template <class Map>
    stdext::expected<std::wstring> lookup(std::string_view operation, const Map& map,
                                          const typename Map::key_type& key, std::uint32_t missing,
                                          const char* api) {
        auto it = map.find(key);
        if (it == map.end()) {
            return stdext::unexpected(winapi::win_failure(missing, api));
        }
        return answer(operation, it->second);
    }

    handle_table handles_;
    std::map<winapi::hmodule, std::wstring> mapped_;
};

}  // namespace fakes
