// Libraries that "exist" as files with a set of exports (plain function pointers of the test),
// with load/free reference counts so tests can check that every load is paired with a free.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "winapi/modules.h"

namespace fakes {

class fake_modules : public winapi::modules {
public:
    struct library {
        std::map<std::string, void*> exports;
        int references = 0;
        winapi::hmodule handle = 0;
    };

    // A library file at this full path (compared ignoring case). Returns its future handle.
    winapi::hmodule add_library(const std::wstring& path, std::map<std::string, void*> exports);
    void remove_library(const std::wstring& path);
    int references(const std::wstring& path) const;
    // The program's own path, answered by file_name(self()).
    std::wstring self_path = L"C:\\Program Files\\Valdrin\\Agent\\1.0.0\\Wardex.exe";
    winapi::hmodule self_handle = 0x400000;

    std::optional<std::uint32_t> fail_load;       // LoadLibrary fails with this error
    std::optional<std::uint32_t> fail_file_name;  // GetModuleFileName returns 0 with this error
    std::vector<std::wstring> loads;              // every path passed to load/load_ex
    std::vector<std::uint32_t> load_flags;        // flags of each load (0 for load)

    // winapi::modules
    winapi::hmodule self() override { return self_handle; }
    winapi::hmodule get_loaded(const std::wstring& name, std::uint32_t flags,
                               std::uint32_t& error) override;
    winapi::hmodule load(const std::wstring& path, std::uint32_t& error) override;
    winapi::hmodule load_ex(const std::wstring& path, std::uint32_t flags,
                            std::uint32_t& error) override;
    bool free(winapi::hmodule module) override;
    void* find_export(winapi::hmodule module, const char* name) override;
    std::uint32_t file_name(winapi::hmodule module, std::uint32_t capacity, std::wstring& out,
                            std::uint32_t& error) override;

private:
    library* by_handle(winapi::hmodule h);
    std::map<std::wstring, library> libraries_;  // key: lower-case full path
    winapi::hmodule next_ = 0x10000000;
};

}  // namespace fakes
