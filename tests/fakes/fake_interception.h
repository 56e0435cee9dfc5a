// The engine's system side on a fake machine: interceptions that attach and detach (and fail on
// request), a loader that records every real load and can re-enter the interception from inside a
// load, and modules known by address range.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "dllprotect/interception.h"

namespace fakes {

class fake_interception final : public dllprotect::interception {
public:
    dllprotect::section_entry section = dllprotect::section_entry::found;
    dllprotect::attach_outcome attach_result = dllprotect::attach_outcome::attached;
    bool detach_result = true;
    bool elevated = true;
    bool attached = false;
    bool safe_search_set = false;
    std::set<std::wstring> loaded;                   // names GetModuleHandleW finds, as given
    std::map<std::uintptr_t, std::wstring> modules;  // base -> path; each spans 0x10000
    std::function<void()> during_lookup = [] {};     // runs as a caller's module is looked up
    std::vector<std::wstring> loads;                 // the names the real loads were given
    // Off: real loads are only counted (loads from many threads at once).
    bool record_loads = true;
    std::atomic<long> load_count{0};
    // Runs inside a real load of the given lower-case path, as a DllMain would.
    std::map<std::wstring, std::function<void()>> during_load;

    void set_safe_search_mode() override { safe_search_set = true; }
    dllprotect::section_entry find_section_entry() override { return section; }
    dllprotect::attach_outcome attach(bool) override {
        attached = attach_result == dllprotect::attach_outcome::attached;
        return attach_result;
    }
    bool detach(bool) override {
        attached = attached && !detach_result;
        return detach_result;
    }
    bool is_elevated() override { return elevated; }

    std::uintptr_t true_load(const std::wstring& name, void*, std::uint32_t) override {
        const auto handle = 0x7000 + static_cast<std::uintptr_t>(++load_count);
        if (record_loads) {
            loads.push_back(name);
            if (auto it = during_load.find(name); it != during_load.end()) {
                it->second();
            }
        }
        return handle;
    }
    bool is_loaded(const std::wstring& name) override { return loaded.contains(name); }
    std::optional<dllprotect::caller_module> module_at(std::uintptr_t address) override {
        during_lookup();
        for (const auto& [base, path] : modules) {
            if (address >= base && address < base + 0x10000) {
                return dllprotect::caller_module{path, base};
            }
        }
        return std::nullopt;
    }
};

}  // namespace fakes
