// The local update against the fake machine: its pacing across runs, the report's record, when
// a staged update counts as needed, and the logged failures of running the staged executable
// and removing the update record.
#include "supervision/local_update.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "fakes/installed_agent.h"

namespace {

using namespace supervision;
using strings = std::vector<std::wstring>;

class LocalUpdate : public ::testing::Test, protected fakes::installed_agent {
protected:
    LocalUpdate() { stage("2.0", "2.0.0"); }

    void stage(const std::string& version, const std::string& path) {
        files.set_file(update_json, nlohmann::json{{"version", version}, {"path", path}}.dump());
    }
    storage::local_update_data attempts() const { return stored().local_update; }
    std::size_t runs() const { return procs.started.size(); }
    bool attempt() { return try_local_update(sources); }

    const std::wstring update_json = product + L"\\update.json";
};

TEST_F(LocalUpdate, ThreeFailuresHoldBackForThreeHoursThenANewSeries) {
    procs.exit_status = 1;
    for (std::uint32_t i = 1; i <= 3; ++i) {
        EXPECT_FALSE(attempt());
        EXPECT_EQ(runs(), i);
        EXPECT_EQ(attempts(), (storage::local_update_data{i, now(), "2.0"}));
        later(600);
    }

    // Held back until three hours after the third failure, without a line.
    later(10799 - 600);
    EXPECT_EQ(messages(L"try_local_update"),
              strings{L"16 read_local_update_data err=31 failed open file"});
    EXPECT_FALSE(attempt());
    EXPECT_EQ(runs(), 3u);
    EXPECT_EQ(messages(L"try_local_update"), strings{});

    later(1);
    EXPECT_FALSE(attempt());
    EXPECT_EQ(runs(), 4u);
    EXPECT_EQ(attempts(), (storage::local_update_data{1, now(), "2.0"}));

    // A newly staged version starts its own count.
    ASSERT_TRUE(storage::wardex_storage::write_local_update_data({3, now(), "2.0"}));
    stage("2.1", "2.1.0");
    EXPECT_FALSE(attempt());
    EXPECT_EQ(attempts(), (storage::local_update_data{1, now(), "2.1"}));

    // A last failure ahead of the clock (the clock was set back) does not hold back.
    ASSERT_TRUE(storage::wardex_storage::write_local_update_data({3, now() + 100, "2.1"}));
    EXPECT_FALSE(attempt());
    EXPECT_EQ(attempts(), (storage::local_update_data{1, now(), "2.1"}));
}

TEST_F(LocalUpdate, AHandOverIsReportedClearsTheRecordAndRemovesTheUpdate) {
    stage("2 \"b\"", "D:\\st\xc3\xa9");
    ASSERT_TRUE(storage::wardex_storage::write_local_update_data({2, now() - 5, "2 \"b\""}));
    EXPECT_TRUE(attempt());
    EXPECT_EQ(messages(L"try_local_update"), strings{L"16 update success"});
    EXPECT_EQ(attempts(), storage::local_update_data{});
    EXPECT_FALSE(files.file(update_json));
    EXPECT_EQ(reported(), std::vector<std::string>{"local_update"});
    // The record carries the staged values as they are, without escaping.
    EXPECT_EQ(reported("reason"), std::vector<std::string>{
                                      "{\"reason\": \"found update.json\", \"update.json\": "
                                      "{\"path\": \"D:\\st\xc3\xa9\", \"version\": \"2 \"b\"\"}}"});

    // A failed write of the record does not change the outcome of either end.
    stage("3.0", "3.0.0");
    files.faults().fail_always("write_file", 5);
    EXPECT_TRUE(attempt());
    procs.exit_status = 7;
    stage("3.1", "3.1.0");
    EXPECT_FALSE(attempt());
    EXPECT_EQ(
        messages(L"try_local_update"),
        (strings{L"16 update success", L"8 storage::wardex_storage::write err=31 failed open file",
                 L"8 storage::wardex_storage::write err=31 failed open file"}));
}

TEST_F(LocalUpdate, AnUpdateIsNeededWhenItDiffersFromTheInstalledVersion) {
    stage("1.0", "1.0.0");
    EXPECT_EQ(need_local_update(), std::nullopt);
    stage("1.0", "1.0.0-b");
    EXPECT_EQ(need_local_update(), (storage::update_record{"1.0", "1.0.0-b"}));
    stage("1.0b", "1.0.0");
    EXPECT_EQ(need_local_update(), (storage::update_record{"1.0b", "1.0.0"}));
    EXPECT_EQ(messages(L"need_local_update"), strings{});

    ASSERT_TRUE(files.remove(product + L"\\version.json"));
    EXPECT_EQ(need_local_update(), (storage::update_record{"1.0b", "1.0.0"}));
    EXPECT_EQ(messages(L"need_local_update"),
              strings{L"8 version_json_storage::read err=31 failed open file"});
    ASSERT_TRUE(files.remove(update_json));
    EXPECT_EQ(need_local_update(), std::nullopt);
    files.faults().fail("current_directory", files.faults().calls("current_directory") + 1, 5);
    EXPECT_EQ(need_local_update(), std::nullopt);
    EXPECT_EQ(messages(L"need_local_update"),
              (strings{L"8 version_json_storage::read err=31 failed open file",
                       L"16 update_json_storage::read err=31 failed open file",
                       L"8 filesystem::current_path err=5"}));
}

TEST_F(LocalUpdate, RunUpdateFailuresAreLogged) {
    // The path is in the system's code page; an absolute one replaces the product folder.
    procs.exit_status = 259;
    EXPECT_FALSE(run_update({"2.0", "D:\\st\xe9"}));
    EXPECT_EQ(procs.started.back().command_line, L"\"D:\\st\xe9\\CorvelService.exe\" update_ready");

    const std::wstring command = L"\"" + product + L"\\2.0.0\\CorvelService.exe\" update_ready";
    faults.fail("start_process", faults.calls("start_process") + 1, 2);
    EXPECT_FALSE(run_update({"2.0", "2.0.0"}));
    faults.fail("wait_process", faults.calls("wait_process") + 1, 6);
    EXPECT_FALSE(run_update({"2.0", "2.0.0"}));
    procs.wait_result = 128;
    EXPECT_FALSE(run_update({"2.0", "2.0.0"}));
    procs.wait_result = 0;
    faults.fail("exit_code", faults.calls("exit_code") + 1, 6);
    EXPECT_FALSE(run_update({"2.0", "2.0.0"}));
    files.faults().fail("current_directory", files.faults().calls("current_directory") + 1, 5);
    EXPECT_FALSE(run_update({"2.0", "2.0.0"}));
    EXPECT_EQ(messages(L"run_update"),
              (strings{L"4 run CorvelService.exe update_ready result=259",
                       L"4 create process [" + command +
                           L"] err=2 The system cannot find the file specified.\r\n",
                       L"4 wait for CorvelService.exe update_ready err=6",
                       L"4 wait for CorvelService.exe update_ready result=128",
                       L"4 GetExitCodeProcess err=6", L"8 filesystem::current_path err=5"}));
    procs.exit_status = 0;
    EXPECT_TRUE(run_update({"2.0", "2.0.0"}));
    EXPECT_EQ(messages(L"run_update"), strings{});
}

TEST_F(LocalUpdate, RemovingTheUpdateRecordLogsWhatWasNotRemoved) {
    delete_update_json();
    EXPECT_EQ(messages(L"delete_update_json"), strings{});

    delete_update_json();
    const std::wstring path = product + L"\\.\\update.json";
    EXPECT_EQ(messages(L"delete_update_json"), strings{L"8 failed remove " + path});

    stage("2.0", "2.0.0");
    files.faults().fail("remove", files.faults().calls("remove") + 1, 5);
    delete_update_json();
    files.faults().fail("current_directory", files.faults().calls("current_directory") + 1, 3);
    delete_update_json();
    EXPECT_EQ(messages(L"delete_update_json"),
              (strings{L"8 failed remove " + path, L"8 remove " + path + L" err=5",
                       L"8 filesystem::current_path err=3"}));
    EXPECT_TRUE(files.file(update_json));
}

}  // namespace
