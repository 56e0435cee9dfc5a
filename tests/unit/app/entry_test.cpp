#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>

#include "app/entry.h"
#include "fakes/fake_error_messages.h"
#include "fakes/fake_file_identity.h"
#include "fakes/fake_file_system.h"
#include "fakes/fake_modules.h"
#include "fakes/fake_process_context.h"
#include "fakes/fake_registry.h"
#include "stdext/utf.h"
#include "winapi/facility.h"
#include "winapi/win_error_category.h"

namespace {

using events = std::vector<std::string>;

const std::wstring program_folder = L"C:\\Program Files\\Valdrin\\Agent\\1.0.0";
const std::wstring log_dll = program_folder + L"\\log.dll";
const std::wstring config_dll = program_folder + L"\\iservconfig.dll";
const std::wstring current_version = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
const std::string enter_folder = "cd C:\\program files\\valdrin\\agent\\1.0.0";

std::string file_part(const std::wstring& path) {
    return stdext::wide_to_utf8(path.substr(path.find_last_of(L'\\') + 1));
}

// Every step of a run in order. A change of the current directory shows as "cd <folder>" before
// the step that follows it.
struct journal {
    explicit journal(fakes::fake_file_system& files) : disk(files) {}

    fakes::fake_file_system& disk;
    std::wstring seen_folder;
    events steps;

    void operator()(const std::string& step) {
        if (disk.current != seen_folder) {
            seen_folder = disk.current;
            steps.push_back("cd " + stdext::wide_to_utf8(seen_folder));
        }
        steps.push_back(step);
    }
};

class recording_modules final : public fakes::fake_modules {
public:
    explicit recording_modules(journal& note) : note_(note) {}

    winapi::hmodule load(const std::wstring& path, std::uint32_t& error) override {
        note_("load " + file_part(path));
        return fake_modules::load(path, error);
    }
    bool free(winapi::hmodule module) override {
        std::wstring path;
        std::uint32_t error = 0;
        file_name(module, 1000, path, error);
        note_("free " + file_part(path));
        return fake_modules::free(module);
    }

private:
    journal& note_;
};

struct log_line {
    std::int32_t level;
    std::wstring function;
    std::wstring text;
    bool operator==(const log_line&) const = default;
};

class recording_parts final : public app::startup_parts {
public:
    explicit recording_parts(journal& note) : note_(note) {}

    bool protection_runs = false;
    std::map<std::wstring, std::wstring> signers;  // path -> subject
    std::set<std::wstring> untrusted;
    std::uint32_t bind_error = 0;
    const wchar_t* product_folder = L"Valdrin\\Agent";
    std::vector<log_line> lines;

    bool start_protection() override {
        note_("start protection");
        return protection_runs;
    }
    void stop_protection() override { note_("stop protection"); }
    stdext::expected<bool> verify_signature(const std::wstring& path) override {
        note_("verify " + file_part(path));
        return untrusted.count(path) == 0;
    }
    stdext::expected<std::wstring> signer_subject(const std::wstring& path) override {
        note_("signer " + file_part(path));
        auto it = signers.find(path);
        if (it == signers.end()) {
            return stdext::unexpected(winapi::win_failure(2, "CryptQueryObject"));
        }
        return it->second;
    }
    void start_logging() override { note_("start logging"); }
    void stop_logging() override { note_("stop logging"); }
    void log(std::int32_t level, const wchar_t* function, const std::wstring& text) override {
        note_("log " + std::to_string(level));
        lines.push_back({level, function, text});
    }
    std::uint32_t bind_configuration(const std::wstring& path) override {
        note_("bind " + file_part(path));
        // The product's library moves the current directory away, as libraries may.
        note_.disk.current = note_.seen_folder = L"C:\\Windows";
        return bind_error;
    }
    const wchar_t* configuration_string(int id) override {
        note_("property " + std::to_string(id));
        return product_folder;
    }
    void release_configuration() override { note_("release configuration"); }

private:
    journal& note_;
};

// A correctly installed, correctly signed agent on 64-bit Windows, run by an administrator from
// the scheduled task's folder.
class entry_test : public ::testing::Test {
public:
    entry_test() {
        modules.add_library(log_dll, {});
        modules.add_library(config_dll, {});
        for (const auto& path : {program_folder + L"\\Wardex.exe", log_dll, config_dll}) {
            parts.signers[path] = L"Valdrin Software";
        }
        registry.set_string(winapi::hkey_local_machine, current_version, L"ProgramW6432Dir",
                            L"C:\\Program Files");
        registry.set_string(winapi::hkey_local_machine, current_version, L"ProgramFilesDir",
                            L"C:\\Program Files (x86)");
        files.add(L"C:\\Program Files\\Valdrin\\Agent", {7, 100});
        files.add(program_folder, {7, 101});
        for (const wchar_t* word : {L"repair", L"install", L"uninstall"}) {
            table.push_back({word, [this, word] { note(stdext::wide_to_utf8(word)); }});
        }
    }

    const events& run() {
        note.steps.clear();
        disk.current = note.seen_folder = L"C:\\Windows\\System32";
        parts.lines.clear();
        EXPECT_EQ(app::run_entry(parts, table), 0);
        return note.steps;
    }

    // What a run that stops at `last` must look like: the full run's steps up to and including
    // `last`, then the release of everything acquired, in reverse order. A failed `last` step
    // acquired nothing.
    static events stopped_after(const std::string& last, bool last_failed) {
        static const std::map<std::string, events> releases = {
            {"start protection", {"stop protection"}},
            {"load log.dll", {"free log.dll"}},
            {"start logging", {"log 32", "stop logging"}},
            {"load iservconfig.dll", {"free iservconfig.dll"}},
            {"bind iservconfig.dll", {"release configuration"}},
        };
        events out;
        events undo;
        for (const auto& step : full_run()) {
            out.push_back(step);
            if (step == last && last_failed) {
                break;
            }
            if (auto it = releases.find(step); it != releases.end()) {
                undo.insert(undo.begin(), it->second.begin(), it->second.end());
            }
            if (step == last) {
                break;
            }
        }
        out.insert(out.end(), undo.begin(), undo.end());
        return out;
    }

    static events full_run() {
        return {enter_folder,
                "start protection",
                "signer Wardex.exe",
                "verify log.dll",
                "signer log.dll",
                "load log.dll",
                "start logging",
                "log 32",
                "verify iservconfig.dll",
                "signer iservconfig.dll",
                "load iservconfig.dll",
                "bind iservconfig.dll",
                "property 2",
                enter_folder,
                "log 16",
                "log 16",
                "repair",
                "release configuration",
                "free iservconfig.dll",
                "log 32",
                "stop logging",
                "free log.dll",
                "stop protection"};
    }

    fakes::fake_file_system disk;
    journal note{disk};
    recording_modules modules{note};
    fakes::fake_registry registry;
    fakes::fake_process_context process;
    fakes::fake_file_identity files;
    fakes::fake_error_messages messages;
    recording_parts parts{note};
    app::command_table table;

    winapi::scoped_facility<winapi::file_system> use_disk{disk};
    winapi::scoped_facility<winapi::modules> use_modules{modules};
    winapi::scoped_facility<winapi::registry> use_registry{registry};
    winapi::scoped_facility<winapi::process_context> use_process{process};
    winapi::scoped_facility<winapi::file_identity> use_files{files};
    winapi::scoped_facility<winapi::error_messages> use_messages{messages};
};

TEST_F(entry_test, FullRunKeepsTheStartUpOrderAndTearsDownInReverse) {
    EXPECT_EQ(run(), full_run());
    const std::vector<log_line> expected = {
        {32, L"scopped_log_init::scopped_log_init", L"ScoppedLogInit"},
        {16, L"wWinMain", L"cmd line: " + process.line},
        {16, L"wWinMain", L"dllprotect status=false"},
        {32, L"scopped_log_init::~scopped_log_init", L"~ScoppedLogInit"},
    };
    EXPECT_EQ(parts.lines, expected);

    parts.protection_runs = true;
    run();
    EXPECT_EQ(parts.lines.at(2).text, L"dllprotect status=true");
}

TEST_F(entry_test, AcceptedInstallations) {
    // The program folder may be the product folder itself.
    parts.product_folder = L"Valdrin\\Agent\\1.0.0";
    EXPECT_EQ(run(), full_run());

    // A 32-bit machine keeps its programs in ProgramFilesDir.
    parts.product_folder = L"Valdrin\\Agent";
    process.architecture = winapi::processor_architecture_intel;
    registry.set_string(winapi::hkey_local_machine, current_version, L"ProgramFilesDir",
                        L"C:\\Program Files");
    registry.set_string(winapi::hkey_local_machine, current_version, L"ProgramW6432Dir",
                        L"C:\\Nowhere");
    EXPECT_EQ(run(), full_run());
}

struct stop_case {
    const char* name;
    std::function<void(entry_test&)> arrange;
    std::string last_step;  // the last step the journal shows
    bool last_failed;       // whether that step is the one that failed
};

void PrintTo(const stop_case& c, std::ostream* os) {
    *os << c.name;
}

class entry_stop_test : public entry_test, public ::testing::WithParamInterface<stop_case> {};

TEST_P(entry_stop_test, StopsQuietlyAndReleasesWhatWasAcquired) {
    // The folder change is the full run's concern; without a module path there is none.
    const auto without_folder = [](events e) {
        std::erase_if(e, [](const std::string& s) { return s == enter_folder; });
        return e;
    };
    GetParam().arrange(*this);
    EXPECT_EQ(without_folder(run()),
              without_folder(stopped_after(GetParam().last_step, GetParam().last_failed)));
}

const auto foreign = [](const std::wstring& path) {
    return [path](entry_test& fx) { fx.parts.signers[path] = L"Someone Else"; };
};
const auto distrusted = [](const std::wstring& path) {
    return [path](entry_test& fx) { fx.parts.untrusted.insert(path); };
};

const stop_case stop_cases[] = {
    stop_case{"NotAdministrator", [](entry_test& fx) { fx.process.administrator = false; },
              "start protection", false},
    stop_case{"NoModulePath", [](entry_test& fx) { fx.modules.fail_file_name = 5; },
              "start protection", false},
    stop_case{"TruncatedModulePath",
              [](entry_test& fx) {
                  fx.modules.self_path = program_folder + L"\\" + std::wstring(40000, L'a');
              },
              "start protection", false},
    stop_case{"OwnSignerUnreadable",
              [](entry_test& fx) { fx.parts.signers.erase(program_folder + L"\\Wardex.exe"); },
              "signer Wardex.exe", true},
    stop_case{"LogLibraryNotTrusted", distrusted(log_dll), "verify log.dll", true},
    stop_case{"LogLibraryForeignSigner", foreign(log_dll), "signer log.dll", true},
    stop_case{"LogLibraryDoesNotLoad", [](entry_test& fx) { fx.modules.fail_load = 193; },
              "load log.dll", true},
    stop_case{"ConfigLibraryNotTrusted", distrusted(config_dll), "verify iservconfig.dll", true},
    stop_case{"ConfigLibraryForeignSigner", foreign(config_dll), "signer iservconfig.dll", true},
    stop_case{"ConfigLibraryDoesNotLoad",
              [](entry_test& fx) { fx.modules.remove_library(config_dll); }, "load iservconfig.dll",
              true},
    stop_case{"ConfigurationNotBound", [](entry_test& fx) { fx.parts.bind_error = 126; },
              "bind iservconfig.dll", true},
    stop_case{"NoProductFolder", [](entry_test& fx) { fx.parts.product_folder = nullptr; },
              "property 2", false},
    stop_case{"NoProgramFilesValue", [](entry_test& fx) { fx.registry.fail_get = 2; }, "property 2",
              false},
    stop_case{"CopyOutsideTheProductFolder",
              [](entry_test& fx) { fx.parts.product_folder = L"Valdrin\\Other"; }, "property 2",
              false},
    stop_case{"CopyTwoLevelsBelowTheProductFolder",
              [](entry_test& fx) {
                  fx.parts.product_folder = L"Valdrin";
                  fx.files.add(L"C:\\Program Files\\Valdrin", {7, 99});
              },
              "property 2", false}};

INSTANTIATE_TEST_SUITE_P(EachStep, entry_stop_test, ::testing::ValuesIn(stop_cases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(entry_test, CommandFailuresAreLoggedInsideTheRun) {
    table[0].action = [] { throw std::runtime_error("repair went wrong"); };
    run();
    EXPECT_EQ(parts.lines.at(3), (log_line{4, L"wWinMain", L"repair went wrong"}));
    EXPECT_EQ(note.steps.back(), "stop protection");

    process.fail_split = 5;
    run();
    EXPECT_EQ(parts.lines.at(3),
              (log_line{4, L"wWinMain", L"CommandLineToArgvW failed: Access is denied.\r\n"}));
}

TEST_F(entry_test, WordsMatchIgnoringCaseAndNothingElseRuns) {
    const std::vector<std::pair<std::wstring, std::string>> cases = {
        {L"REPAIR", "repair"},
        {L"Install extra words", "install"},
        {L"uNiNsTaLl", "uninstall"},
        {L"", ""},
        {L"repairs", ""},
        {L"help", ""},
    };
    for (const auto& [words, ran] : cases) {
        // The same run, with the named command or none in the place of "repair".
        events expected = full_run();
        const auto at = std::find(expected.begin(), expected.end(), "repair");
        if (ran.empty()) {
            expected.erase(at);
        } else {
            *at = ran;
        }
        process.line = L"\"" + program_folder + L"\\Wardex.exe\" " + words;
        EXPECT_EQ(run(), expected) << stdext::wide_to_utf8(words);
    }
}

TEST(commands, FirstMatchingEntryWins) {
    std::vector<int> ran;
    const app::command_table table = {{L"repair", [&] { ran.push_back(1); }},
                                      {L"REPAIR", [&] { ran.push_back(2); }},
                                      {L"install", nullptr}};
    app::dispatch(table, {L"Wardex.exe", L"Repair"});
    app::dispatch(table, {L"Wardex.exe", L"install"});  // a word without an action
    app::dispatch(table, {L"Wardex.exe"});
    EXPECT_EQ(ran, std::vector<int>{1});
}

TEST(paths, FolderRulesOfTheShell) {
    EXPECT_EQ(app::remove_file_spec(L"C:\\a\\b\\Wardex.exe"), L"C:\\a\\b");
    EXPECT_EQ(app::remove_file_spec(L"C:\\Wardex.exe"), L"C:\\");
    EXPECT_EQ(app::remove_file_spec(L"\\Wardex.exe"), L"\\");
    EXPECT_EQ(app::remove_file_spec(L"Wardex.exe"), L"");
    EXPECT_EQ(app::add_backslash(L"C:\\a"), L"C:\\a\\");
    EXPECT_EQ(app::add_backslash(L"C:\\"), L"C:\\");
}

}  // namespace
