#include "dllprotect/load_hooks.h"

#include <gtest/gtest.h>

#include "dllprotect/engine.h"
#include "fakes/engine_events.h"
#include "logging/dbg_trace/testing.h"
#include "unit/dllprotect/protect_machine.h"

namespace {

using namespace dllprotect;
using strings = std::vector<std::string>;
using wstrings = std::vector<std::wstring>;

constexpr const wchar_t* planted = L"C:\\Users\\Public\\planted.dll";
constexpr const wchar_t* planted_resolved = L"\\\\?\\c:\\users\\public\\planted.dll";

class LoadHooks : public protect_machine {
protected:
    LoadHooks() {
        add_library(L"planted.dll", planted);
        add_library(L"evil.dll", L"C:\\Users\\Public\\evil.dll");
        // A harmless name that resolves to the blacklisted file.
        add_library(L"renamed.dll", L"C:\\Users\\Public\\evil.dll");
        add_library(L"kernel32.dll", L"C:\\windows\\system32\\kernel32.dll");
        machine.interception.modules[0x400000] = L"C:\\Program Files\\Corvel\\Wardex.exe";
        decisions().blacklist = {L"evil.dll"};
        // The events go the engine's way to a host's callback.
        engine().consumer = std::make_unique<EventsCbkDumper>(&fakes::engine_events::record, &sink);
        engine().queue = std::make_unique<events_queue>(*engine().consumer);
        open_hooks();
    }
    ~LoadHooks() override {
        close_hooks();
        engine().queue.reset();
        engine().consumer.reset();
    }

    // Every event raised so far, once the queue has delivered them.
    std::vector<DllProtectInfo> events() {
        engine().queue->stop();
        return sink.events();
    }
    std::uintptr_t load(const std::wstring& name, std::uint32_t options) {
        decisions().options = options;
        return GenericLoadLibrary_Hook(name, nullptr, 0, "LoadLibraryW", 0x401234);
    }

    fakes::engine_events sink;
};

constexpr std::uint32_t report = all_checks;
constexpr std::uint32_t block = (all_checks & ~OPT_REPORT_MODE) | OPT_BLOCK_MODE;
constexpr std::uint32_t neither = all_checks & ~OPT_REPORT_MODE;

// Whether each mode loads a planted library, a blacklisted one (by its path or by a name that
// resolves to it) and one that cannot be found, from where, and the event it raises.
TEST_F(LoadHooks, EachModeDecidesTheLoadAndTheEvent) {
    const struct {
        const wchar_t* name;
        std::uint32_t mode;
        const wchar_t* loaded;  // what the real load was given; nullptr: refused
        const char* reason;     // nullptr: no event
    } cases[] = {
        {L"planted.dll", report, planted_resolved, "VULNERABLE_PATH"},
        {L"planted.dll", neither, planted_resolved, nullptr},
        {L"planted.dll", block, nullptr, nullptr},
        {L"planted.dll", block | OPT_ALWAYS_EVENTS, nullptr, "DLL_BLOCKED"},
        {L"missing.dll", block | OPT_ALWAYS_EVENTS, nullptr, "LOAD_FAILED"},
        {L"renamed.dll", report, nullptr, "DLL_BLOCKED"},
        {L"renamed.dll", block, nullptr, nullptr},
        {L"renamed.dll", neither, nullptr, nullptr},
        {L"C:\\Users\\Public\\EVIL.dll", report, nullptr, "DLL_BLOCKED"},
    };
    wstrings loaded;
    strings reasons;
    for (const auto& c : cases) {
        EXPECT_EQ(load(c.name, c.mode) != 0, c.loaded != nullptr) << c.name << " " << c.mode;
        if (c.loaded != nullptr) {
            loaded.emplace_back(c.loaded);
        }
        if (c.reason != nullptr) {
            reasons.emplace_back(c.reason);
        }
    }
    // A path that cannot be converted is reported but loaded, by the name asked for.
    machine.libraries.direct_open_available = false;
    machine.libraries.devices.clear();
    build_nt_device_table();
    EXPECT_NE(load(L"planted.dll", block | OPT_ALWAYS_EVENTS), 0u);
    loaded.emplace_back(L"planted.dll");
    reasons.emplace_back("GETPATH_FAILED");

    EXPECT_EQ(machine.interception.loads, loaded);
    const auto raised = events();
    ASSERT_EQ(sink.reasons(), reasons);
    EXPECT_EQ(raised[0],
              (DllProtectInfo{"planted.dll", "\\\\?\\C:\\Users\\Public\\planted.dll",
                              "VULNERABLE_PATH", "LoadLibraryW", "0x0", "Wardex.exe", "0x1234",
                              "paths: exe: C:\\Program Files\\Corvel\\ prog: C:\\Program "
                              "Files"}));
    EXPECT_EQ(raised[2].load_path, "UNKNOWN");
}

TEST_F(LoadHooks, TrustedAndMappedLibrariesGoStraightThrough) {
    decisions().options = report;
    machine.interception.loaded.insert(L"planted.dll");
    EXPECT_NE(GenericLoadLibrary_Hook(L"planted.dll", nullptr, 0x8, "LoadLibraryExW", 0x401234),
              0u);
    // The call is traced under the interception's name, its caller resolved for the trace.
    const std::string tag = "GenericLoadLibrary_Hook() - ";
    EXPECT_EQ(traced(trace, {"GenericLoadLibrary_Hook", "resolve_caller"}),
              (strings{"GenericLoadLibrary_Hook -> ", "resolve_caller -> ", "resolve_caller <- ",
                       tag + "GenericLoadLibrary_Hook called with: ", tag + "Filename: planted.dll",
                       tag + "hFile: 0", tag + "Flags: 0x8", tag + "FuncName: LoadLibraryExW",
                       tag + "CallerAddr: 0x401234", tag + "CallerOffset: 0x1234",
                       tag + "CallerName: Wardex.exe", "GenericLoadLibrary_Hook <- "}));
    // An address outside every module keeps its own value as the offset.
    EXPECT_NE(GenericLoadLibrary_Hook(L"C:\\windows\\system32\\kernel32.dll", nullptr, 0,
                                      "LoadLibraryW", 0x9000),
              0u);
    EXPECT_TRUE(trace.contains(tag + "CallerOffset: 0x9000"));
    EXPECT_TRUE(trace.contains(tag + "CallerName: UNKNOWN"));
    EXPECT_EQ(machine.interception.loads,
              (wstrings{L"planted.dll", L"C:\\windows\\system32\\kernel32.dll"}));
    // Neither was even resolved.
    EXPECT_TRUE(machine.libraries.load_flags.empty());
    // An event raised while this thread is raising one (here while its caller is looked up) is
    // dropped.
    decisions().options = report;
    machine.interception.during_lookup = [] {
        TriggerEvent(L"b.dll", 0, "LoadLibraryW", VULNERABLE_PATH, 0, L"b.dll", {}, {});
    };
    TriggerEvent(L"a.dll", 0, "LoadLibraryW", VULNERABLE_PATH, 0x401234, L"a.dll", {}, {});
    machine.interception.during_lookup = [] {};
    const auto raised = events();
    ASSERT_EQ(raised.size(), 1u);
    EXPECT_EQ(raised[0].request_path, "a.dll");
    EXPECT_EQ(
        traced(trace, {"TriggerEvent ->", "TriggerEvent <-"}),
        (strings{"TriggerEvent -> ", "TriggerEvent -> ", "TriggerEvent <- ", "TriggerEvent <- "}));
}

TEST_F(LoadHooks, ARecursiveLoadIsReportedOnceAndProceeds) {
    // The library loads itself by name while it is being loaded.
    machine.interception.during_load[planted_resolved] = [this] {
        EXPECT_NE(GenericLoadLibrary_Hook(L"planted.dll", nullptr, 0, "LoadLibraryA", 0), 0u);
    };
    EXPECT_NE(load(L"planted.dll", report), 0u);
    EXPECT_EQ(machine.interception.loads, (wstrings{planted_resolved, L"planted.dll"}));
    const auto raised = events();
    ASSERT_EQ(sink.reasons(), (strings{"VULNERABLE_PATH", "RECURSIVE_DLL_LOAD_LOADLIBRARY"}));
    EXPECT_EQ(raised[1].error_info.rfind("loaded dlls: ", 0), 0u);
    EXPECT_NE(raised[1].error_info.find("planted.dll,"), std::string::npos);
}

TEST(LoadFlags, OnlyOrdinaryExLoadsAreChecked) {
    for (const std::uint32_t flags : {0x0u, 0x8u, 0x808u}) {
        EXPECT_TRUE(is_checked_ex_load(flags)) << flags;
    }
    for (const std::uint32_t flags : {0x2u, 0x48u, 0x800u}) {
        EXPECT_FALSE(is_checked_ex_load(flags)) << flags;
    }
}

TEST_F(LoadHooks, SectionsOfUncheckedLibraries) {
    decisions().options = report;
    EXPECT_TRUE(NtCreateSection_allows(planted));
    decisions().options = block | OPT_ALWAYS_EVENTS;
    EXPECT_FALSE(NtCreateSection_allows(planted));
    EXPECT_FALSE(NtCreateSection_allows(L"C:\\Users\\Public\\evil.dll"));
    EXPECT_TRUE(NtCreateSection_allows(L"C:\\windows\\system32\\kernel32.dll"));
    // A signature check in progress answers for the library, in block mode too.
    winverifytrust_depth = 1;
    EXPECT_TRUE(NtCreateSection_allows(planted));
    winverifytrust_depth = 0;
    // A library the LoadLibrary interceptions are loading was checked there.
    loading_set().insert(L"c:\\users\\public\\planted.dll");
    EXPECT_TRUE(NtCreateSection_allows(L"\\\\?\\C:\\Users\\Public\\planted.dll"));
    loading_set().clear();
    // Re-entered for the same path: reported, let through.
    decisions().options = report;
    machine.trust.files.clear();
    section_set().insert(L"c:\\users\\public\\planted.dll");
    EXPECT_TRUE(NtCreateSection_allows(planted));
    section_set().clear();
    const auto raised = events();
    ASSERT_EQ(sink.reasons(),
              (strings{"VULNERABLE_PATH_NTCREATE_SECTION", "DLL_BLOCKED", "IN_WINVERIFYTRUST_CALL",
                       "RECURSIVE_DLL_LOAD_NTCREATESECTION"}));
    EXPECT_EQ(raised[0], (DllProtectInfo{"c:\\users\\public\\planted.dll", "",
                                         "VULNERABLE_PATH_NTCREATE_SECTION", "NtCreateSection",
                                         "0x0", "", "", "dll is unsigned"}));
    EXPECT_EQ(raised[3].error_info,
              "loaded dlls: c:\\users\\public\\planted.dll,;  user: Users permissions:0x2 ;");
    // The decisions trace under the section interception's name.
    EXPECT_TRUE(
        trace.contains("NtCreateSection_Hook() - dos path is c:\\users\\public\\planted.dll"));
    EXPECT_EQ(traced(trace, {"loadlibrary hook", "winverify"}),
              (strings{"NtCreateSection_Hook() - in winverify trust value 1",
                       "NtCreateSection_Hook() - dos path was in loadlibrary hook"}));
}

}  // namespace
