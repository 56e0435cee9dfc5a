#include "supervision/storage/storage.h"

#include <gtest/gtest.h>

#include "fakes/fake_machine.h"
#include "winapi/file_system.h"

namespace {

using namespace supervision::storage;

const std::wstring file = L"C:\\Program Files\\Valdrin\\Agent\\1.0.0\\.\\storage\\wardex.json";
const std::string full_file = serialize({{3, 100}, {2, 200}, {1, 300, "1.2.3"}, {400}});
// write_repair_data({1, 5}) on full_file, and on a file that cannot be read.
const std::string updated_file = serialize({{1, 5}, {2, 200}, {1, 300, "1.2.3"}, {400}});
const std::string fresh_file = serialize({{1, 5}, {}, {}, {}});

// Success for code 0, else that error with exactly that text, or one that starts so when the
// library's message follows (an empty text or one that ends in ':').
template <class T>
void expect_error(const stdext::expected<T>& r, int code, const std::string& text) {
    ASSERT_EQ(r.has_value(), code == 0) << code << " " << text;
    if (code != 0) {
        EXPECT_EQ(r.error().code, winapi::make_win_error(code));
        const bool prefix = text.empty() || text.back() == ':';
        EXPECT_EQ(r.error().text.substr(0, prefix ? text.size() : std::string::npos), text);
    }
}

bool temporaries_left(const fakes::fake_file_system& fs) {
    return fs.file(winapi::replacement_file_name(file, 0)) ||
           fs.file(winapi::replacement_file_name(file, 1));
}

class StorageTest : public fakes::machine_test {
protected:
    fakes::fake_file_system& fs = machine.files;
};

TEST_F(StorageTest, FirstWriteCreatesTheMissingFolder) {
    ASSERT_TRUE(wardex_storage::write_repair_data({1, 5}));
    EXPECT_EQ(fs.file(file), fresh_file);
    EXPECT_FALSE(temporaries_left(fs));

    fs.faults().fail_always("ReadFile");
    expect_error(wardex_storage::read_storage(), 31, "failed read from file");
}

TEST_F(StorageTest, WrittenFileIsCompactSortedAndUnsignedAndSectionsKeepTheRest) {
    storage_data data{{4294967295u, 18446744073709551615u}, {7, 17}, {2, 1, "\xc3\xa9\""}, {9}};
    ASSERT_TRUE(wardex_storage::write_storage(data));
    EXPECT_EQ(fs.file(file), R"({"local_update":{"count":2,"time":1,"version":"é\""},)"
                             R"("repair":{"count":4294967295,"time":18446744073709551615},)"
                             R"("start_service":{"count":7,"time":17},)"
                             R"("tolvar_report":{"last_report_time":9}})");
    ASSERT_TRUE(wardex_storage::write_start_service_data({0, 999}));
    ASSERT_TRUE(wardex_storage::write_local_update_data({5, 6, "9.9"}));
    ASSERT_TRUE(wardex_storage::write_tolvar_report_data({77}));
    EXPECT_EQ(wardex_storage::read_storage().value(),
              (storage_data{data.repair, {0, 999}, {5, 6, "9.9"}, {77}}));
}

TEST_F(StorageTest, ReadingRules) {
    // No "start_service" (older files), other members ignored, fractions cut, integers of either
    // sign taken as they are.
    fs.set_file(file, R"({"repair":{"count":2.9,"time":-1,"extra":[1]},"other":true,)"
                      R"("local_update":{"count":-1,"time":1e3,"version":""},)"
                      R"("tolvar_report":{"last_report_time":12}})");
    EXPECT_EQ(wardex_storage::read_storage().value(),
              (storage_data{{2, 18446744073709551615u}, {0, 0}, {4294967295u, 1000, ""}, {12}}));

    const std::string update = R"("local_update":{"count":0,"time":0,"version":"")";
    const std::string tail = update + R"(},"tolvar_report":{"last_report_time":0}})";
    // Each fails with 13 and a text that starts so; the next section write starts afresh.
    const std::pair<std::string, std::string> bad[] = {
        {R"({"repair":{"count":"2","time":0},)" + tail, "type must be number, but is string"},
        {R"({"repair":{"count":0,"time":0},"local_update":{"count":0,"time":0,"version":1}})",
         "type must be string, but is number"},
        {R"({"repair":{"count":0,"time":0},"start_service":{"count":0},)" + tail,
         "key 'time' not found"},
        {R"({"repair":{"count":3,"time":100},)" + update + "}}", ""},
        {"", "invalid json from file:"},
        {full_file + " x", "invalid json from file:"},
        {"// note\n" + full_file, "invalid json from file:"},
    };
    for (const auto& [content, text] : bad) {
        SCOPED_TRACE(content);
        fs.set_file(file, content);
        expect_error(wardex_storage::read_local_update_data(), 13, text);
        ASSERT_TRUE(wardex_storage::write_repair_data({1, 5}));
        EXPECT_EQ(fs.file(file), fresh_file);
    }
}

// The k-th call of a section write fails, or the process dies before it, for every k. A failed
// read starts from defaults; the file is never torn and the next write succeeds.
TEST_F(StorageTest, EveryStepFailedOrKilled) {
    const std::tuple<int, const char*, const std::string*> failed[] = {
        {0, "", &fresh_file},                            // current_directory
        {0, "", &fresh_file},                            // read_file
        {0, "", &fresh_file},                            // ReadFile
        {5, "", &full_file},                             // current_directory
        {5, "failed create parent folder", &full_file},  // create_folder_tree
        {0, "", &updated_file},                          // write_file: the next name is taken
        {31, "failed write in file", &full_file},        // WriteFile
        {31, "failed write in file", &full_file},        // FlushFileBuffers
        {31, "failed open file", &full_file},            // move_file_replacing
        {0, "", &updated_file},                          // nothing fails
    };
    const int calls = static_cast<int>(std::size(failed)) - 1;
    for (int k = 0; k <= calls; ++k) {
        for (const bool kill : {false, true}) {
            SCOPED_TRACE(std::to_string(k) + (kill ? " killed" : " failed"));
            const auto& [code, text, after] = failed[k];
            fakes::fake_machine local;
            local.files.set_file(file, full_file);
            local.files.faults().fail_call(k + 1, kill ? fakes::killed : 5);
            try {
                expect_error(wardex_storage::write_repair_data({1, 5}), code, text);
                EXPECT_FALSE(kill && k < calls) << "not killed";
                EXPECT_EQ(local.files.file(file), *after);
                EXPECT_FALSE(temporaries_left(local.files));
            } catch (const fakes::process_killed&) {
                EXPECT_EQ(local.files.file(file), full_file);
            }
            local.files.faults().clear();
            ASSERT_TRUE(wardex_storage::write_repair_data({1, 5}));
            EXPECT_EQ(wardex_storage::read_repair_data().value(), (repair_data{1, 5}));
            EXPECT_FALSE(temporaries_left(local.files));
        }
    }
}

// A folder or a read-only file that holds the temporary name does not stop the write.
TEST_F(StorageTest, LeftoverTemporaryNeverBlocksTheWrite) {
    const std::wstring temporary = winapi::replacement_file_name(file, 0);
    fs.set_file(file, full_file);
    fs.add_folder(temporary);
    ASSERT_TRUE(wardex_storage::write_repair_data({1, 5}));
    EXPECT_EQ(fs.file(file), updated_file);
    EXPECT_TRUE(fs.has_folder(temporary));

    fs.set_file(temporary, "old", true);
    ASSERT_TRUE(wardex_storage::write_repair_data({2, 5}));
    EXPECT_EQ(wardex_storage::read_repair_data().value(), (repair_data{2, 5}));
    EXPECT_EQ(fs.file(temporary), "old");
    EXPECT_FALSE(fs.file(winapi::replacement_file_name(file, 1)));

    fs.faults().fail_always("write_file", 5);  // no name is free
    expect_error(wardex_storage::write_repair_data({3, 5}), 31, "failed open file");
}

TEST_F(StorageTest, AgentRecords) {
    const std::wstring product = L"C:\\Program Files\\Valdrin\\Agent";
    fs.set_file(product + L"\\version.json", R"({"version":"1.0.7","path":"C:\\A","more":1})");
    fs.set_file(product + L"\\update.json", R"({"version":"1"})");
    EXPECT_EQ(version_json_storage::read(product).value(), (version_record{"1.0.7", "C:\\A"}));
    expect_error(update_json_storage::read(product), 13, "");

    fs.set_file(product + L"\\update.json", R"({"version":107,"path":"p"})");
    expect_error(update_json_storage::read(product), 13, "type must be string, but is number");
}

}  // namespace
