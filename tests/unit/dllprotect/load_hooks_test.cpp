#include "dllprotect/load_hooks.h"

#include <gtest/gtest.h>

#include <mutex>

#include "dllprotect/engine.h"
#include "logging/dbg_trace/testing.h"
#include "unit/dllprotect/protect_machine.h"

namespace {

using namespace dllprotect;

// Collects the events the interceptions raise through a queue like the engine's.
class collector final : public EventsConsumerBase {
public:
    void consume(DllProtectInfo& info) override {
        const std::lock_guard lock(mutex);
        events.push_back(info);
    }
    std::mutex mutex;
    std::vector<DllProtectInfo> events;
};

constexpr const wchar_t* planted = L"C:\\Users\\Public\\planted.dll";
constexpr const wchar_t* planted_resolved = L"\\\\?\\c:\\users\\public\\planted.dll";

class LoadHooks : public protect_machine {
protected:
    LoadHooks() {
        add_library(L"planted.dll", planted);
        add_library(L"evil.dll", L"C:\\Users\\Public\\evil.dll");
        add_library(L"kernel32.dll", L"C:\\windows\\system32\\kernel32.dll");
        machine.interception.modules[0x400000] = L"C:\\Program Files\\Corvel\\Wardex.exe";
        decisions().blacklist = {L"evil.dll"};
        engine().queue = std::make_unique<events_queue>(sink);
        open_hooks();
    }
    ~LoadHooks() override {
        close_hooks();
        engine().queue.reset();
    }

    // Every event raised so far, once the queue has delivered them.
    const std::vector<DllProtectInfo>& events() {
        engine().queue->stop();
        return sink.events;
    }
    std::uintptr_t load(const std::wstring& name, std::uint32_t options) {
        decisions().options = options;
        return GenericLoadLibrary_Hook(name, nullptr, 0, "LoadLibraryW", 0x401234);
    }

    collector sink;
};

constexpr std::uint32_t report = all_checks;
constexpr std::uint32_t block = (all_checks & ~OPT_REPORT_MODE) | OPT_BLOCK_MODE;
constexpr std::uint32_t neither = all_checks & ~OPT_REPORT_MODE;

TEST_F(LoadHooks, ReportModeReportsAndLoadsFromTheResolvedPath) {
    EXPECT_NE(load(L"planted.dll", report), 0u);
    ASSERT_EQ(machine.interception.loads.size(), 1u);
    EXPECT_EQ(machine.interception.loads[0].name, planted_resolved);
    const auto& raised = events();
    ASSERT_EQ(raised.size(), 1u);
    EXPECT_EQ(raised[0],
              (DllProtectInfo{"planted.dll", "\\\\?\\C:\\Users\\Public\\planted.dll",
                              "VULNERABLE_PATH", "LoadLibraryW", "0x0", "Wardex.exe", "0x1234",
                              "paths: exe: C:\\Program Files\\Corvel\\ prog: C:\\Program "
                              "Files"}));
}

TEST_F(LoadHooks, BlockModeRefusesAndReportsOnlyWhenAskedTo) {
    EXPECT_EQ(load(L"planted.dll", block), 0u);
    EXPECT_EQ(load(L"planted.dll", block | OPT_ALWAYS_EVENTS), 0u);
    EXPECT_TRUE(machine.interception.loads.empty());
    // A library that cannot be resolved is refused too; one whose path cannot be converted is
    // reported but loaded.
    EXPECT_EQ(load(L"missing.dll", block | OPT_ALWAYS_EVENTS), 0u);
    machine.libraries.direct_open_available = false;
    machine.libraries.devices.clear();
    build_nt_device_table();
    EXPECT_NE(load(L"planted.dll", block | OPT_ALWAYS_EVENTS), 0u);
    const auto& raised = events();
    ASSERT_EQ(raised.size(), 3u);
    EXPECT_EQ(raised[0].reason, "DLL_BLOCKED");
    EXPECT_EQ(raised[1].reason, "LOAD_FAILED");
    EXPECT_EQ(raised[1].load_path, "UNKNOWN");
    EXPECT_EQ(raised[2].reason, "GETPATH_FAILED");
    EXPECT_EQ(machine.interception.loads.back().name, L"planted.dll");
}

TEST_F(LoadHooks, BlacklistedLibrariesAreRefusedInEveryMode) {
    for (const std::uint32_t mode : {report, block, neither}) {
        EXPECT_EQ(load(L"evil.dll", mode), 0u) << mode;
        // Also when a trusted folder holds it under its resolved path.
        EXPECT_EQ(load(L"C:\\Users\\Public\\EVIL.dll", mode), 0u) << mode;
    }
    EXPECT_TRUE(machine.interception.loads.empty());
    // Events only where the mode raises them: report mode, twice.
    EXPECT_EQ(events().size(), 2u);
}

TEST_F(LoadHooks, NeitherModeLoadsSilently) {
    EXPECT_NE(load(L"planted.dll", neither), 0u);
    EXPECT_TRUE(events().empty());
}

TEST_F(LoadHooks, TrustedAndMappedLibrariesGoStraightThrough) {
    machine.interception.loaded.insert(L"planted.dll");
    EXPECT_NE(load(L"planted.dll", report), 0u);
    EXPECT_NE(load(L"C:\\windows\\system32\\kernel32.dll", report), 0u);
    EXPECT_EQ(machine.interception.loads[0].name, L"planted.dll");
    EXPECT_EQ(machine.interception.loads[1].name, L"C:\\windows\\system32\\kernel32.dll");
    // Neither was even resolved.
    EXPECT_TRUE(machine.libraries.load_flags.empty());
    EXPECT_TRUE(events().empty());
}

TEST_F(LoadHooks, ARecursiveLoadIsReportedOnceAndProceeds) {
    // The library loads itself by name while it is being loaded.
    machine.interception.during_load[planted_resolved] = [this] {
        EXPECT_NE(GenericLoadLibrary_Hook(L"planted.dll", nullptr, 0, "LoadLibraryA", 0), 0u);
    };
    EXPECT_NE(load(L"planted.dll", report), 0u);
    ASSERT_EQ(machine.interception.loads.size(), 2u);
    EXPECT_EQ(machine.interception.loads[1].name, L"planted.dll");
    const auto& raised = events();
    ASSERT_EQ(raised.size(), 2u);
    EXPECT_EQ(raised[0].reason, "VULNERABLE_PATH");
    EXPECT_EQ(raised[1].reason, "RECURSIVE_DLL_LOAD_LOADLIBRARY");
    EXPECT_EQ(raised[1].error_info.rfind("loaded dlls: ", 0), 0u);
    EXPECT_NE(raised[1].error_info.find("planted.dll,"), std::string::npos);
    // The guards left nothing behind.
    EXPECT_TRUE(loading_set().empty());
}

TEST_F(LoadHooks, ANestedSignatureCheckIsNotStartedAgain) {
    winverifytrust_depth = 1;
    EXPECT_NE(load(L"planted.dll", report), 0u);
    EXPECT_EQ(machine.trust.stateful_verifications, 0);
    EXPECT_EQ(events().at(0).reason, "IN_WINVERIFYTRUST_CALL");
}

TEST_F(LoadHooks, OnlyOrdinaryExLoadsAreChecked) {
    EXPECT_TRUE(is_checked_ex_load(0));
    EXPECT_TRUE(is_checked_ex_load(0x8));
    EXPECT_TRUE(is_checked_ex_load(0x800 | 0x8));
    EXPECT_FALSE(is_checked_ex_load(0x2));
    EXPECT_FALSE(is_checked_ex_load(0x40 | 0x8));
    EXPECT_FALSE(is_checked_ex_load(0x800));
}

TEST_F(LoadHooks, SectionsOfUncheckedLibraries) {
    decisions().options = report;
    EXPECT_TRUE(NtCreateSection_allows(planted));
    decisions().options = block | OPT_ALWAYS_EVENTS;
    EXPECT_FALSE(NtCreateSection_allows(planted));
    EXPECT_FALSE(NtCreateSection_allows(L"C:\\Users\\Public\\evil.dll"));
    EXPECT_TRUE(NtCreateSection_allows(L"C:\\windows\\system32\\kernel32.dll"));
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
    const auto& raised = events();
    ASSERT_EQ(raised.size(), 3u);
    EXPECT_EQ(raised[0], (DllProtectInfo{"c:\\users\\public\\planted.dll", "",
                                         "VULNERABLE_PATH_NTCREATE_SECTION", "NtCreateSection",
                                         "0x0", "", "", "dll is unsigned"}));
    EXPECT_EQ(raised[1].reason, "DLL_BLOCKED");
    EXPECT_EQ(raised[2].reason, "RECURSIVE_DLL_LOAD_NTCREATESECTION");
    EXPECT_EQ(raised[2].error_info,
              "loaded dlls: c:\\users\\public\\planted.dll,;  user: Users permissions:0x2 ;");
}

TEST_F(LoadHooks, TheTraceNamesTheInterceptionThatWritesIt) {
    logging::dbg_trace::testing::capture trace;
    // Mapped already: the call is traced and goes straight through. An address outside every
    // module keeps its own value as the offset.
    machine.interception.loaded.insert(L"planted.dll");
    EXPECT_NE(load(L"planted.dll", report), 0u);
    EXPECT_NE(GenericLoadLibrary_Hook(L"planted.dll", nullptr, 0x8, "LoadLibraryExW", 0x9000), 0u);
    const auto call = [](const char* flags, const char* function, const char* address,
                         const char* name) {
        const std::string tag = "GenericLoadLibrary_Hook() - ";
        return std::vector<std::string>{"GenericLoadLibrary_Hook -> ",
                                        "resolve_caller -> ",
                                        "resolve_caller <- ",
                                        tag + "GenericLoadLibrary_Hook called with: ",
                                        tag + "Filename: planted.dll",
                                        tag + "hFile: 0",
                                        tag + "Flags: " + flags,
                                        tag + "FuncName: " + function,
                                        tag + "CallerAddr: " + address,
                                        tag + "CallerOffset: " + (name ? "0x1234" : address),
                                        tag + "CallerName: " + (name ? name : "UNKNOWN"),
                                        "GenericLoadLibrary_Hook <- "};
    };
    std::vector<std::string> expected = call("0x0", "LoadLibraryW", "0x401234", "Wardex.exe");
    for (std::string& line : call("0x8", "LoadLibraryExW", "0x9000", nullptr)) {
        expected.push_back(std::move(line));
    }
    EXPECT_EQ(traced(trace, {"GenericLoadLibrary_Hook", "resolve_caller"}), expected);

    // The section decisions trace under the section interception's name.
    decisions().options = report;
    loading_set().insert(L"c:\\users\\public\\planted.dll");
    EXPECT_TRUE(NtCreateSection_allows(planted));
    loading_set().clear();
    winverifytrust_depth = 1;
    EXPECT_TRUE(NtCreateSection_allows(planted));
    EXPECT_EQ(traced(trace, {"NtCreateSection"}),
              (std::vector<std::string>{
                  "NtCreateSection_Hook() - dos path is c:\\users\\public\\planted.dll",
                  "NtCreateSection_Hook() - dos path was in loadlibrary hook",
                  "NtCreateSection_Hook() - dos path is c:\\users\\public\\planted.dll",
                  "NtCreateSection_Hook() - in winverify trust value 1"}));
}

TEST_F(LoadHooks, AnEventRaisedWhileRaisingOneIsDropped) {
    decisions().options = report;
    in_trigger_event() = true;
    TriggerEvent(L"a.dll", 0, "LoadLibraryW", VULNERABLE_PATH, 0, L"a.dll", {}, {});
    in_trigger_event() = false;
    EXPECT_TRUE(events().empty());
}

}  // namespace
