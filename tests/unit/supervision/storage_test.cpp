#include "supervision/storage/storage.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/fake_file_system.h"
#include "winapi/facility.h"
#include "winapi/win_error_category.h"

namespace {

using fakes::fake_file_system;
using supervision::storage::wardex_storage;
using ::testing::HasSubstr;
using ::testing::StartsWith;

const std::wstring folder = L"C:\\Program Files\\Valdrin\\Agent\\1.0.0";
const std::wstring file = folder + L"\\.\\storage\\wardex.json";
const std::wstring temporary = file + L".tmp";

const std::string defaults_with_repair_1_5 =
    R"({"local_update":{"count":0,"time":0,"version":""},"repair":{"count":1,"time":5},)"
    R"("start_service":{"count":0,"time":0},"tolvar_report":{"last_report_time":0}})";

const std::string full_file =
    R"({"repair":{"count":3,"time":100},"start_service":{"count":2,"time":200},)"
    R"("local_update":{"count":1,"time":300,"version":"1.2.3"},)"
    R"("tolvar_report":{"last_report_time":400}})";

template <class T>
void expect_error(const stdext::expected<T>& r, std::uint32_t code, const std::string& text) {
    ASSERT_FALSE(r) << "expected error " << code << " " << text;
    EXPECT_EQ(r.error().code, winapi::make_win_error(code));
    EXPECT_EQ(r.error().text, text);
}

class StorageTest : public ::testing::Test {
protected:
    fake_file_system fs;
    winapi::scoped_facility<winapi::file_system> use{fs};
};

TEST_F(StorageTest, PathJoinsCurrentDirectoryWithoutNormalising) {
    EXPECT_EQ(wardex_storage::path().value(), file);

    fs.fail(fake_file_system::op::current_directory, 206);
    expect_error(wardex_storage::path(), 206, "");
    expect_error(wardex_storage::read_repair_data(), 206, "");
    expect_error(wardex_storage::write_repair_data({1, 5}), 206, "");
    EXPECT_FALSE(fs.has_folder(folder + L"\\storage"));
}

TEST_F(StorageTest, MissingFolderFailsReadsAndFirstWriteCreatesIt) {
    expect_error(wardex_storage::read_storage(), 31, "failed open file");
    expect_error(wardex_storage::read_tolvar_report_data(), 31, "failed open file");

    ASSERT_TRUE(wardex_storage::write_repair_data({1, 5}));
    EXPECT_EQ(fs.file(file), defaults_with_repair_1_5);
    EXPECT_FALSE(fs.file(temporary));
}

TEST_F(StorageTest, WrittenFileIsCompactSortedAndUnsigned) {
    supervision::storage::storage_data data;
    data.repair = {4294967295u, 18446744073709551615u};
    data.start_service = {7, 1700000000};
    data.local_update = {2, 1, "2.0 \xc3\xa9\"q\""};
    data.tolvar_report = {9};
    ASSERT_TRUE(wardex_storage::write_storage(data));
    EXPECT_EQ(fs.file(file), R"({"local_update":{"count":2,"time":1,"version":"2.0 é\"q\""},)"
                             R"("repair":{"count":4294967295,"time":18446744073709551615},)"
                             R"("start_service":{"count":7,"time":1700000000},)"
                             R"("tolvar_report":{"last_report_time":9}})");
    EXPECT_EQ(wardex_storage::read_storage().value(), data);
}

TEST_F(StorageTest, SectionWritesKeepTheOtherSections) {
    fs.set_file(file, full_file);
    ASSERT_TRUE(wardex_storage::write_start_service_data({0, 999}));
    ASSERT_TRUE(wardex_storage::write_local_update_data({5, 6, "9.9"}));
    ASSERT_TRUE(wardex_storage::write_tolvar_report_data({77}));

    const auto data = wardex_storage::read_storage().value();
    EXPECT_EQ(data, (supervision::storage::storage_data{{3, 100}, {0, 999}, {5, 6, "9.9"}, {77}}));
    EXPECT_EQ(wardex_storage::read_repair_data().value(),
              (supervision::storage::repair_data{3, 100}));
}

TEST_F(StorageTest, TolerantReading) {
    // No "start_service" (older files), other members ignored, fractions cut, integers of either
    // sign taken as they are.
    fs.set_file(file, R"({"repair":{"count":2.9,"time":-1,"extra":[1]},"other":true,)"
                      R"("local_update":{"count":-1,"time":1e3,"version":""},)"
                      R"("tolvar_report":{"last_report_time":12}})");
    const auto data = wardex_storage::read_storage().value();
    EXPECT_EQ(data.repair, (supervision::storage::repair_data{2, 18446744073709551615u}));
    EXPECT_EQ(data.start_service, (supervision::storage::start_service_data{0, 0}));
    EXPECT_EQ(data.local_update, (supervision::storage::local_update_data{4294967295u, 1000, ""}));
}

TEST_F(StorageTest, StrictReading) {
    struct bad_case {
        std::string content;
        std::string text;  // exact text, or the start of it when it ends with '*'
    };
    const bad_case cases[] = {
        {R"({"repair":{"count":"2","time":0},"local_update":{"count":0,"time":0,"version":""},)"
         R"("tolvar_report":{"last_report_time":0}})",
         "type must be number, but is string"},
        {R"({"repair":{"count":0,"time":0},"local_update":{"count":0,"time":0,"version":""},)"
         R"("tolvar_report":{"last_report_time":null}})",
         "type must be number, but is null"},
        {R"({"repair":{"count":0,"time":0},"local_update":{"count":0,"time":0,"version":1},)"
         R"("tolvar_report":{"last_report_time":0}})",
         "type must be string, but is number"},
        {R"({"repair":{"count":0,"time":0},"start_service":{"count":0},)"
         R"("local_update":{"count":0,"time":0,"version":""},"tolvar_report":{"last_report_time":0}})",
         "*"},
        {R"({"repair":{"count":0},"local_update":{"count":0,"time":0,"version":""},)"
         R"("tolvar_report":{"last_report_time":0}})",
         "*"},
        {"", "invalid json from file:*"},
        {full_file + " x", "invalid json from file:*"},
        {"// note\n" + full_file, "invalid json from file:*"},
        {"[]", "*"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        fs.set_file(file, c.content);
        const auto r = wardex_storage::read_storage();
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().code, winapi::make_win_error(13));
        if (c.text.back() == '*') {
            EXPECT_THAT(r.error().text, StartsWith(c.text.substr(0, c.text.size() - 1)));
            EXPECT_GT(r.error().text.size(), c.text.size());
        } else {
            EXPECT_EQ(r.error().text, c.text);
        }
    }
}

TEST_F(StorageTest, MissingSectionFailsEveryReadAndNextWriteStartsFresh) {
    fs.set_file(file, R"({"repair":{"count":3,"time":100},"local_update":{"count":1,"time":3,)"
                      R"("version":"1.0"}})");
    for (const auto& r : {wardex_storage::read_repair_data().error(),
                          wardex_storage::read_start_service_data().error(),
                          wardex_storage::read_local_update_data().error(),
                          wardex_storage::read_tolvar_report_data().error()}) {
        EXPECT_EQ(r.code, winapi::make_win_error(13));
        EXPECT_THAT(r.text, HasSubstr("tolvar_report"));
    }
    ASSERT_TRUE(wardex_storage::write_repair_data({1, 5}));
    EXPECT_EQ(fs.file(file), defaults_with_repair_1_5);
}

TEST_F(StorageTest, ReadErrorsOfTheFile) {
    fs.set_file(file, full_file);
    fs.fail(fake_file_system::op::read, 23);
    expect_error(wardex_storage::read_storage(), 31, "failed read from file");
    fs.fail(fake_file_system::op::open_read, 32);
    expect_error(supervision::storage::read_text_file(file), 31, "failed open file");
}

// Each failing step of a write leaves the previous file as it was and no temporary file behind.
TEST_F(StorageTest, FailedWriteLeavesPreviousFile) {
    using op = fake_file_system::op;
    struct step_case {
        op what;
        std::uint32_t code;
        std::string text;
    };
    const step_case cases[] = {
        {op::create, 31, "failed open file"},
        {op::write, 31, "failed write in file"},
        {op::flush, 31, "failed write in file"},
        {op::replace, 31, "failed open file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.what));
        fake_file_system local;
        winapi::scoped_facility<winapi::file_system> use_local(local);
        local.set_file(file, full_file);
        local.fail(c.what, 112);
        expect_error(wardex_storage::write_repair_data({1, 5}), c.code, c.text);
        EXPECT_EQ(local.file(file), full_file);
        EXPECT_FALSE(local.file(temporary));
    }

    fs.fail(op::create_folder, 5);
    expect_error(wardex_storage::write_repair_data({1, 5}), 5, "failed create parent folder");
    EXPECT_FALSE(fs.has_folder(folder + L"\\storage"));
}

// The process dies after every possible number of file-system steps of a section write: the file
// is then either the old one or the new one, and always readable.
TEST_F(StorageTest, KilledWriteNeverLeavesTornFile) {
    const std::string expected_new =
        R"({"local_update":{"count":1,"time":300,"version":"1.2.3"},"repair":{"count":1,"time":5},)"
        R"("start_service":{"count":2,"time":200},"tolvar_report":{"last_report_time":400}})";
    bool finished = false;
    for (int budget = 0; !finished; ++budget) {
        ASSERT_LT(budget, 100);
        SCOPED_TRACE(budget);
        fake_file_system local;
        winapi::scoped_facility<winapi::file_system> use_local(local);
        local.set_file(file, full_file);
        local.kill_after = budget;
        try {
            ASSERT_TRUE(wardex_storage::write_repair_data({1, 5}));
            finished = true;
        } catch (const fakes::process_killed&) {
        }
        local.kill_after.reset();
        const auto now = local.file(file);
        ASSERT_TRUE(now == full_file || now == expected_new) << now.value_or("<none>");
        EXPECT_EQ(now == expected_new, finished);  // replaced only in the last step
        EXPECT_TRUE(wardex_storage::read_storage());
        // A leftover temporary file from the dead run does not stop the next write.
        ASSERT_TRUE(wardex_storage::write_repair_data({1, 5}));
        EXPECT_EQ(local.file(file), expected_new);
        EXPECT_FALSE(local.file(temporary));
    }
}

TEST_F(StorageTest, AgentRecords) {
    const std::wstring product = L"C:\\Program Files\\Valdrin\\Agent";
    fs.set_file(product + L"\\version.json",
                R"({"version":"1.0.7","path":"C:\\A\\1.0.7","more":1})");
    fs.set_file(product + L"\\update.json", R"({"version":"1.0.8","path":"x"})");
    EXPECT_EQ(supervision::storage::version_json_storage::read(product).value(),
              (supervision::storage::version_record{"1.0.7", "C:\\A\\1.0.7"}));
    EXPECT_EQ(supervision::storage::update_json_storage::read(product).value(),
              (supervision::storage::update_record{"1.0.8", "x"}));
    // Relative to the current directory, as the paths are joined without normalising.
    EXPECT_EQ(supervision::storage::version_json_storage::read(L"..").value().version, "1.0.7");

    fs.set_file(product + L"\\version.json", R"({"version":107,"path":"p"})");
    expect_error(supervision::storage::version_json_storage::read(product), 13,
                 "type must be string, but is number");
    fs.set_file(product + L"\\update.json", R"({"version":"1"})");
    const auto missing = supervision::storage::update_json_storage::read(product);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, winapi::make_win_error(13));
    EXPECT_THAT(missing.error().text, HasSubstr("path"));
    expect_error(supervision::storage::update_json_storage::read(folder), 31, "failed open file");
}

}  // namespace
