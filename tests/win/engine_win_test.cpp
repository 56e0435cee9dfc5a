// The protection engine in this very process under Wine: its interceptions attached to the real
// loading functions, loads of the lab's planted.dll from a folder anybody may write, in report and
// block mode, and of libraries that are mapped already or lie in the system folder.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dllprotect/engine.h"
#include "dllprotect/trust_decisions.h"
#include "dllprotect/win/interception_win.h"
#include "fakes/engine_events.h"
#include "logging/dbg_trace/testing.h"
#include "stdext/utf.h"
#include "win/support.h"

namespace {

using namespace dllprotect;
using fakes::engine_events;

std::wstring sample(const wchar_t* tail) {
    return wintest::env_path("WARDEX_SAMPLES_DIR", tail);
}

// A fresh copy of the planted library, so that no earlier test has it mapped.
std::wstring fresh_copy(const wchar_t* name) {
    const std::wstring path = sample(L"dlls\\writable\\") + name;
    ::CopyFileW(sample(L"dlls\\writable\\unsigned.dll").c_str(), path.c_str(), FALSE);
    return path;
}

class EngineWin : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(sample(L"").empty()) << "WARDEX_SAMPLES_DIR is not set";
        install_windows_interception();
        ASSERT_TRUE(DllProtectSetEventsCbk(&engine_events::record, &sink));
    }
    void TearDown() override {
        static_cast<void>(DllProtectEnd());
        static_cast<void>(DllProtectSetEventsCbk(nullptr, nullptr));
    }
    // The events delivered so far; the engine is stopped to drain its queue.
    std::vector<DllProtectInfo> stop() {
        EXPECT_EQ(DllProtectEnd(), 1);
        return sink.events();
    }
    engine_events sink;
};

TEST_F(EngineWin, ReportModeReportsAPlantedLibraryAndLoadsIt) {
    const std::wstring planted = fresh_copy(L"report.dll");
    ASSERT_EQ(DllProtectStart(0x1A, L"CorvelWardex"), 1);
    HMODULE module = ::LoadLibraryW(planted.c_str());
    EXPECT_NE(module, nullptr);
    // Mapped now: a second load goes straight through; so does a system library.
    EXPECT_EQ(::LoadLibraryW(planted.c_str()), module);
    EXPECT_NE(::LoadLibraryW(L"mpr.dll"), nullptr);
    const auto events = stop();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].reason, "VULNERABLE_PATH");
    EXPECT_EQ(events[0].function_name, "LoadLibraryW");
    EXPECT_EQ(events[0].request_path, stdext::wide_to_utf8(planted));
    EXPECT_TRUE(stdext::iequals(stdext::utf8_to_wide(events[0].load_path), L"\\\\?\\" + planted,
                                stdext::case_rule::latin1));
    EXPECT_EQ(events[0].caller_name, "wardex_win_tests.exe");
    EXPECT_EQ(events[0].caller_offset.rfind("0x", 0), 0u);
    ::FreeLibrary(module);
    ::FreeLibrary(module);
}

TEST_F(EngineWin, BlockModeRefusesAPlantedLibraryThroughEveryFunction) {
    const std::wstring planted = fresh_copy(L"block.dll");
    logging::dbg_trace::testing::capture trace;
    ASSERT_EQ(DllProtectStart(
                  OPT_CHECK_SIGNATURE | OPT_CHECK_WRITE_ACCESS | OPT_BLOCK_MODE | OPT_ALWAYS_EVENTS,
                  nullptr),
              1);
    const std::string narrow = stdext::wide_to_utf8(planted);
    EXPECT_EQ(::LoadLibraryW(planted.c_str()), nullptr);
    EXPECT_EQ(::LoadLibraryExW(planted.c_str(), nullptr, 0), nullptr);
    EXPECT_EQ(::LoadLibraryA(narrow.c_str()), nullptr);
    EXPECT_EQ(::LoadLibraryExA(narrow.c_str(), nullptr, 0), nullptr);
    // A data-file load is not a library load and is not checked.
    HMODULE data = ::LoadLibraryExW(planted.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    EXPECT_NE(data, nullptr);
    ::FreeLibrary(data);
    EXPECT_EQ(::GetModuleHandleW(planted.c_str()), nullptr);
    const auto events = stop();
    ASSERT_EQ(events.size(), 4u);
    for (const char* function :
         {"LoadLibraryW", "LoadLibraryExW", "LoadLibraryA", "LoadLibraryExA"}) {
        EXPECT_TRUE(std::ranges::any_of(events, [&](const DllProtectInfo& e) {
            return e.function_name == function && e.reason == "DLL_BLOCKED";
        })) << function;
        // Each interception traces its own entry and exit around the checked load.
        const std::string hook = std::string("[DLLPROTECT] :: ") + function + "_Hook ";
        EXPECT_TRUE(trace.contains(hook + "-> ")) << function;
        EXPECT_TRUE(trace.contains(hook + "<- ")) << function;
    }
}

using nt_create_section_fn = LONG(NTAPI*)(PHANDLE, ACCESS_MASK, void*, PLARGE_INTEGER, ULONG, ULONG,
                                          HANDLE);

TEST_F(EngineWin, ImageSectionsOfAPlantedLibraryAreExaminedInReportMode) {
    const std::wstring planted = fresh_copy(L"section.dll");
    logging::dbg_trace::testing::capture trace;
    ASSERT_EQ(DllProtectStart(0x1A | OPT_HOOK_NTCREATESECTION, nullptr), 1);
    // An image section made straight through ntdll, as a manual mapper makes one.
    HANDLE file = ::CreateFileW(planted.c_str(), GENERIC_READ | GENERIC_EXECUTE, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const auto create = reinterpret_cast<nt_create_section_fn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtCreateSection")));
    HANDLE section = nullptr;
    const LONG status = create(&section, SECTION_MAP_EXECUTE | SECTION_MAP_READ | SECTION_QUERY,
                               nullptr, nullptr, PAGE_EXECUTE, SEC_IMAGE, file);
    EXPECT_EQ(status, 0);
    if (section != nullptr) {
        ::CloseHandle(section);
    }
    ::CloseHandle(file);
    const auto events = stop();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].reason, "VULNERABLE_PATH_NTCREATE_SECTION");
    EXPECT_TRUE(trace.contains("[DLLPROTECT] :: NtCreateSection_Hook -> "));
    EXPECT_TRUE(trace.contains("[DLLPROTECT] :: NtCreateSection_Hook <- "));
}

// The engine stops under eight threads that load the planted library and a system one, many
// times over. Hooks still inside it when it stops (in a signature check, say) finish first and
// their events reach that run's callback: each run reports the planted library whenever it was
// not mapped and never the system library, none of its events arrives after the stop returned
// (when its sink is freed, as the host frees its reporter), none goes to the dump file (where
// events go without a queue), and every load succeeds. The threads start after each start: a
// start writes its patches with only its own thread enlisted, and a thread caught inside a
// prologue being replaced would run half of it. A stop they are welcome to meet.
TEST_F(EngineWin, StopsWhileEightThreadsLoadManyTimesOver) {
    const std::wstring planted = fresh_copy(L"stops.dll");
    engine_events::late = 0;
    std::atomic<long> failed{0};
    for (int cycle = 0; cycle < 15; ++cycle) {
        auto run = std::make_unique<engine_events>();
        ASSERT_TRUE(DllProtectSetEventsCbk(&engine_events::record, run.get()));
        ASSERT_EQ(DllProtectStart(0x1A, L"CorvelWardex"), 1);
        if (cycle == 0) {
            ::DeleteFileW(decisions().dump_file_path.c_str());
        }
        std::atomic<bool> done{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&, t] {
                for (int i = t; !done; ++i) {
                    HMODULE m = ::LoadLibraryW(i % 2 ? planted.c_str() : L"mpr.dll");
                    failed += m == nullptr ? 1 : 0;
                    ::FreeLibrary(m);
                }
            });
        }
        EXPECT_TRUE(run->wait_for_any(std::chrono::seconds(30))) << "cycle " << cycle;
        EXPECT_EQ(DllProtectEnd(), 1) << "cycle " << cycle;
        run->stopped();
        done = true;
        for (auto& t : threads) {
            t.join();
        }
        EXPECT_EQ(run->count("VULNERABLE_PATH"), run->events().size()) << "cycle " << cycle;
    }
    EXPECT_EQ(engine_events::late, 0);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(::GetFileAttributesW(decisions().dump_file_path.c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
