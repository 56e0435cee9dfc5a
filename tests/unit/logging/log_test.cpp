#include "logging/log.h"

#include <gtest/gtest.h>

#include <thread>

#include "fakes/fake_clock.h"
#include "fakes/fake_log_library.h"
#include "winapi/facility.h"

namespace {

using fakes::fake_log_library;
using logging::CLogDLL;
using calls = std::vector<std::string>;

const std::wstring beside_program = L"C:\\Program Files\\Valdrin\\Agent\\1.0.0\\log.dll";
const calls bind_unbind = {"LogInit", "LogDeinit", "LogUninitDeskMetrics",
                           "LogRemoveModule(logging::CLogDLL::~CLogDLL)"};
const decltype(fakes::fake_modules::loads) one_load_beside_program = {{beside_program, 0}};

// No clock is installed: the lock sleeps with the thread library and the trace falls back to
// the system's clock, as they do before the facilities exist.
class Logger : public ::testing::Test {
protected:
    void TearDown() override {
        // A failed test must not leave the process-wide binding behind for the next one.
        while (CLogDLL::references() > 0) {
            CLogDLL::release();
        }
    }

    fakes::fake_modules modules;
    winapi::scoped_facility<winapi::modules> use_modules{modules};
};

TEST_F(Logger, CountsReferencesBindsBesideTheProgramAndUnbindsInOrder) {
    fake_log_library log(modules);
    EXPECT_EQ(CLogDLL::acquire(), CLogDLL::acquire());
    EXPECT_TRUE(CLogDLL::acquire()->has_write());
    EXPECT_EQ(modules.loads, one_load_beside_program);
    CLogDLL::release();
    CLogDLL::release();
    EXPECT_EQ(log.lifecycle(), calls{"LogInit"});
    CLogDLL::release();
    EXPECT_EQ(log.lifecycle(), bind_unbind);
    // Releasing at zero neither goes below zero nor unbinds again; the next reference rebinds.
    CLogDLL::release();
    CLogDLL::acquire();
    EXPECT_EQ(CLogDLL::references(), 1);
    CLogDLL::release();
    EXPECT_EQ(log.lifecycle().size(), 2 * bind_unbind.size());

    // An already loaded library is taken with a reference of its own, not loaded again.
    const auto preloaded = modules.load(beside_program, 0);
    CLogDLL::acquire();
    EXPECT_EQ(modules.references(beside_program), 2);
    EXPECT_EQ(modules.loads.size(), 3u);  // the logger's two and the test's own
    CLogDLL::release();
}

TEST_F(Logger, WithoutLibraryWriteOrUsableProgramPathEveryMessageIsANoOp) {
    const auto run = [] {
        const logging::scopped_log_init hold;
        logging::logger_stream(logging::level_info, L"repair") << L"nobody listens";
        const logging::function_scope_trace trace(L"check_agent");
    };
    run();  // no library beside the program: the load is tried and fails

    fake_log_library log(modules, beside_program, {"LogWrite"});
    run();
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(log.lifecycle(), bind_unbind);  // bound and unbound all the same

    modules.self_path = L"Wardex.exe";  // no folder
    run();
    modules.self_path = beside_program;
    modules.faults().fail_always("file_name", 5);
    run();
    EXPECT_EQ(modules.loads.size(), 2u);
}

TEST_F(Logger, MessagesAndTracesReachLogWriteOnlyWhileActive) {
    fakes::fake_clock clock;
    const winapi::scoped_facility<winapi::clock> use_clock{clock};
    fake_log_library log(modules);
    logging::logger_stream(logging::level_info, L"repair") << L"too early";
    { const logging::function_scope_trace trace(L"repair"); }
    EXPECT_TRUE(modules.loads.empty());  // dropped without loading anything

    const logging::scopped_log_init hold;
    // The text is an argument, never the format: a percent sign passes through untouched.
    logging::logger_stream(logging::level_info, L"repair") << L"100% [" << 42 << "] narrow\r\nnext";
    clock.set_tick(0xFFFFFFF0u);
    {
        const logging::function_scope_trace trace(L"check_agent");
        clock.advance(0x25);  // across the wrap of the counter
    }
    // The shown name keeps 257 characters, the function name 259.
    const std::wstring name(300, L'n');
    { const logging::function_scope_trace trace(name); }

    const auto self = modules.self();
    const std::wstring shown = name.substr(0, 257) + L"()";
    EXPECT_EQ(log.lines(),
              (std::vector<fake_log_library::record>{
                  {0, logging::level_info, self, L"repair", L"%s", L"100% [42] narrow\r\nnext"},
                  {1, logging::level_trace, self, L"check_agent", L"-> %s", L"-> check_agent()"},
                  {-1, logging::level_trace, self, L"check_agent", L"<- %s [%d]",
                   L"<- check_agent() [37]"},
                  {1, logging::level_trace, self, name.substr(0, 259), L"-> %s", L"-> " + shown},
                  {-1, logging::level_trace, self, name.substr(0, 259), L"<- %s [%d]",
                   L"<- " + shown + L" [0]"}}));
}

TEST_F(Logger, ConcurrentMessagesAreAllDeliveredAndCountsBalance) {
    fake_log_library log(modules);
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([t] {
            for (int i = 0; i < 150; ++i) {
                // Binds, or joins the binding another worker holds.
                const logging::scopped_log_init hold;
                logging::logger_stream(logging::level_info, L"worker") << t << L':' << i;
            }
        });
    }
    for (auto& w : workers) {
        w.join();
    }
    EXPECT_EQ(log.lines().size(), 600u);
    EXPECT_EQ(CLogDLL::references(), 0);
    EXPECT_EQ(modules.references(beside_program), 0);
}

}  // namespace
