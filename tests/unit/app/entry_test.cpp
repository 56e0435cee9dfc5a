#include "app/entry.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <tuple>

#include "app/commands.h"
#include "fakes/installed_agent.h"
#include "stdext/path.h"
#include "stdext/utf.h"

namespace {

const std::wstring program_folder = L"C:\\Program Files\\Valdrin\\Agent\\1.0.0";
const std::wstring own_path = program_folder + L"\\Wardex.exe";
const std::wstring log_dll = program_folder + L"\\log.dll";
const std::wstring config_dll = program_folder + L"\\iservconfig.dll";
const std::string enter_folder = "cd C:\\program files\\valdrin\\agent\\1.0.0; ";
// The journal of a full run: the checks and acquisitions in order, the command, then the
// release of everything acquired, in reverse order.
const std::string full_run =
    enter_folder +
    "start protection; signer Wardex.exe; verify log.dll; signer log.dll; load log.dll; "
    "start logging; log 32; verify iservconfig.dll; signer iservconfig.dll; "
    "load iservconfig.dll; bind iservconfig.dll; property 2; " +
    enter_folder +
    "log 16; log 16; repair; release configuration; free iservconfig.dll; log 32; "
    "stop logging; free log.dll; stop protection; ";

std::string name_of(const std::wstring& path) {
    return stdext::wide_to_utf8(stdext::path::file_name(path));
}

using log_line = std::tuple<logging::log_level, std::wstring, std::wstring>;

// A correctly installed, correctly signed agent on 64-bit Windows, run by an administrator. The
// fixture is also the run's start-up parts: it journals their calls and the library loads in
// order, with a change of the current directory as "cd <folder>" before the step after it.
class agent : public app::startup_parts {
public:
    agent() {
        machine.modules.add_library(log_dll, {});
        machine.modules.add_library(config_dll, {});
        machine.modules.watch = [this](const char* what, const std::wstring& path) {
            note(what + (" " + name_of(path)));
        };
        set_program_files(L"ProgramW6432Dir", L"C:\\Program Files");
        machine.identities.add(L"C:\\Program Files\\Valdrin\\Agent", {7, 100});
        machine.identities.add(program_folder, {7, 101});
        machine.identities.add(L"C:\\Program Files\\Valdrin", {7, 99});
        for (const wchar_t* word : {L"repair", L"install", L"uninstall"}) {
            table.push_back({word, [this, word] { note(stdext::wide_to_utf8(word)); }});
        }
    }

    void set_program_files(const wchar_t* name, const wchar_t* folder) {
        machine.registry.set_string(winapi::hkey_local_machine,
                                    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", name, folder);
    }

    const std::string& run() {
        steps.clear();
        lines.clear();
        machine.files.current = seen_folder = L"C:\\Windows\\System32";
        EXPECT_EQ(app::run_entry(*this, table), 0);
        return steps;
    }

    void note(const std::string& step) {
        if (machine.files.current != seen_folder) {
            seen_folder = machine.files.current;
            steps += "cd " + stdext::wide_to_utf8(seen_folder) + "; ";
        }
        steps += step + "; ";
    }

    bool start_protection() override { return note("start protection"), protection_runs; }
    void stop_protection() override { note("stop protection"); }
    stdext::expected<bool> verify_signature(const std::wstring& path) override {
        note("verify " + name_of(path));
        return untrusted.count(path) == 0;
    }
    stdext::expected<std::wstring> signer_subject(const std::wstring& path) override {
        note("signer " + name_of(path));
        return signers.count(path) ? stdext::expected<std::wstring>(signers.at(path))
                                   : stdext::unexpected(winapi::win_failure(2, "CryptQueryObject"));
    }
    void start_logging() override { note("start logging"); }
    void stop_logging() override { note("stop logging"); }
    void log(logging::log_level level, const wchar_t* function, const std::wstring& text) override {
        note("log " + std::to_string(logging::level_number(level)));
        lines.emplace_back(level, function, text);
    }
    stdext::expected<void> bind_configuration(const std::wstring& path) override {
        note("bind " + name_of(path));
        // The product's library moves the current directory away, as libraries may.
        machine.files.current = seen_folder = L"C:\\Windows";
        return bound ? stdext::expected<void>()
                     : stdext::unexpected(winapi::win_failure(126, "load"));
    }
    const wchar_t* configuration_string(int id) override {
        note("property " + std::to_string(id));
        return product_folder;
    }
    void release_configuration() override { note("release configuration"); }

    fakes::fake_machine machine;
    fakes::fault_plan& faults = machine.faults;
    bool protection_runs = false;
    // path -> subject
    std::map<std::wstring, std::wstring> signers = {{own_path, L"Valdrin Software"},
                                                    {log_dll, L"Valdrin Software"},
                                                    {config_dll, L"Valdrin Software"}};
    std::set<std::wstring> untrusted;
    bool bound = true;
    const wchar_t* product_folder = L"Valdrin\\Agent";
    std::vector<log_line> lines;
    app::command_table table;
    std::wstring seen_folder;
    std::string steps;
};

class entry_test : public ::testing::Test, public agent {};

TEST_F(entry_test, FullRunKeepsTheStartUpOrderAndTearsDownInReverse) {
    EXPECT_EQ(run(), full_run);
    EXPECT_EQ(
        lines,
        (std::vector<log_line>{
            {logging::level_trace, L"scopped_log_init::scopped_log_init", L"ScoppedLogInit"},
            {logging::level_info, L"wWinMain", L"cmd line: " + machine.process.line},
            {logging::level_info, L"wWinMain", L"dllprotect status=false"},
            {logging::level_trace, L"scopped_log_init::~scopped_log_init", L"~ScoppedLogInit"}}));

    protection_runs = true;
    run();
    EXPECT_EQ(std::get<2>(lines.at(2)), L"dllprotect status=true");

    // Other accepted installations run in full as well.
    product_folder = L"Valdrin\\Agent\\1.0.0";  // the program folder is the product folder
    EXPECT_EQ(run(), full_run);
    // A 32-bit machine keeps its programs in ProgramFilesDir.
    product_folder = L"Valdrin\\Agent";
    machine.process.architecture = 0;  // x86
    set_program_files(L"ProgramFilesDir", L"C:\\Program Files");
    set_program_files(L"ProgramW6432Dir", L"C:\\Nowhere");
    EXPECT_EQ(run(), full_run);
}

// Each failed check ends the run quietly: the journal is the full run's up to the failed step,
// then the full run's tear-down from the release of the last thing acquired. Outside its own
// folder the run would keep its state, read settings and list files in the caller's: a program
// path beyond the 261-character buffer, or a folder that cannot be entered, stops it before
// anything starts.
TEST(entry, StopsQuietlyAndReleasesWhatWasAcquired) {
    using A = agent&;
    const std::wstring long_path = program_folder + L"\\" + std::wstring(250, L'w') + L".exe";
    const std::string start = "start protection", protection = "stop protection",
                      logging = "log 32", library = "free iservconfig.dll",
                      binding = "release configuration";
    for (const auto& [arrange, last, undo] :
         std::vector<std::tuple<std::function<void(A)>, std::string, std::string>>{
             {[](A a) { a.machine.process.administrator = false; }, start, protection},
             {[](A a) { a.faults.fail_always("is_administrator"); }, start, protection},
             {[](A a) { a.signers.erase(own_path); }, "signer Wardex.exe", protection},
             {[](A a) { a.untrusted.insert(log_dll); }, "verify log.dll", protection},
             {[](A a) { a.signers[log_dll] = L"Other"; }, "signer log.dll", protection},
             {[](A a) { a.faults.fail_always("load"); }, "load log.dll", protection},
             {[](A a) { a.untrusted.insert(config_dll); }, "verify iservconfig.dll", logging},
             {[](A a) { a.signers[config_dll] = L"Other"; }, "signer iservconfig.dll", logging},
             {[](A a) { a.faults.fail("load", 2); }, "load iservconfig.dll", logging},
             {[](A a) { a.bound = false; }, "bind iservconfig.dll", library},
             {[](A a) { a.product_folder = nullptr; }, "property 2", binding},
             {[](A a) { a.product_folder = L""; }, "property 2", binding},
             {[](A a) { a.faults.fail_always("get_string"); }, "property 2", binding},
             {[](A a) { a.product_folder = L"Valdrin\\Other"; }, "property 2", binding},
             {[](A a) { a.product_folder = L"Valdrin"; }, "property 2", binding},  // 2 levels up
             {[](A a) { a.machine.files.faults().fail("set_current_directory", 2); }, "property 2",
              binding},
             {[](A a) { a.machine.files.faults().fail("set_current_directory", 1); }, "", ""},
             {[&](A a) { a.machine.modules.self_path = long_path; }, "", ""},
         }) {
        agent a;
        arrange(a);
        // Entering the program folder is left out: the journal from the first start, if any.
        const auto from_start = [](const std::string& s) {
            return s.empty() ? s : s.substr(s.find("start"));
        };
        const std::string expected =
            last.empty() ? ""
                         : full_run.substr(0, full_run.find(last) + last.size() + 2) +
                               full_run.substr(full_run.rfind(undo));
        EXPECT_EQ(from_start(a.run()), from_start(expected)) << last;
    }
}

TEST_F(entry_test, CommandFailuresAreLoggedInsideTheRun) {
    table[0].action = [] { throw std::runtime_error("repair went wrong"); };
    EXPECT_TRUE(run().ends_with("stop protection; "));
    EXPECT_EQ(lines.at(3), log_line(logging::level_error, L"wWinMain", L"repair went wrong"));

    machine.faults.fail("split_command_line", 2, 5);
    run();
    EXPECT_EQ(lines.at(3), log_line(logging::level_error, L"wWinMain",
                                    L"CommandLineToArgvW failed: Access is denied.\r\n"));
}

TEST(commands, WordsMatchIgnoringCaseAndTheFirstMatchingEntryWins) {
    std::vector<int> ran;
    const app::command_table table = {{L"repair", [&] { ran.push_back(1); }},
                                      {L"REPAIR", [&] { ran.push_back(2); }},
                                      {L"install", nullptr},  // a word without an action
                                      {L"uninstall", [&] { ran.push_back(3); }}};
    for (const wchar_t* word : {L"Repair", L"install", L"uNiNsTaLl", L"", L"repairs"}) {
        app::dispatch(table, {L"Wardex.exe", word, L"more words"});
    }
    app::dispatch(table, {L"Wardex.exe"});
    EXPECT_EQ(ran, (std::vector<int>{1, 3}));
}

TEST(commands, RepairChecksTheAgentWhenNoLocalUpdateTakesOver) {
    fakes::installed_agent agent;
    app::dispatch(app::make_command_table(), {L"Wardex.exe", L"repair"});
    EXPECT_TRUE(agent.log.contains(logging::level_info, L"repair",
                                   L"is running & valid settings, check symlinks"));
}

}  // namespace
