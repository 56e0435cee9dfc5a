// The agent installed and healthy on a fake machine: the version record in the product folder,
// the settings files with their ".md5" companions, the links and the UI copy in the product
// folder, the service registered and running, the discovery component up in the console session,
// and the logging and event libraries in the program folder. A test breaks what it needs broken.
// Every fake counts its calls in the machine's fault plan, so the n-th call of a whole run can be
// made to fail.
#pragma once

#include <nlohmann/json.hpp>

#include "fakes/fake_vdec.h"
#include "fakes/log_messages.h"
#include "supervision/storage/storage.h"
#include "telemetry/m_agent_repaired.h"

namespace fakes {

struct installed_agent : logged_machine {
    static inline const std::wstring product = L"C:\\Program Files\\Valdrin\\Agent";
    static inline const std::wstring program = product + L"\\1.0.0";  // the current folder
    static inline const std::wstring state_file = program + L"\\storage\\wardex.json";
    // The digest of every settings file, and its companion's text.
    static constexpr winapi::md5_digest digest{0x0f, 0x1e, 0x2d, 0x3c, 0x4b, 0x5a, 0x69, 0x78,
                                               0x87, 0x96, 0xa5, 0xb4, 0xc3, 0xd2, 0xe1, 0xf0};
    static constexpr const char* digest_text = "0f1e2d3c4b5a69788796a5b4c3d2e1f0";

    installed_agent() {
        files.share_faults(machine.faults);
        machine.identities.share_faults(machine.faults);
        files.set_file(product + L"\\version.json", R"({"version":"1.0","path":"1.0.0"})");
        for (const auto* name : {L"vdnc.ini", L"settings\\Corvel.json"}) {
            files.set_file(program + L"\\" + name, "settings");
            files.set_file(program + L"\\" + name + L".md5", digest_text);
            machine.diagnostics.files.push_back({name, false, {}, 8, digest});
        }
        files.add_folder(program + L"\\apps_data");
        files.set_file(program + L"\\CorvelDP.dll", "dp");
        files.add_link(product + L"\\settings", program + L"\\settings", true);
        files.add_link(product + L"\\apps_data", program + L"\\apps_data", true);
        files.add_link(product + L"\\CorvelDP.dll", program + L"\\CorvelDP.dll", false);
        files.set_file(product + L"\\CorvelUI.exe", "ui");
        machine.identities.add(program, {1, 10});
        procs.table = {{20, {L"PeerScout.exe", 1, program + L"\\PeerScout.exe"}},
                       {30, {L"winlogon.exe", 1}}};
        procs.session_list = {{1, L"Console", 0}};
        machine.services.script = {{winapi::service_running, 0}};
        const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\CorvelService";
        auto& reg = machine.registry;
        reg.set_string(winapi::hkey_local_machine, key, L"ImagePath",
                       L"\"C:\\\\Agent\\\\CorvelService.exe\"");
        reg.set_dword(winapi::hkey_local_machine, key, L"Start", 2);
        reg.set_dword(winapi::hkey_local_machine, key, L"Type", 16);
    }

    void later(std::uint64_t seconds) { machine.clock.advance(seconds * 1000); }
    std::uint64_t now() { return machine.clock.unix_time(); }
    // What the state file holds; a test fails when it is missing or not a whole record.
    supervision::storage::storage_data stored() const {
        return supervision::storage::storage_from_json(
                   nlohmann::json::parse(files.file(state_file).value()))
            .value();
    }
    // The value of key in every submitted event, in order: "action", "reason".
    std::vector<std::string> reported(const std::string& key = "action") const {
        std::vector<std::string> values;
        std::string value;
        for (const auto& call : vdec.calls) {
            if (call.starts_with("AddKeyValueEventW " + key + "=")) {
                value = call.substr(19 + key.size());
            } else if (call.starts_with("SubmitEvent")) {
                values.push_back(value);
            }
        }
        return values;
    }

    fake_vdec vdec{machine, program + L"\\vdec.dll"};
    const telemetry::repair_event_sources sources{
        [] {
            return telemetry::client_settings{"app", "en_US", "1.0"};
        },
        [] { return std::wstring(L"anon"); }, [] { return std::wstring(L"calc"); },
        [] { return telemetry::system_info_t{}; }};
};

}  // namespace fakes
