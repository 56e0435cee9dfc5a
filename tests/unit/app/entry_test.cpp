#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>

#include "app/entry.h"
#include "base/facility.h"
#include "base/utf.h"
#include "fakes/fake_error_messages.h"
#include "fakes/fake_file_identity.h"
#include "fakes/fake_modules.h"
#include "fakes/fake_process_context.h"
#include "fakes/fake_registry.h"

namespace {

using events = std::vector<std::string>;

const std::wstring program_folder = L"C:\\Program Files\\Valdrin\\Agent\\1.0.0";
const std::wstring log_dll = program_folder + L"\\log.dll";
const std::wstring config_dll = program_folder + L"\\iservconfig.dll";
const std::wstring current_version = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

std::string narrow(const std::wstring& s) {
    return text::wide_to_utf8(s);
}

std::string file_part(const std::wstring& path) {
    return narrow(path.substr(path.find_last_of(L'\\') + 1));
}

// Forwards to fake_modules and writes each load and free into the journal, so that library
// handles appear in the same order as the other start-up steps.
class recording_modules final : public winapi::modules {
public:
    recording_modules(fakes::fake_modules& inner, events& journal)
        : inner_(inner), journal_(journal) {}

    winapi::hmodule self() override { return inner_.self(); }
    winapi::hmodule get_loaded(const std::wstring& name, std::uint32_t flags,
                               std::uint32_t& error) override {
        return inner_.get_loaded(name, flags, error);
    }
    winapi::hmodule load(const std::wstring& path, std::uint32_t& error) override {
        journal_.push_back("load " + file_part(path));
        const auto h = inner_.load(path, error);
        names_[h] = file_part(path);
        return h;
    }
    winapi::hmodule load_ex(const std::wstring& path, std::uint32_t flags,
                            std::uint32_t& error) override {
        return load(path, error) ? inner_.load_ex(path, flags, error) : 0;
    }
    bool free(winapi::hmodule module) override {
        journal_.push_back("free " + names_[module]);
        return inner_.free(module);
    }
    void* find_export(winapi::hmodule module, const char* name) override {
        return inner_.find_export(module, name);
    }
    std::uint32_t file_name(winapi::hmodule module, std::uint32_t capacity, std::wstring& out,
                            std::uint32_t& error) override {
        return inner_.file_name(module, capacity, out, error);
    }

private:
    fakes::fake_modules& inner_;
    events& journal_;
    std::map<winapi::hmodule, std::string> names_;
};

struct log_line {
    std::int32_t level;
    std::wstring function;
    std::wstring text;
    bool operator==(const log_line&) const = default;
};

class recording_parts final : public app::startup_parts {
public:
    explicit recording_parts(events& journal) : journal_(journal) {}

    bool protection_runs = false;
    std::map<std::wstring, std::wstring> signers;  // lower-case path -> subject
    std::set<std::wstring> untrusted;              // lower-case paths
    std::uint32_t bind_error = 0;
    const wchar_t* product_folder = L"Valdrin\\Agent";
    std::vector<log_line> lines;

    std::vector<std::wstring> at_level(std::int32_t level) const {
        std::vector<std::wstring> out;
        for (const auto& l : lines) {
            if (l.level == level) {
                out.push_back(l.text);
            }
        }
        return out;
    }

    bool start_protection() override {
        journal_.push_back("start protection");
        return protection_runs;
    }
    void stop_protection() override { journal_.push_back("stop protection"); }
    bool verify_signature(const std::wstring& path, std::error_code& ec) override {
        journal_.push_back("verify " + file_part(path));
        ec.clear();
        return untrusted.count(text::to_lower(path)) == 0;
    }
    std::wstring signer_subject(const std::wstring& path, std::error_code& ec) override {
        journal_.push_back("signer " + file_part(path));
        auto it = signers.find(text::to_lower(path));
        if (it == signers.end()) {
            ec = std::make_error_code(std::errc::no_such_file_or_directory);
            return {};
        }
        ec.clear();
        return it->second;
    }
    void start_logging() override { journal_.push_back("start logging"); }
    void stop_logging() override { journal_.push_back("stop logging"); }
    void log(std::int32_t level, const wchar_t* function, const std::wstring& text) override {
        journal_.push_back("log " + std::to_string(level));
        lines.push_back({level, function, text});
    }
    std::uint32_t bind_configuration(const std::wstring& path) override {
        journal_.push_back("bind " + file_part(path));
        return bind_error;
    }
    const wchar_t* configuration_string(int id) override {
        journal_.push_back("property " + std::to_string(id));
        return product_folder;
    }
    void release_configuration() override { journal_.push_back("release configuration"); }

private:
    events& journal_;
};

// A correctly installed, correctly signed agent on 64-bit Windows, run by an administrator.
class entry_test : public ::testing::Test {
public:
    entry_test() {
        modules.add_library(log_dll, {});
        modules.add_library(config_dll, {});
        const std::wstring exe = program_folder + L"\\Wardex.exe";
        for (const auto& path : {exe, log_dll, config_dll}) {
            parts.signers[text::to_lower(path)] = L"Valdrin Software";
        }
        registry.set_string(winapi::hkey_local_machine, current_version, L"ProgramW6432Dir",
                            L"C:\\Program Files");
        registry.set_string(winapi::hkey_local_machine, current_version, L"ProgramFilesDir",
                            L"C:\\Program Files (x86)");
        files.add(L"C:\\Program Files\\Valdrin\\Agent", {7, 100});
        files.add(program_folder, {7, 101});
        table = {{L"repair", [this] { journal.push_back("repair"); }},
                 {L"install", [this] { journal.push_back("install"); }},
                 {L"uninstall", [this] { journal.push_back("uninstall"); }}};
    }

    int run() { return app::run_entry(parts, table); }

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
        return {"start protection",
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

    events journal;
    fakes::fake_modules modules;
    recording_modules recorder{modules, journal};
    fakes::fake_registry registry;
    fakes::fake_process_context process;
    fakes::fake_file_identity files;
    fakes::fake_error_messages messages;
    recording_parts parts{journal};
    app::command_table table;

    winapi::scoped_facility<winapi::modules> use_modules{recorder};
    winapi::scoped_facility<winapi::registry> use_registry{registry};
    winapi::scoped_facility<winapi::process_context> use_process{process};
    winapi::scoped_facility<winapi::file_identity> use_files{files};
    winapi::scoped_facility<winapi::error_messages> use_messages{messages};
};

TEST_F(entry_test, FullRunKeepsTheStartUpOrderAndTearsDownInReverse) {
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(journal, full_run());
    const std::vector<log_line> expected = {
        {32, L"scopped_log_init::scopped_log_init", L"ScoppedLogInit"},
        {16, L"wWinMain", L"cmd line: " + process.line},
        {16, L"wWinMain", L"dllprotect status=false"},
        {32, L"scopped_log_init::~scopped_log_init", L"~ScoppedLogInit"},
    };
    EXPECT_EQ(parts.lines, expected);
    // The folder of the program became the current directory twice: first and before the
    // command.
    const std::vector<std::wstring> folders(2, program_folder + L"\\");
    EXPECT_EQ(process.current_directories, folders);
    EXPECT_EQ(modules.references(log_dll), 0);
    EXPECT_EQ(modules.references(config_dll), 0);
}

TEST_F(entry_test, RunningProtectionIsReported) {
    parts.protection_runs = true;
    EXPECT_EQ(run(), 0);
    ASSERT_EQ(parts.at_level(16).size(), 2u);
    EXPECT_EQ(parts.at_level(16)[1], L"dllprotect status=true");
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
    GetParam().arrange(*this);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(journal, stopped_after(GetParam().last_step, GetParam().last_failed));
    EXPECT_TRUE(parts.at_level(16).empty());
    EXPECT_EQ(modules.references(log_dll), 0);
    EXPECT_EQ(modules.references(config_dll), 0);
}

const auto foreign = [](const std::wstring& path) {
    return [path](entry_test& fx) { fx.parts.signers[text::to_lower(path)] = L"Someone Else"; };
};
const auto distrusted = [](const std::wstring& path) {
    return [path](entry_test& fx) { fx.parts.untrusted.insert(text::to_lower(path)); };
};

const stop_case stop_cases[] = {
    stop_case{"NotAdministrator", [](entry_test& fx) { fx.process.administrator = false; },
              "start protection", false},
    stop_case{"NoModulePath", [](entry_test& fx) { fx.modules.fail_file_name = 5; },
              "start protection", false},
    stop_case{"TruncatedModulePath",
              [](entry_test& fx) {
                  fx.modules.self_path = L"C:\\" + std::wstring(40000, L'a') + L"\\Wardex.exe";
              },
              "start protection", false},
    stop_case{"OwnSignerUnreadable",
              [](entry_test& fx) {
                  fx.parts.signers.erase(text::to_lower(program_folder + L"\\Wardex.exe"));
              },
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
              false}};

INSTANTIATE_TEST_SUITE_P(EachStep, entry_stop_test, ::testing::ValuesIn(stop_cases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(entry_test, ParentOfTheProgramFolderMayBeTheProductFolderItself) {
    // A program folder that is the product folder passes; one two levels down does not.
    parts.product_folder = L"Valdrin\\Agent\\1.0.0";
    run();
    EXPECT_EQ(parts.at_level(16).size(), 2u);

    journal.clear();
    parts.lines.clear();
    parts.product_folder = L"Valdrin";
    files.add(L"C:\\Program Files\\Valdrin", {7, 99});
    run();
    EXPECT_TRUE(parts.at_level(16).empty());
}

TEST_F(entry_test, X86MachinesUseProgramFilesDir) {
    process.architecture = winapi::processor_architecture_intel;
    registry.set_string(winapi::hkey_local_machine, current_version, L"ProgramFilesDir",
                        L"C:\\Program Files");
    registry.set_string(winapi::hkey_local_machine, current_version, L"ProgramW6432Dir",
                        L"C:\\Nowhere");
    run();
    EXPECT_EQ(parts.at_level(16).size(), 2u);
}

TEST_F(entry_test, CommandExceptionIsLoggedAndTheRunEndsNormally) {
    table[0].action = [] { throw std::runtime_error("repair went wrong"); };
    EXPECT_EQ(run(), 0);
    // Logged inside the run, before logging stops.
    ASSERT_EQ(parts.lines.size(), 5u);
    EXPECT_EQ(parts.lines[3], (log_line{4, L"wWinMain", L"repair went wrong"}));
    EXPECT_EQ(journal.back(), "stop protection");
}

TEST_F(entry_test, UnsplittableCommandLineIsLoggedAsASystemError) {
    process.fail_split = 5;
    EXPECT_EQ(run(), 0);
    const std::vector<std::wstring> expected = {
        L"CommandLineToArgvW failed: Access is denied.\r\n"};
    EXPECT_EQ(parts.at_level(4), expected);
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
        journal.clear();
        parts.lines.clear();
        process.line = L"\"C:\\Program Files\\Valdrin\\Agent\\1.0.0\\Wardex.exe\" " + words;
        EXPECT_EQ(run(), 0);
        const bool any = std::count(journal.begin(), journal.end(), "repair") +
                         std::count(journal.begin(), journal.end(), "install") +
                         std::count(journal.begin(), journal.end(), "uninstall");
        EXPECT_EQ(any, !ran.empty()) << narrow(words);
        if (!ran.empty()) {
            EXPECT_EQ(std::count(journal.begin(), journal.end(), ran), 1) << narrow(words);
        }
        // The two lines are written whether or not a command runs.
        EXPECT_EQ(parts.at_level(16).size(), 2u) << narrow(words);
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
