#include "supervision/diagnostics.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "fakes/log_messages.h"
#include "supervision/storage/storage.h"

namespace {

using namespace supervision;
using fakes::fake_event_log;

const std::wstring folder = L"C:\\Program Files\\Valdrin\\Agent\\1.0.0";  // the fake's current
const std::wstring log_name = L"2024-05-01 13.02.07.045 .log";            // the fake's local time
constexpr std::int64_t max_window = 720LL * 3600 * 1000;

class Diagnostics : public fakes::logged_machine_test {
protected:
    fakes::fake_diagnostics& diag = machine.diagnostics;
};

TEST_F(Diagnostics, RepairLogFileIsNamedAfterTheLocalTime) {
    const std::wstring repair = L"C:\\ProgramData\\VDLogging\\Wardex\\repair\\";
    *get_log_file() << L"first line";
    EXPECT_TRUE(machine.files.has_folder(repair));
    EXPECT_EQ(diag.logs.at(repair + log_name)->str(), L"first line");

    diag.common_app_data = L"C:\\Data\\";
    (void)get_log_file();  // only the name is looked at
    EXPECT_EQ(diag.opened.back(), L"C:\\Data\\VDLogging\\Wardex\\repair\\" + log_name);

    faults.fail("common_app_data_folder", faults.calls("common_app_data_folder") + 1);
    (void)get_log_file();  // only the name is looked at
    EXPECT_EQ(diag.opened.back(), L"c:\\temp\\Wardex\\" + log_name);

    // A folder made a junction to another place gets nothing written there.
    diag.common_app_data = L"C:\\ProgramData";
    const std::wstring elsewhere = L"C:\\Windows\\System32\\" + log_name;
    diag.final_paths[repair + log_name] = elsewhere;
    EXPECT_TRUE((*get_log_file() << L"dropped").fail());
    diag.final_paths.clear();

    faults.fail("open_log_file", faults.calls("open_log_file") + 1);
    EXPECT_TRUE((*get_log_file() << L"dropped").fail());

    machine.files.faults().fail("create_folder_tree",
                                machine.files.faults().calls("create_folder_tree") + 1, 5);
    EXPECT_TRUE((*get_log_file() << L"dropped").fail());
    EXPECT_TRUE(log.contains(logging::level_error, L"get_log_file",
                             L"create_directory failed err=5 Access is denied.\r\n"));
}

TEST_F(Diagnostics, ListingHasOneLineForEachFileWithWhatCouldBeRead) {
    winapi::md5_digest digest{};
    for (std::uint8_t i = 0; i < 16; ++i) {
        digest[i] = static_cast<std::uint8_t>(i * 17 + 10);  // 0a 1b 2c ... f9
    }
    diag.files = {
        {L"Wardex.exe", true, winapi::fixed_file_version{0x00010002, 0xFFFF0000}, 1ull << 33,
         digest},
        {L"sub\\notes.txt", false, std::nullopt, 0, digest},
        {L"sub\\deep\\plain.dll", true, std::nullopt, 7, std::nullopt},  // locked, no root block
    };
    machine.messages.texts[1813] = "The specified resource type cannot be found.\r\n";
    faults.fail("file_size", 2);

    std::wostringstream out;
    log_installed_files(out);
    const std::wstring md5 = L" md5=0a1b2c3d4e5f708192a3b4c5d6e7f809";
    EXPECT_EQ(out.str(), L"START enum files\n\t" + folder + L"\\Wardex.exe version=1.2.65535.0 " +
                             L"size=8589934592" + md5 + L"\n\t" + folder + L"\\sub\\notes.txt" +
                             md5 + L"\n\t" + folder + L"\\sub\\deep\\plain.dll size=7\n" +
                             L"END enum files\n");
    // Only the file without a resource logs why.
    EXPECT_EQ(logged(), std::vector<std::wstring>{
                            L"4 log_installed_files winapi::version::get_file_info for " + folder +
                            L"\\sub\\notes.txt err=1813 The specified resource type cannot be "
                            L"found.\r\n"});

    // A folder that cannot be listed ends the listing with an error after the lines so far.
    faults.fail("walk_entry", faults.calls("walk_entry") + 2, 5);
    std::wostringstream cut;
    EXPECT_THROW(log_installed_files(cut), std::filesystem::filesystem_error);
    EXPECT_EQ(cut.str().find(L"notes.txt"), std::wstring::npos);
    EXPECT_NE(cut.str().find(L"Wardex.exe"), std::wstring::npos);
}

TEST_F(Diagnostics, ServiceStagesAreTheProductKeysStringValue) {
    const std::wstring key = L"SOFTWARE\\Valdrin Agent";
    machine.registry.set_string(winapi::hkey_local_machine, key, L"ServiceStages", L"1,2,3");
    EXPECT_EQ(read_service_stages(), L"1,2,3");
    machine.registry.set_string(winapi::hkey_local_machine, key, L"ServiceStages", L"%x%", 2);
    EXPECT_EQ(read_service_stages(), L"");
}

TEST(EventWindow, IsTheTimeSinceTheLastReportUpTo720Hours) {
    const std::uint64_t now = 1700000000;
    EXPECT_EQ(event_window_ms(now, now), 0);
    EXPECT_EQ(event_window_ms(now, now - 720 * 3600 + 1), max_window - 1000);
    EXPECT_EQ(event_window_ms(now, now - 720 * 3600), max_window);
    EXPECT_EQ(event_window_ms(now, now + 1), max_window);  // in the future
}

TEST_F(Diagnostics, ServiceEventsLogCoversTheTimeSinceTheLastReport) {
    storage::storage_data data;
    data.tolvar_report.last_report_time = 1700000000 - 10;
    machine.files.set_file(L"storage\\wardex.json", storage::serialize(data));
    machine.events.channels[L"System"] = {fake_event_log::event(
        7036, 1699999995,
        {fake_event_log::text(L"CorvelService"), fake_event_log::text(L"st\"op\\ped"),
         winapi::event_value{winapi::evt_var_type_int32, 0xFFFFFFFFu}})};
    machine.events.channels[L"Application"] = {fake_event_log::event(
        1000, 1699999995,
        {{winapi::evt_var_type_string | winapi::evt_var_type_array,
          0,
          {L"CorvelService.exe", L"C:\\Program Files\\Valdrin\\Agent\\CorvelService.exe"}}})};
    EXPECT_EQ(get_service_win_events_log(),
              L"[{\"id\": 1000, \"time\": 1699999995, \"data\": [\"CorvelService.exe\", "
              L"\"C:\\Program Files\\Valdrin\\Agent\\CorvelService.exe\"]}, {\"id\": 7036, "
              L"\"time\": 1699999995, \"param2\": \"st\"op\\ped\", \"param3\": -1}]");
    EXPECT_TRUE(log.contains(logging::level_info, L"get_service_win_events_log",
                             L"max logs elapsed time: 10000ms"));
    EXPECT_NE(machine.events.queries.back().find(L"&lt;= 10000]]"), std::wstring::npos);

    machine.files.delete_file(L"storage\\wardex.json").value();
    faults.fail_always("query", 5);
    EXPECT_EQ(get_service_win_events_log(), L"[]");
    EXPECT_TRUE(log.contains(logging::level_info, L"get_service_win_events_log",
                             L"read_tolvar_report_data err=31 failed open file"));
    EXPECT_TRUE(log.contains(logging::level_info, L"get_service_win_events_log",
                             L"max logs elapsed time: " + std::to_wstring(max_window) + L"ms"));
    EXPECT_TRUE(
        log.contains(logging::level_error, L"get_service_win_events_log",
                     L"get_corvelservice_win_events err=31 failed "
                     L"get_corvelservice_system_win_events & get_corvelservice_app_win_events"));
}

}  // namespace
