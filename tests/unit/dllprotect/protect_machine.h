// A fake machine laid out for the load protection: the Windows folders, the program under Program
// Files, a user folder anybody may write and a folder only administrators may write; every folder
// has its own identity, and a library name resolves through an NT device path. The trace of
// each test is captured from its start.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "dllprotect/protect_types.h"
#include "dllprotect/thread_state.h"
#include "dllprotect/trust_decisions.h"
#include "fakes/fake_machine.h"
#include "logging/dbg_trace/testing.h"

namespace dllprotect {

// The engine's trace lines that contain one of the parts, each from after its tag
// "[DLLPROTECT] :: " up to its first line feed (a leave line's time follows that).
inline std::vector<std::string> traced(const logging::dbg_trace::testing::capture& trace,
                                       std::initializer_list<std::string_view> parts) {
    constexpr std::string_view tag = "[DLLPROTECT] :: ";
    std::vector<std::string> lines;
    for (const std::string& line : trace.texts()) {
        for (const std::string_view part : parts) {
            if (line.find(part) != std::string::npos) {
                const std::size_t start = line.find(tag) + tag.size();
                lines.push_back(line.substr(start, line.find('\n') - start));
                break;
            }
        }
    }
    return lines;
}

inline constexpr std::uint32_t all_checks =
    OPT_CHECK_SIGNATURE | OPT_USE_BLACKLIST | OPT_CHECK_WRITE_ACCESS | OPT_REPORT_MODE;

class protect_machine : public fakes::machine_test {
protected:
    protect_machine() {
        machine.modules.self_path = L"C:\\Program Files\\Corvel\\Wardex.exe";
        for (const wchar_t* folder :
             {L"C:\\windows", L"C:\\windows\\system32", L"C:\\Program Files",
              L"C:\\Program Files\\Corvel", L"C:\\Users\\Public", L"C:\\Tools"}) {
            add_folder(folder);
        }
        machine.acl.set(L"C:\\Users\\Public",
                        {true, {fakes::fake_access_control::allow(L"Users", 0x2)}});
        machine.acl.set(L"C:\\Tools",
                        {true, {fakes::fake_access_control::allow(L"Administrators", 0x2)}});
        capture_trusted_dirs();
        build_nt_device_table();
        decisions().options = all_checks;
        decisions().blacklist.clear();
    }
    ~protect_machine() override { winverifytrust_depth = 0; }

    void add_folder(const std::wstring& path) {
        machine.files.add_folder(path);
        machine.identities.add(path, {7, ++next_id_});
    }
    // A library file, the name that resolves to it and the NT path of its mapping.
    void add_library(const std::wstring& name, const std::wstring& dos_path) {
        machine.files.set_file(dos_path, "MZ");
        const std::wstring nt = L"\\Device\\HarddiskVolume1\\" + dos_path.substr(3);
        machine.libraries.resolves[name] = nt;
        machine.libraries.direct[nt] = L"\\\\?\\" + dos_path;
    }
    void sign(const std::wstring& path) { machine.trust.files[path].embedded = 0; }

    logging::dbg_trace::testing::capture trace;

private:
    std::uint64_t next_id_ = 100;
};

}  // namespace dllprotect
