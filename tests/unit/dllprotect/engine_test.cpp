#include "dllprotect/engine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "dllprotect/host.h"
#include "dllprotect/load_hooks.h"
#include "fakes/engine_events.h"
#include "logging/dbg_trace/testing.h"
#include "unit/dllprotect/protect_machine.h"

namespace {

using namespace dllprotect;
using fakes::engine_events;

class Engine : public protect_machine {
protected:
    Engine() { machine.libraries.environment[L"ProgramData"] = L"C:\\ProgramData"; }
    ~Engine() override {
        static_cast<void>(DllProtectEnd());
        static_cast<void>(DllProtectSetEventsCbk(nullptr, nullptr));
    }
    engine_events sink;
};

TEST_F(Engine, StartsWithAQueueOnlyWhenEventsHaveSomewhereToGo) {
    ASSERT_TRUE(DllProtectSetEventsCbk(&engine_events::record, &sink));
    ASSERT_EQ(DllProtectStart(0x1A, L"CorvelWardex"), 1);
    EXPECT_TRUE(machine.interception.safe_search_set);
    EXPECT_TRUE(machine.interception.attached);
    EXPECT_NE(engine().queue, nullptr);
    // Refused while running.
    EXPECT_FALSE(DllProtectSetEventsCbk(nullptr, nullptr));

    // Events submitted just before the stop are still delivered, in order.
    std::vector<DllProtectInfo> submitted(50);
    for (int i = 0; i < 50; ++i) {
        submitted[i].request_path = std::to_string(i);
        submit_event(submitted[i]);
    }
    EXPECT_EQ(DllProtectEnd(), 1);
    EXPECT_EQ(sink.events(), submitted);

    // Without a callback, or without report mode or forced events, there is no queue.
    ASSERT_TRUE(DllProtectSetEventsCbk(nullptr, nullptr));
    ASSERT_EQ(DllProtectStart(0x1A | OPT_KEEP_SEARCH_MODE, nullptr), 1);
    EXPECT_EQ(engine().queue, nullptr);
    EXPECT_EQ(DllProtectEnd(), 1);
    ASSERT_TRUE(DllProtectSetEventsCbk(&engine_events::record, &sink));
    ASSERT_EQ(DllProtectStart(OPT_CHECK_SIGNATURE, nullptr), 1);
    EXPECT_EQ(engine().queue, nullptr);
}

TEST_F(Engine, TheDumpFileLiesBesideTheProgramOnlyWhenElevated) {
    // The start finds the program's folder and the drive letters as they are now.
    machine.modules.self_path = L"C:\\Tools\\Wardex.exe";
    machine.libraries.devices[L'D'] = L"\\Device\\HarddiskVolume2";
    ASSERT_EQ(DllProtectStart(0x1A, nullptr), 1);
    EXPECT_EQ(engine().process_name, L"Wardex.exe");
    EXPECT_EQ(decisions().devices.size(), 2u);
    EXPECT_EQ(decisions().dump_file_path, L"C:\\Tools\\dllReport.Wardex.exe.V2");
    ASSERT_EQ(DllProtectEnd(), 1);

    // Not elevated: the folder is made when missing and used as it is when there (where it could
    // not be made again).
    machine.interception.elevated = false;
    const std::wstring folder = L"C:\\ProgramData\\48C4687D-9760-4F5B-BAB3-60351B0841E4";
    for (int run = 0; run < 2; ++run) {
        init_dump_path(L"Wardex.exe");
        EXPECT_EQ(decisions().dump_file_path, folder + L"\\dllReport.Wardex.exe.V2");
        EXPECT_TRUE(machine.files.has_folder(folder));
        machine.files.faults().fail_always("create_folder_tree", 5);
    }

    // A file in the folder's place, a folder that cannot be made, no ProgramData: nowhere.
    machine.files.set_file(L"C:\\Data2\\48C4687D-9760-4F5B-BAB3-60351B0841E4", "");
    machine.libraries.environment[L"ProgramData"] = L"C:\\Data2";
    init_dump_path(L"Wardex.exe");
    EXPECT_EQ(decisions().dump_file_path, L"");
    machine.libraries.environment[L"ProgramData"] = L"C:\\Data3";
    init_dump_path(L"Wardex.exe");
    EXPECT_EQ(decisions().dump_file_path, L"");
    machine.libraries.environment.erase(L"ProgramData");
    init_dump_path(L"Wardex.exe");
    EXPECT_EQ(decisions().dump_file_path, L"");
}

TEST_F(Engine, FailedStartsLeaveNothingBehind) {
    ASSERT_TRUE(DllProtectSetEventsCbk(&engine_events::record, &sink));
    // Both modes at once are refused before anything happens (each call traces in and out).
    decisions().dump_file_path = L"untouched";
    EXPECT_EQ(DllProtectStart(OPT_REPORT_MODE | OPT_BLOCK_MODE, L"x"), 0);
    EXPECT_EQ(decisions().dump_file_path, L"untouched");
    EXPECT_EQ(traced(trace, {"DllProtectS"}),
              (std::vector<std::string>{
                  "DllProtectSetEventsCbk -> ", "DllProtectSetEventsCbk <- ", "DllProtectStart -> ",
                  "DllProtectStart() - options: 48, proc_name:",
                  "DllProtectStart() - cannot activate dllprotect in report mode and block mode at "
                  "the same time",
                  "DllProtectStart <- "}));

    machine.interception.section = section_entry::no_entry;
    EXPECT_EQ(DllProtectStart(0x1A, nullptr), 0);
    EXPECT_TRUE(trace.contains("cannot get NtCreateSection proc address"));
    EXPECT_EQ(engine().queue, nullptr);
    machine.interception.section = section_entry::found;

    // A failed attach of the five loading and trust interceptions raises one event, and the
    // section interception is never activated.
    machine.interception.attach_result = attach_outcome::hook_failed;
    EXPECT_EQ(DllProtectStart(0x1A | OPT_HOOK_NTCREATESECTION, nullptr), 0);
    EXPECT_FALSE(trace.contains("activating NtCreateSection_Hook"));
    EXPECT_FALSE(engine().engine_active);
    EXPECT_EQ(engine().queue, nullptr);
    DllProtectInfo failure;
    failure.reason = "INIT_DETOUR_FAILED";
    EXPECT_EQ(sink.events(), std::vector{failure});
    EXPECT_EQ(DllProtectEnd(), 0);
    // A failed attach of the section interception raises no event.
    machine.interception.attach_result = attach_outcome::section_failed;
    EXPECT_EQ(DllProtectStart(0x1A | OPT_HOOK_NTCREATESECTION, nullptr), 0);
    EXPECT_TRUE(trace.contains("activating NtCreateSection_Hook"));
    EXPECT_EQ(sink.events().size(), 1u);

    // A detach that fails keeps the interceptions and the events machinery.
    machine.interception.attach_result = attach_outcome::attached;
    ASSERT_EQ(DllProtectStart(0x1A, nullptr), 1);
    machine.interception.detach_result = false;
    EXPECT_EQ(DllProtectEnd(), 0);
    EXPECT_NE(engine().queue, nullptr);
    machine.interception.detach_result = true;
    EXPECT_EQ(DllProtectEnd(), 1);

    // A host whose start fails takes its callback back before its reporter goes.
    machine.interception.attach_result = attach_outcome::hook_failed;
    const auto failed = host_start(supervisor_options, supervisor_host_name);
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().message, L"DllProtectStart failed");
    EXPECT_EQ(engine().callback, nullptr);
}

TEST_F(Engine, AHostSessionRunsTheEngineUntilItsOwnerGoes) {
    {
        auto session = host_start(supervisor_options, supervisor_host_name);
        ASSERT_TRUE(session.has_value());
        EXPECT_TRUE(engine().engine_active);
        EXPECT_EQ(engine().process_name, L"CorvelWardex");
        EXPECT_NE(engine().queue, nullptr);
        // One engine per process: a second host cannot register its callback.
        auto second = host_start(supervisor_options, supervisor_host_name);
        ASSERT_FALSE(second.has_value());
        EXPECT_EQ(second.error().message, L"DllProtectSetEventsCbk failed");
        // Moved away and back, and the moved-from sessions gone: the engine still runs.
        {
            host_session moved(std::move(*session));
            *session = std::move(moved);
        }
        EXPECT_TRUE(engine().engine_active);
    }
    EXPECT_FALSE(engine().engine_active);
    EXPECT_FALSE(machine.interception.attached);
    EXPECT_EQ(engine().queue, nullptr);
}

// Eight threads load a blacklisted library the whole time through the load hook, while the engine
// starts and stops over and over. A hook that was inside the engine when a stop began finishes
// against that run's state, so its event reaches that run's callback before the stop returns;
// hooks that come later go through unchecked. Every refused load is therefore one delivered
// event, none arrives after its run stopped, and nothing is freed under a hook. Each run's sink
// is freed once its run has stopped, as the host frees its reporter.
TEST_F(Engine, StopsAndRestartsWhileEightThreadsLoad) {
    machine.files.set_file(L"C:\\Program Files\\Corvel\\dllblacklist.json",
                           R"({"blacklist": ["evil.dll"]})");
    machine.interception.record_loads = false;
    engine_events::late = 0;
    std::atomic<bool> done{false};
    std::atomic<long> refused{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            while (!done) {
                if (GenericLoadLibrary_Hook(L"C:\\Users\\Public\\evil.dll", nullptr, 0,
                                            "LoadLibraryW", 0) == 0) {
                    ++refused;
                }
                // A load takes its time; without a pause the queue grows faster than it drains.
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            }
        });
    }
    long delivered = 0;
    for (int cycle = 0; cycle < 100; ++cycle) {
        // On the heap: a late callback reads freed memory, not the next run's sink.
        auto run = std::make_unique<engine_events>();
        ASSERT_TRUE(DllProtectSetEventsCbk(&engine_events::record, run.get()));
        ASSERT_EQ(DllProtectStart(OPT_USE_BLACKLIST | OPT_REPORT_MODE | OPT_KEEP_SEARCH_MODE, L"x"),
                  1);
        EXPECT_TRUE(run->wait_for_any(std::chrono::seconds(10))) << "cycle " << cycle;
        ASSERT_EQ(DllProtectEnd(), 1);
        run->stopped();
        EXPECT_EQ(run->count("DLL_BLOCKED"), run->events().size()) << "cycle " << cycle;
        delivered += static_cast<long>(run->events().size());
    }
    // With the engine off, the loads go through unchecked.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (machine.interception.load_count == 0 && std::chrono::steady_clock::now() < until) {
        std::this_thread::yield();
    }
    done = true;
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_GT(machine.interception.load_count, 0);
    EXPECT_EQ(engine_events::late, 0);
    EXPECT_EQ(delivered, refused.load()) << "every refused load reported once, in its own run";
}

}  // namespace
