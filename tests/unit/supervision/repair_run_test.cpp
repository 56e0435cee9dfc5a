// The check-and-repair run against the fake machine: the ladder across consecutive runs, the
// run record, the report's pacing, the checksum test, and a fault sweep over whole runs.
#include "supervision/repair_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <nlohmann/json.hpp>

#include "fakes/fake_log_library.h"
#include "fakes/fake_machine.h"
#include "fakes/fake_vdec.h"
#include "logging/log.h"
#include "supervision/storage/storage.h"

namespace {

using namespace supervision;
using strings = std::vector<std::wstring>;

const std::wstring product = L"C:\\Program Files\\Valdrin\\Agent";
const std::wstring program = product + L"\\1.0.0";  // the fake's current folder
const std::wstring state_file = program + L"\\storage\\wardex.json";
constexpr winapi::md5_digest digest{0x0f, 0x1e, 0x2d, 0x3c, 0x4b, 0x5a, 0x69, 0x78,
                                    0x87, 0x96, 0xa5, 0xb4, 0xc3, 0xd2, 0xe1, 0xf0};
constexpr const char* digest_text = "0f1e2d3c4b5a69788796a5b4c3d2e1f0";
constexpr std::uint64_t start_time = 1'700'000'000;

// What a test's remote update answers, and how often it was asked.
struct update_stub {
    bool answer = false;
    int calls = 0;
    remote_update hook() {
        return [this] {
            ++calls;
            return answer;
        };
    }
};

// A machine with the agent installed and healthy. With one_plan, every fake counts its calls in
// the machine's fault plan, so the n-th call of the whole run can be made to fail.
struct agent_lab {
    explicit agent_lab(bool one_plan = false) {
        if (one_plan) {
            files.share_faults(machine.faults);
            machine.identities.share_faults(machine.faults);
        }
        // The agent as installed: settings with their digests, links and the UI copy in the
        // product folder, the service running and the discovery component up.
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
        scm.script = {{winapi::service_running, 0}};
        auto& reg = machine.registry;
        const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\CorvelService";
        reg.set_string(winapi::hkey_local_machine, key, L"ImagePath",
                       L"\"C:\\\\Agent\\\\CorvelService.exe\"");
        reg.set_dword(winapi::hkey_local_machine, key, L"Start", 2);
        reg.set_dword(winapi::hkey_local_machine, key, L"Type", 16);
    }

    void run() { check_and_repair(update.hook(), sources); }
    // The service is stopped at the check; a start brings it up.
    void stop_service() {
        scm.script = {{winapi::service_stopped, 0}, {winapi::service_stopped, 0}};
        scm.then(winapi::service_running);
    }
    void break_settings() { files.set_file(program + L"\\vdnc.ini.md5", std::string(32, 'a')); }
    void later(std::uint64_t seconds) { machine.clock.advance(seconds * 1000); }
    std::uint64_t now() { return machine.clock.unix_time(); }

    storage::storage_data stored() const {
        return storage::storage_from_json(nlohmann::json::parse(files.file(state_file).value()))
            .value();
    }
    std::pair<std::uint32_t, std::uint32_t> counts() const {
        const auto data = stored();
        return {data.repair.count, data.start_service.count};
    }
    // The action of every submitted event, in order.
    std::vector<std::string> reported() const {
        std::vector<std::string> actions;
        std::string action;
        for (const auto& call : vdec.calls) {
            if (call.starts_with("AddKeyValueEventW action=")) {
                action = call.substr(25);
            } else if (call.starts_with("SubmitEvent")) {
                actions.push_back(action);
            }
        }
        return actions;
    }
    std::string reason_of_last_event() const {
        std::string reason;
        for (const auto& call : vdec.calls) {
            if (call.starts_with("AddKeyValueEventW reason=")) {
                reason = call.substr(25);
            }
        }
        return reason;
    }
    int installer_starts() const {
        return static_cast<int>(
            std::count_if(procs.started.begin(), procs.started.end(), [](const auto& s) {
                return s.command_line.find(L"installer.exe") != std::wstring::npos;
            }));
    }
    bool logged(logging::log_level level, const std::wstring& function, const std::wstring& text) {
        return log.contains(level, function, text);
    }

    fakes::fake_machine machine;
    fakes::fake_file_system& files = machine.files;
    fakes::fake_processes& procs = machine.processes;
    fakes::fake_service_manager& scm = machine.services;
    fakes::fake_log_library log{machine.modules};
    const logging::scopped_log_init logging_on;
    fakes::fake_vdec vdec{machine, program + L"\\vdec.dll"};
    const telemetry::repair_event_sources sources{
        [] {
            return telemetry::client_settings{"app", "en_US", "1.0"};
        },
        [] { return std::wstring(L"anon"); }, [] { return std::wstring(L"calc"); },
        [] { return telemetry::system_info_t{}; }};
    update_stub update;
};

class RepairRun : public ::testing::Test, protected agent_lab {};

TEST_F(RepairRun, AHealthyAgentOnlyGetsItsDiscoveryComponentStarted) {
    run();
    EXPECT_TRUE(
        logged(logging::level_info, L"repair", L"is running & valid settings, check symlinks"));
    EXPECT_FALSE(files.file(state_file));
    EXPECT_TRUE(machine.diagnostics.opened.empty());
    EXPECT_TRUE(reported().empty());
    EXPECT_TRUE(procs.started.empty());

    procs.table.erase(20);
    run();
    EXPECT_TRUE(logged(logging::level_info, L"repair", L"upnp srv not started => start it"));
    ASSERT_EQ(procs.started.size(), 2u);
    EXPECT_EQ(procs.started[0].command_line, L"\"" + program + L"\\PeerScout.exe\" install");
    EXPECT_EQ(procs.started[1].command_line, L"\"" + program + L"\\PeerScout.exe\"");
    EXPECT_FALSE(files.file(state_file));

    // A link that cannot be put back reinstalls, and the record says so.
    files.faults().fail_always("create_symlink", 5);
    files.add_link(product + L"\\settings", L"D:\\elsewhere", true);
    run();
    EXPECT_TRUE(logged(logging::level_info, L"repair", L"MUST REPAIR"));
    EXPECT_EQ(reason_of_last_event(),
              R"({"has_valid_settings": true, "is_service_running": true, )"
              R"("symlinks_restore_result": false, "restore_agentui_result": true})");
}

TEST_F(RepairRun, AStoppedServiceIsStartedThreeTimesThenReinstalled) {
    for (int i = 1; i <= 3; ++i) {
        stop_service();
        run();
        EXPECT_EQ(counts(), std::make_pair(0u, static_cast<std::uint32_t>(i)));
        later(3600);
    }
    EXPECT_EQ(reported(),
              (std::vector<std::string>{"start_service", "start_service", "start_service"}));
    EXPECT_EQ(stored().start_service.time, start_time + 2 * 3600);
    stop_service();
    run();
    EXPECT_EQ(counts(), std::make_pair(1u, 0u));
    EXPECT_EQ(installer_starts(), 1);
    EXPECT_EQ(scm.starts, 3);
    EXPECT_EQ(procs.started.back().command_line,
              L"\"" + program + L"\\installer\\installer.exe\" /source:wardex_repair");
    EXPECT_TRUE(logged(logging::level_info, L"agent_kit::reinstall", L"session = 1"));
    EXPECT_EQ(reported().back(), "repair");
    EXPECT_EQ(machine.registry.creates.back().subkey, L"SOFTWARE\\Valdrin Agent\\repaired");

    // A start that fails reinstalls in the same run.
    later(3600);
    scm.script = {{winapi::service_stopped, 0}};
    run();
    EXPECT_EQ(counts(), std::make_pair(2u, 0u));
    EXPECT_EQ(scm.starts, 4);
    EXPECT_EQ(installer_starts(), 2);
}

TEST_F(RepairRun, ThreeReinstallsWithinThreeHoursTryTheRemoteUpdateFirst) {
    break_settings();
    for (int i = 0; i < 3; ++i) {
        run();
        later(1000);
    }
    EXPECT_EQ(counts(), std::make_pair(3u, 0u));
    EXPECT_EQ(update.calls, 0);

    // The update fails: the run still reinstalls.
    run();
    EXPECT_EQ(update.calls, 1);
    EXPECT_TRUE(logged(logging::level_warning, L"repair", L"UPDATE FAILED"));
    EXPECT_EQ(counts(), std::make_pair(4u, 0u));
    const auto& log_text = machine.diagnostics.logs.at(machine.diagnostics.opened.back())->str();
    EXPECT_NE(log_text.find(L"TRY UPDATE\n"), std::wstring::npos);
    EXPECT_NE(log_text.find(L"UPDATE FAILED\n"), std::wstring::npos);
    EXPECT_NE(log_text.find(L"TRY REPAIR\n"), std::wstring::npos);

    // The update takes over: counters cleared, nothing reinstalled.
    later(1000);
    update.answer = true;
    const int installs = installer_starts();
    run();
    EXPECT_EQ(counts(), std::make_pair(0u, 0u));
    EXPECT_EQ(installer_starts(), installs);
    EXPECT_EQ(reported().back(), "json_update");

    // Three hours after the last reinstall the count starts again, without an update.
    update = {};
    for (int i = 0; i < 3; ++i) {
        run();
    }
    later(remote_update_window);
    run();
    EXPECT_EQ(update.calls, 0);
    EXPECT_EQ(counts(), std::make_pair(1u, 0u));

    // A last repair time ahead of the clock does not count as recent.
    storage::storage_data ahead;
    ahead.repair = {5, start_time * 2};
    ASSERT_TRUE(storage::wardex_storage::write_storage(ahead));
    run();
    EXPECT_EQ(update.calls, 0);
    EXPECT_EQ(counts(), std::make_pair(1u, 0u));
}

TEST_F(RepairRun, TheRunRecordByteForByte) {
    stop_service();
    run();
    EXPECT_EQ(reason_of_last_event(),
              R"({"has_valid_settings": true, "is_service_running": false, )"
              R"("symlinks_restore_result": null, "restore_agentui_result": null, )"
              R"("service_reg_values": {"image_path": "\"C:\\\\Agent\\\\CorvelService.exe\"", )"
              R"("start": "2", "type": "16"}, "service_stages": "", "win_events_log": []})");

    const check_results results{false, false, false, true};
    EXPECT_EQ(
        compose_run_record(results, stdext::unexpected(stdext::error{{}, "open regkey err=2"}),
                           L"st\\ages", L"[{\"id\": 7}]"),
        LR"({"has_valid_settings": false, "is_service_running": false, )"
        LR"("symlinks_restore_result": false, "restore_agentui_result": true, )"
        LR"("service_reg_values": "open regkey err=2", "service_stages": "st\ages", )"
        LR"("win_events_log": [{"id": 7}]})");
}

TEST_F(RepairRun, ReportsAreThirtyMinutesApartAndOnlyASubmittedOneCounts) {
    const auto last_report = [] {
        return storage::wardex_storage::read_tolvar_report_data().value().last_report_time;
    };
    report_agent_repair(L"{}", L"repair", sources);
    EXPECT_EQ(last_report(), start_time);
    later(report_interval - 1);
    report_agent_repair(L"{}", L"repair", sources);
    EXPECT_TRUE(
        logged(logging::level_info, L"report_agent_repair", L"don't send tolvar event, too soon"));
    EXPECT_EQ(reported().size(), 1u);
    later(1);
    report_agent_repair(L"{}", L"repair", sources);
    EXPECT_EQ(reported().size(), 2u);
    EXPECT_EQ(last_report(), start_time + report_interval);

    // A failed submission keeps the old time, so the next run tries again.
    later(report_interval);
    machine.faults.fail("SubmitEvent", machine.faults.calls("SubmitEvent") + 1, 0xFFFFFFFBu);
    report_agent_repair(L"{}", L"repair", sources);
    EXPECT_EQ(last_report(), start_time + report_interval);

    // A last report time ahead of the clock counts as long ago.
    storage::storage_data ahead;
    ahead.tolvar_report.last_report_time = start_time * 2;
    ASSERT_TRUE(storage::wardex_storage::write_storage(ahead));
    report_agent_repair(L"{}", L"repair", sources);
    EXPECT_TRUE(logged(logging::level_info, L"report_agent_repair",
                       L"now=" + std::to_wstring(now()) + L" last_report_time=" +
                           std::to_wstring(start_time * 2) + L" elapsed_time=1801 sec"));
    EXPECT_EQ(last_report(), now());
}

TEST_F(RepairRun, ChecksumCompanions) {
    const std::wstring ini = program + L"\\vdnc.ini";
    EXPECT_TRUE(has_valid_checksum(ini));
    std::string upper = digest_text;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    files.set_file(ini + L".md5", upper + "\r\nsecond line");
    EXPECT_TRUE(has_valid_checksum(ini));  // read as text: CR LF ends the line like LF
    files.set_file(ini + L".md5", upper + "\nsecond line");
    EXPECT_TRUE(has_valid_checksum(ini));
    files.set_file(ini + L".md5", upper + "\r");
    EXPECT_FALSE(has_valid_checksum(ini));  // a lone carriage return is part of the line
    files.set_file(ini + L".md5", std::string(digest_text).substr(0, 31));
    EXPECT_FALSE(has_valid_checksum(ini));
    files.set_file(ini + L".md5", "\n" + std::string(digest_text));
    EXPECT_FALSE(has_valid_checksum(ini));
    EXPECT_FALSE(has_valid_checksum(program + L"\\missing.ini"));
    files.set_file(ini + L".md5", digest_text);
    machine.faults.fail("file_md5", machine.faults.calls("file_md5") + 1);
    EXPECT_FALSE(has_valid_checksum(ini));

    // The first invalid file ends the test of the settings.
    break_settings();
    const int digests = machine.faults.calls("file_md5");
    run();
    EXPECT_TRUE(logged(logging::level_info, L"repair", L"running=true valid settings=false"));
    // One for the test, one per listed file.
    EXPECT_EQ(machine.faults.calls("file_md5") - digests,
              1 + static_cast<int>(machine.diagnostics.files.size()));
}

// Every call of every facility fails in turn, in every rung of the ladder. A run may end with an
// exception the entry point logs, but never with anything else, and the state file always holds
// a whole record.
TEST(RepairRunSweep, FaultSweepOverWholeRuns) {
    struct scenario {
        const char* name;
        std::function<void(agent_lab&)> arrange;
    };
    const std::vector<scenario> scenarios{
        {"healthy", [](agent_lab& t) { t.procs.table.erase(20); }},
        {"stopped", [](agent_lab& t) { t.stop_service(); }},
        {"invalid settings", [](agent_lab& t) { t.break_settings(); }},
        {"remote update", [](agent_lab& t) {
             t.break_settings();
             storage::storage_data data;
             data.repair = {3, start_time - 60};
             data.start_service = {1, start_time - 60};
             (void)storage::wardex_storage::write_storage(data);  // checked by the ladder test
         }}};
    int runs = 0;
    for (const auto& s : scenarios) {
        // The calls of a run without faults, then a run for each of them failing.
        int calls = 0;
        {
            agent_lab probe(true);
            s.arrange(probe);
            const int before = probe.machine.faults.total();
            probe.run();
            calls = probe.machine.faults.total() - before;
        }
        EXPECT_GT(calls, 30) << s.name << ": the run did not get far";
        for (int k = 1; k <= calls; ++k) {
            agent_lab lab(true);
            s.arrange(lab);
            const auto previous = lab.files.file(state_file);
            lab.machine.faults.fail_call(lab.machine.faults.total() + k);
            try {
                lab.run();
            } catch (const std::exception&) {
                // Ends the command; the entry point logs it.
            } catch (...) {
                ADD_FAILURE() << s.name << ": call " << k << " let a non-standard error escape";
            }
            const auto now_stored = lab.files.file(state_file);
            if (now_stored) {
                const auto parsed = nlohmann::json::parse(*now_stored, nullptr, false);
                EXPECT_FALSE(parsed.is_discarded()) << s.name << ": call " << k;
                EXPECT_TRUE(storage::storage_from_json(parsed)) << s.name << ": call " << k;
            } else {
                EXPECT_FALSE(previous) << s.name << ": call " << k << " lost the state file";
            }
            ++runs;
        }
    }
    std::cout << "fault sweep: " << runs << " runs\n";
}

}  // namespace
