// The check-and-repair run against the fake machine: the ladder across consecutive runs, the
// run record, the report's pacing, the checksum test, and a fault sweep over whole runs.
#include "supervision/repair_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "fakes/installed_agent.h"

namespace {

using namespace supervision;

constexpr std::uint64_t start_time = 1'700'000'000;

// The installed agent and the remote update of its runs.
struct agent_lab : fakes::installed_agent {
    void run() {
        check_and_repair(
            [this] {
                ++update_calls;
                return update_answer;
            },
            sources);
    }
    // The service is stopped at the check; a start brings it up.
    void stop_service() {
        scm.script = {{winapi::service_stopped, 0}, {winapi::service_stopped, 0}};
        scm.then(winapi::service_running);
    }
    void break_settings() { files.set_file(program + L"\\vdnc.ini.md5", std::string(32, 'a')); }
    std::pair<std::uint32_t, std::uint32_t> counts() const {
        const auto data = stored();
        return {data.repair.count, data.start_service.count};
    }

    fakes::fake_service_manager& scm = machine.services;
    bool update_answer = false;  // what the remote update answers, and how often it was asked
    int update_calls = 0;
};

class RepairRun : public ::testing::Test, protected agent_lab {};

TEST_F(RepairRun, AHealthyAgentOnlyGetsItsDiscoveryComponentStarted) {
    run();
    EXPECT_FALSE(files.file(state_file));
    EXPECT_TRUE(machine.diagnostics.opened.empty());
    EXPECT_TRUE(reported().empty());
    EXPECT_TRUE(procs.started.empty());

    procs.table.erase(20);
    run();
    EXPECT_TRUE(log.contains(logging::level_info, L"repair", L"upnp srv not started => start it"));
    ASSERT_EQ(procs.started.size(), 2u);
    EXPECT_EQ(procs.started[0].command_line, L"\"" + program + L"\\PeerScout.exe\" install");
    EXPECT_EQ(procs.started[1].command_line, L"\"" + program + L"\\PeerScout.exe\"");
    EXPECT_FALSE(files.file(state_file));

    // A link that cannot be put back reinstalls, and the record says so.
    files.faults().fail_always("create_symlink", 5);
    files.add_link(product + L"\\settings", L"D:\\elsewhere", true);
    run();
    EXPECT_TRUE(log.contains(logging::level_info, L"repair", L"MUST REPAIR"));
    EXPECT_EQ(reported("reason"),
              std::vector<std::string>{
                  R"({"has_valid_settings": true, "is_service_running": true, )"
                  R"("symlinks_restore_result": false, "restore_agentui_result": true})"});
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
    EXPECT_EQ(procs.started.back().command_line,
              L"\"" + program + L"\\installer\\installer.exe\" /source:wardex_repair");
    EXPECT_TRUE(log.contains(logging::level_info, L"agent_kit::reinstall", L"session = 1"));
    EXPECT_EQ(reported().back(), "repair");
    EXPECT_EQ(machine.registry.creates.back().subkey, L"SOFTWARE\\Valdrin Agent\\repaired");

    // A start that fails reinstalls in the same run.
    later(3600);
    scm.script = {{winapi::service_stopped, 0}};
    run();
    EXPECT_EQ(counts(), std::make_pair(2u, 0u));
    EXPECT_EQ(scm.starts, 4);
    EXPECT_EQ(std::ranges::count_if(
                  procs.started,
                  [](const auto& s) { return s.command_line.ends_with(L"/source:wardex_repair"); }),
              2);

    // So does a start after which a link cannot be put back.
    later(3600);
    stop_service();
    files.faults().fail_always("create_symlink", 5);
    files.add_link(product + L"\\settings", L"D:\\elsewhere", true);
    run();
    EXPECT_EQ(counts(), std::make_pair(3u, 0u));
    EXPECT_EQ(scm.starts, 5);
}

TEST_F(RepairRun, ThreeReinstallsWithinThreeHoursTryTheRemoteUpdateFirst) {
    break_settings();
    for (int i = 0; i < 3; ++i) {
        run();
        later(1000);
    }
    EXPECT_EQ(counts(), std::make_pair(3u, 0u));
    EXPECT_EQ(update_calls, 0);

    // The update fails: the run still reinstalls.
    run();
    EXPECT_EQ(update_calls, 1);
    EXPECT_TRUE(log.contains(logging::level_warning, L"repair", L"UPDATE FAILED"));
    EXPECT_EQ(counts(), std::make_pair(4u, 0u));
    const auto& log_text = machine.diagnostics.logs.at(machine.diagnostics.opened.back())->str();
    EXPECT_NE(log_text.find(L"TRY UPDATE\n"), std::wstring::npos);
    EXPECT_NE(log_text.find(L"UPDATE FAILED\n"), std::wstring::npos);
    EXPECT_NE(log_text.find(L"TRY REPAIR\n"), std::wstring::npos);

    // The update takes over: counters cleared, nothing reinstalled.
    later(1000);
    update_answer = true;
    run();
    EXPECT_EQ(counts(), std::make_pair(0u, 0u));
    EXPECT_EQ(reported().back(), "json_update");

    // Three hours after the last reinstall the count starts again, without an update.
    update_answer = false;
    for (int i = 0; i < 3; ++i) {
        run();
    }
    later(3 * 3600);
    run();
    EXPECT_EQ(counts(), std::make_pair(1u, 0u));

    // A last repair time ahead of the clock does not count as recent.
    storage::storage_data ahead;
    ahead.repair = {5, start_time * 2};
    ASSERT_TRUE(storage::wardex_storage::write_storage(ahead));
    run();
    EXPECT_EQ(counts(), std::make_pair(1u, 0u));
}

TEST_F(RepairRun, TheRunRecordByteForByte) {
    stop_service();
    run();
    EXPECT_EQ(reported("reason").at(0),
              R"({"has_valid_settings": true, "is_service_running": false, )"
              R"("symlinks_restore_result": null, "restore_agentui_result": null, )"
              R"("service_reg_values": {"image_path": "\"C:\\\\Agent\\\\CorvelService.exe\"", )"
              R"("start": "2", "type": "16"}, "service_stages": "", "win_events_log": []})");

    // What a run knows before it checks: nothing valid, nothing running.
    EXPECT_EQ(compose_run_record({.symlinks = false, .agent_ui = true},
                                 stdext::unexpected(stdext::error{{}, "open regkey err=2"}),
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
    report_agent_repair(L"{}", L"repair", sources);  // the same second
    later(1799);
    report_agent_repair(L"{}", L"repair", sources);
    EXPECT_TRUE(log.contains(logging::level_info, L"report_agent_repair",
                             L"don't send tolvar event, too soon"));
    EXPECT_EQ(reported().size(), 1u);
    later(1);
    report_agent_repair(L"{}", L"repair", sources);
    EXPECT_EQ(reported().size(), 2u);
    EXPECT_EQ(last_report(), start_time + 1800);

    // A failed submission keeps the old time, so the next run tries again.
    later(1800);
    machine.faults.fail("SubmitEvent", machine.faults.calls("SubmitEvent") + 1, 0xFFFFFFFBu);
    report_agent_repair(L"{}", L"repair", sources);
    EXPECT_EQ(last_report(), start_time + 1800);

    // A last report time ahead of the clock counts as long ago.
    storage::storage_data ahead;
    ahead.tolvar_report.last_report_time = start_time * 2;
    ASSERT_TRUE(storage::wardex_storage::write_storage(ahead));
    report_agent_repair(L"{}", L"repair", sources);
    EXPECT_TRUE(log.contains(logging::level_info, L"report_agent_repair",
                             L"now=" + std::to_wstring(now()) + L" last_report_time=" +
                                 std::to_wstring(start_time * 2) + L" elapsed_time=1801 sec"));
    EXPECT_EQ(last_report(), now());
}

TEST_F(RepairRun, ChecksumCompanions) {
    const std::wstring ini = program + L"\\vdnc.ini";
    std::string upper = digest_text;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    // Read as text: CR LF ends the line like LF, a lone carriage return is part of the line.
    const std::pair<std::string, bool> companions[] = {{upper + "\r\nsecond line", true},
                                                       {upper + "\nsecond line", true},
                                                       {upper + "\r", false},
                                                       {std::string(digest_text, 31), false},
                                                       {"\n" + upper, false},
                                                       {digest_text, true}};
    for (const auto& [companion, valid] : companions) {
        files.set_file(ini + L".md5", companion);
        EXPECT_EQ(has_valid_checksum(ini), valid) << companion;
    }
    EXPECT_FALSE(has_valid_checksum(program + L"\\missing.ini"));
    machine.faults.fail("file_md5", machine.faults.calls("file_md5") + 1);
    EXPECT_FALSE(has_valid_checksum(ini));

    // The first invalid file ends the test of the settings.
    break_settings();
    const int digests = machine.faults.calls("file_md5");
    run();
    EXPECT_TRUE(log.contains(logging::level_info, L"repair", L"running=true valid settings=false"));
    // One for the test, one per listed file.
    EXPECT_EQ(machine.faults.calls("file_md5") - digests,
              1 + static_cast<int>(machine.diagnostics.files.size()));
}

// Every call of every facility fails in turn, in every rung of the ladder. A run may end with an
// exception the entry point logs, but never with anything else, and the state file always holds
// a whole record.
TEST(RepairRunSweep, FaultSweepOverWholeRuns) {
    const std::pair<const char*, void (*)(agent_lab&)> scenarios[] = {
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
    for (const auto& [name, arrange] : scenarios) {
        // The calls of a run without faults, then a run for each of them failing.
        int calls = 0;
        {
            agent_lab probe;
            arrange(probe);
            const int before = probe.machine.faults.total();
            probe.run();
            calls = probe.machine.faults.total() - before;
        }
        EXPECT_GT(calls, 30) << name << ": the run did not get far";
        for (int k = 1; k <= calls; ++k) {
            agent_lab lab;
            arrange(lab);
            const auto previous = lab.files.file(agent_lab::state_file);
            lab.machine.faults.fail_call(lab.machine.faults.total() + k);
            try {
                lab.run();
            } catch (const std::exception&) {
                // Ends the command; the entry point logs it.
            } catch (...) {
                ADD_FAILURE() << name << ": call " << k << " let a non-standard error escape";
            }
            const auto now_stored = lab.files.file(agent_lab::state_file);
            if (now_stored) {
                const auto parsed = nlohmann::json::parse(*now_stored, nullptr, false);
                EXPECT_FALSE(parsed.is_discarded()) << name << ": call " << k;
                EXPECT_TRUE(storage::storage_from_json(parsed)) << name << ": call " << k;
            } else {
                EXPECT_FALSE(previous) << name << ": call " << k << " lost the state file";
            }
        }
    }
}

}  // namespace
