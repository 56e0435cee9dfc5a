#include "app/entry.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <stdexcept>

#include "fakes/fake_machine.h"
#include "stdext/path.h"
#include "stdext/utf.h"

namespace {

using events = std::vector<std::string>;

const std::wstring program_folder = L"C:\\Program Files\\Valdrin\\Agent\\1.0.0";
const std::wstring own_path = program_folder + L"\\Wardex.exe";
const std::wstring log_dll = program_folder + L"\\log.dll";
const std::wstring config_dll = program_folder + L"\\iservconfig.dll";
const std::string enter_folder = "cd C:\\program files\\valdrin\\agent\\1.0.0";

std::string name_of(const std::wstring& path) {
    return stdext::wide_to_utf8(stdext::path::file_name(path));
}

struct log_line {
    std::int32_t level;
    std::wstring function;
    std::wstring text;
    bool operator==(const log_line&) const = default;
};

// A correctly installed, correctly signed agent on 64-bit Windows, run by an administrator. The
// fixture is also the run's start-up parts: it journals their calls and the library loads in
// order, with a change of the current directory as "cd <folder>" before the step after it.
class entry_test : public fakes::machine_test, public app::startup_parts {
public:
    using fakes::machine_test::machine;

    entry_test() {
        machine.modules.add_library(log_dll, {});
        machine.modules.add_library(config_dll, {});
        machine.modules.watch = [this](const char* what, const std::wstring& path) {
            note(what + (" " + name_of(path)));
        };
        for (const auto& path : {own_path, log_dll, config_dll}) {
            signers[path] = L"Valdrin Software";
        }
        set_program_files(L"ProgramW6432Dir", L"C:\\Program Files");
        set_program_files(L"ProgramFilesDir", L"C:\\Program Files (x86)");
        machine.identities.add(L"C:\\Program Files\\Valdrin\\Agent", {7, 100});
        machine.identities.add(program_folder, {7, 101});
        for (const wchar_t* word : {L"repair", L"install", L"uninstall"}) {
            table.push_back({word, [this, word] { note(stdext::wide_to_utf8(word)); }});
        }
    }

    void set_program_files(const wchar_t* name, const wchar_t* folder) {
        machine.registry.set_string(winapi::hkey_local_machine,
                                    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", name, folder);
    }

    const events& run() {
        steps.clear();
        lines.clear();
        machine.files.current = seen_folder = L"C:\\Windows\\System32";
        EXPECT_EQ(app::run_entry(*this, table), 0);
        return steps;
    }

    // The full run's steps up to `last`, then the release of what was acquired, in reverse
    // order. A failed `last` step acquired nothing.
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

    void note(const std::string& step) {
        if (machine.files.current != seen_folder) {
            seen_folder = machine.files.current;
            steps.push_back("cd " + stdext::wide_to_utf8(seen_folder));
        }
        steps.push_back(step);
    }

    bool start_protection() override {
        note("start protection");
        return protection_runs;
    }
    void stop_protection() override { note("stop protection"); }
    stdext::expected<bool> verify_signature(const std::wstring& path) override {
        note("verify " + name_of(path));
        return untrusted.count(path) == 0;
    }
    stdext::expected<std::wstring> signer_subject(const std::wstring& path) override {
        note("signer " + name_of(path));
        if (signers.count(path) == 0) {
            return stdext::unexpected(winapi::win_failure(2, "CryptQueryObject"));
        }
        return signers.at(path);
    }
    void start_logging() override { note("start logging"); }
    void stop_logging() override { note("stop logging"); }
    void log(std::int32_t level, const wchar_t* function, const std::wstring& text) override {
        note("log " + std::to_string(level));
        lines.push_back({level, function, text});
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

    bool protection_runs = false;
    std::map<std::wstring, std::wstring> signers;  // path -> subject
    std::set<std::wstring> untrusted;
    bool bound = true;
    const wchar_t* product_folder = L"Valdrin\\Agent";
    std::vector<log_line> lines;
    app::command_table table;
    std::wstring seen_folder;
    events steps;
};

TEST_F(entry_test, FullRunKeepsTheStartUpOrderAndTearsDownInReverse) {
    EXPECT_EQ(run(), full_run());
    const std::vector<log_line> expected = {
        {32, L"scopped_log_init::scopped_log_init", L"ScoppedLogInit"},
        {16, L"wWinMain", L"cmd line: " + machine.process.line},
        {16, L"wWinMain", L"dllprotect status=false"},
        {32, L"scopped_log_init::~scopped_log_init", L"~ScoppedLogInit"},
    };
    EXPECT_EQ(lines, expected);

    protection_runs = true;
    run();
    EXPECT_EQ(lines.at(2).text, L"dllprotect status=true");
}

TEST_F(entry_test, AcceptedInstallations) {
    product_folder = L"Valdrin\\Agent\\1.0.0";  // the program folder is the product folder
    EXPECT_EQ(run(), full_run());
    // A 32-bit machine keeps its programs in ProgramFilesDir.
    product_folder = L"Valdrin\\Agent";
    machine.process.architecture = winapi::processor_architecture_intel;
    set_program_files(L"ProgramFilesDir", L"C:\\Program Files");
    set_program_files(L"ProgramW6432Dir", L"C:\\Nowhere");
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
    // Folder changes are the full run's concern; without a module path there are none.
    const auto without_folder = [](events e) {
        std::erase(e, enter_folder);
        return e;
    };
    GetParam().arrange(*this);
    EXPECT_EQ(without_folder(run()),
              without_folder(stopped_after(GetParam().last_step, GetParam().last_failed)));
}

const auto fail_always = [](const char* operation) {
    return [operation](entry_test& fx) { fx.machine.faults.fail_always(operation, 5); };
};
const auto foreign = [](const std::wstring& path) {
    return [path](entry_test& fx) { fx.signers[path] = L"Someone Else"; };
};
const auto distrusted = [](const std::wstring& path) {
    return [path](entry_test& fx) { fx.untrusted.insert(path); };
};
const auto product_folder = [](const wchar_t* folder) {
    return [folder](entry_test& fx) { fx.product_folder = folder; };
};

INSTANTIATE_TEST_SUITE_P(
    EachStep, entry_stop_test,
    ::testing::Values(
        stop_case{"NotAdministrator",
                  [](entry_test& fx) { fx.machine.process.administrator = false; },
                  "start protection", false},
        stop_case{"MembershipTestFails", fail_always("is_administrator"), "start protection",
                  false},
        stop_case{"NoModulePath", fail_always("file_name"), "start protection", false},
        stop_case{"TruncatedModulePath",
                  [](entry_test& fx) {
                      fx.machine.modules.self_path =
                          program_folder + L"\\" + std::wstring(40000, L'a');
                  },
                  "start protection", false},
        stop_case{"OwnSignerUnreadable", [](entry_test& fx) { fx.signers.erase(own_path); },
                  "signer Wardex.exe", true},
        stop_case{"LogLibraryNotTrusted", distrusted(log_dll), "verify log.dll", true},
        stop_case{"LogLibraryForeignSigner", foreign(log_dll), "signer log.dll", true},
        stop_case{"LogLibraryDoesNotLoad", fail_always("load"), "load log.dll", true},
        stop_case{"ConfigLibraryNotTrusted", distrusted(config_dll), "verify iservconfig.dll",
                  true},
        stop_case{"ConfigLibraryForeignSigner", foreign(config_dll), "signer iservconfig.dll",
                  true},
        stop_case{"ConfigLibraryDoesNotLoad",
                  [](entry_test& fx) { fx.machine.modules.remove_library(config_dll); },
                  "load iservconfig.dll", true},
        stop_case{"ConfigurationNotBound", [](entry_test& fx) { fx.bound = false; },
                  "bind iservconfig.dll", true},
        stop_case{"NoProductFolder", product_folder(nullptr), "property 2", false},
        stop_case{"EmptyProductFolder", product_folder(L""), "property 2", false},
        stop_case{"NoProgramFilesValue", fail_always("get_string"), "property 2", false},
        stop_case{"CopyOutsideTheProductFolder", product_folder(L"Valdrin\\Other"), "property 2",
                  false},
        stop_case{"CopyTwoLevelsBelowTheProductFolder",
                  [](entry_test& fx) {
                      fx.product_folder = L"Valdrin";
                      fx.machine.identities.add(L"C:\\Program Files\\Valdrin", {7, 99});
                  },
                  "property 2", false}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(entry_test, CommandFailuresAreLoggedInsideTheRun) {
    table[0].action = [] { throw std::runtime_error("repair went wrong"); };
    run();
    EXPECT_EQ(lines.at(3), (log_line{4, L"wWinMain", L"repair went wrong"}));
    EXPECT_EQ(steps.back(), "stop protection");

    machine.faults.fail("split_command_line", 2, 5);
    run();
    EXPECT_EQ(lines.at(3),
              (log_line{4, L"wWinMain", L"CommandLineToArgvW failed: Access is denied.\r\n"}));
}

TEST_F(entry_test, WordsMatchIgnoringCaseAndNothingElseRuns) {
    for (const auto& [words, ran] : std::vector<std::pair<std::wstring, std::string>>{
             {L"REPAIR", "repair"},
             {L"Install extra words", "install"},
             {L"uNiNsTaLl", "uninstall"},
             {L"", ""},
             {L"repairs", ""},
         }) {
        // The same run, with the named command or none in the place of "repair".
        events expected = full_run();
        const auto at = std::find(expected.begin(), expected.end(), "repair");
        if (ran.empty()) {
            expected.erase(at);
        } else {
            *at = ran;
        }
        machine.process.line = L"\"" + own_path + L"\" " + words;
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

}  // namespace
