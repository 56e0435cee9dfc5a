#include "logging/log.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/facility.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_log_library.h"
#include "fakes/fake_modules.h"

namespace {

using fakes::fake_log_library;
using logging::CLogDLL;

const std::wstring beside_program = L"C:\\Program Files\\Valdrin\\Agent\\1.0.0\\log.dll";

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
    fakes::fake_clock clock;
    winapi::scoped_facility<winapi::clock> use_clock{clock};
};

TEST_F(Logger, BindsLibraryBesideProgramAndUnbindsInOrder) {
    fake_log_library log(modules);
    CLogDLL* binding = CLogDLL::acquire();
    ASSERT_NE(binding, nullptr);
    EXPECT_EQ(modules.loads, std::vector<std::wstring>{beside_program});
    EXPECT_EQ(modules.references(beside_program), 1);
    EXPECT_NE(binding->module(), 0u);
    EXPECT_TRUE(binding->has_write());
    for (std::size_t i = 0; i < logging::entry_point_count; ++i) {
        EXPECT_NE(binding->find(static_cast<logging::entry_point>(i)), nullptr)
            << logging::entry_point_names[i];
    }
    EXPECT_EQ(log.lifecycle(), std::vector<std::string>{"LogInit"});

    CLogDLL::release();
    EXPECT_EQ(log.lifecycle(),
              (std::vector<std::string>{"LogInit", "LogDeinit", "LogUninitDeskMetrics",
                                        "LogRemoveModule(logging::CLogDLL::~CLogDLL)"}));
    EXPECT_EQ(modules.references(beside_program), 0);
}

TEST_F(Logger, PrefersAlreadyLoadedLibrary) {
    const std::wstring elsewhere = L"C:\\Windows\\System32\\log.dll";
    fake_log_library log(modules, elsewhere);
    std::uint32_t error = 0;
    const auto preloaded = modules.load(elsewhere, error);
    ASSERT_NE(preloaded, 0u);

    CLogDLL* binding = CLogDLL::acquire();
    EXPECT_EQ(binding->module(), preloaded);
    EXPECT_EQ(modules.loads.size(), 1u);  // only the test's own load
    EXPECT_EQ(modules.references(elsewhere), 2);
    CLogDLL::release();
    EXPECT_EQ(modules.references(elsewhere), 1);
    modules.free(preloaded);
}

TEST_F(Logger, MissingLibraryMakesEveryWriteANoOp) {
    CLogDLL* binding = CLogDLL::acquire();
    EXPECT_EQ(modules.loads, std::vector<std::wstring>{beside_program});
    EXPECT_EQ(binding->module(), 0u);
    EXPECT_FALSE(binding->has_write());
    EXPECT_NE(binding->find(logging::entry_point::write), nullptr);
    EXPECT_EQ(binding->find(logging::entry_point::set_level), nullptr);
    logging::logger_stream(16, L"repair") << L"nobody listens";
    { logging::function_scope_trace trace(L"check_agent"); }
    CLogDLL::release();
    EXPECT_EQ(CLogDLL::references(), 0);
}

TEST_F(Logger, NoLoadWithoutUsableProgramPath) {
    fake_log_library log(modules);
    modules.self_path = L"Wardex.exe";  // no backslash
    CLogDLL::acquire();
    CLogDLL::release();
    modules.self_path = L"C:\\Wardex.exe";
    modules.fail_file_name = 5;
    CLogDLL::acquire();
    CLogDLL::release();
    EXPECT_TRUE(modules.loads.empty());
    EXPECT_EQ(log.init_calls(), 0);
}

TEST_F(Logger, LibraryWithoutWriteIsBoundButSilent) {
    fake_log_library log(modules, beside_program, {"LogWrite"});
    {
        logging::scopped_log_init hold;
        EXPECT_EQ(modules.references(beside_program), 1);
        EXPECT_EQ(log.init_calls(), 1);
        logging::logger_stream(16, L"repair") << L"lost";
    }
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(log.deinit_calls(), 1);
    EXPECT_EQ(modules.references(beside_program), 0);
}

TEST_F(Logger, ReferenceCountingBindsOnceAndRebindsAfterZero) {
    fake_log_library log(modules);
    EXPECT_EQ(CLogDLL::acquire(), CLogDLL::acquire());
    EXPECT_EQ(CLogDLL::references(), 2);
    CLogDLL::release();
    EXPECT_TRUE(CLogDLL::is_active());
    EXPECT_EQ(log.deinit_calls(), 0);
    CLogDLL::release();
    EXPECT_FALSE(CLogDLL::is_active());
    EXPECT_EQ(log.deinit_calls(), 1);
    EXPECT_EQ(log.remove_module_calls(), 1);

    // Releasing at zero neither goes below zero nor unbinds again.
    CLogDLL::release();
    EXPECT_EQ(CLogDLL::references(), 0);
    EXPECT_EQ(log.deinit_calls(), 1);
    CLogDLL::acquire();
    EXPECT_EQ(CLogDLL::references(), 1);

    EXPECT_EQ(log.init_calls(), 2);
    EXPECT_EQ(modules.loads.size(), 2u);
    CLogDLL::release();
    EXPECT_EQ(log.uninit_desk_metrics_calls(), 2);
    EXPECT_EQ(modules.references(beside_program), 0);
}

TEST_F(Logger, MessageWhileInactiveIsDroppedWithoutLoading) {
    fake_log_library log(modules);
    logging::logger_stream(16, L"repair") << L"too early";
    { logging::function_scope_trace trace(L"repair"); }
    EXPECT_TRUE(modules.loads.empty());
    EXPECT_EQ(log.init_calls(), 0);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(Logger, MessageCarriesKindLevelFunctionAndWholeText) {
    fake_log_library log(modules);
    logging::scopped_log_init hold;
    logging::logger_stream(logging::level_info, L"repair")
        << L"cmd line: [" << L"Wardex.exe repair" << L"] code=" << 42 << " narrow\r\nnext";
    logging::logger_stream(4, L"start_service") << L"100% done";

    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].kind, 0);
    EXPECT_EQ(lines[0].level, 16);
    EXPECT_EQ(lines[0].module, modules.self_handle);
    EXPECT_EQ(lines[0].function, L"repair");
    EXPECT_EQ(lines[0].format, L"%s");
    EXPECT_EQ(lines[0].text, L"cmd line: [Wardex.exe repair] code=42 narrow\r\nnext");
    // The text is an argument, never the format: a percent sign passes through untouched.
    EXPECT_TRUE(log.contains(4, L"start_service", L"100% done"));
    // Each message took and dropped its own reference.
    EXPECT_EQ(CLogDLL::references(), 1);
    EXPECT_EQ(log.init_calls(), 1);
}

TEST_F(Logger, TraceWritesEntryAndUnsignedElapsedAcrossTheWrap) {
    fake_log_library log(modules);
    logging::scopped_log_init hold;
    clock.set_tick(0xFFFFFFF0u);
    {
        logging::function_scope_trace trace(L"check_agent");
        clock.advance(0x25);
    }
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].kind, 1);
    EXPECT_EQ(lines[0].level, 32);
    EXPECT_EQ(lines[0].function, L"check_agent");
    EXPECT_EQ(lines[0].format, L"-> %s");
    EXPECT_EQ(lines[0].text, L"-> check_agent()");
    EXPECT_EQ(lines[1].kind, -1);
    EXPECT_EQ(lines[1].level, 32);
    EXPECT_EQ(lines[1].function, L"check_agent");
    EXPECT_EQ(lines[1].format, L"<- %s [%d]");
    EXPECT_EQ(lines[1].text, L"<- check_agent() [37]");
}

TEST_F(Logger, TraceCutsLongNames) {
    fake_log_library log(modules);
    logging::scopped_log_init hold;
    std::wstring name;
    for (int i = 0; i < 300; ++i) {
        name += static_cast<wchar_t>(L'a' + i % 26);
    }
    { logging::function_scope_trace trace(name); }
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, L"-> " + name.substr(0, 257) + L"()");
    EXPECT_EQ(lines[0].function, name.substr(0, 259));
    EXPECT_EQ(lines[1].text, L"<- " + name.substr(0, 257) + L"() [0]");
    EXPECT_EQ(lines[1].function, name.substr(0, 259));

    // Names that fit are kept whole.
    const std::wstring fits(257, L'x');
    log.clear_lines();
    { logging::function_scope_trace trace(fits); }
    EXPECT_EQ(log.lines().at(0).text, L"-> " + fits + L"()");
}

class LoggerThreads : public ::testing::Test {
protected:
    void TearDown() override {
        while (CLogDLL::references() > 0) {
            CLogDLL::release();
        }
    }
    // No clock: the lock sleeps with the thread library, and the fake clock is not shared
    // across threads.
    fakes::fake_modules modules;
    winapi::scoped_facility<winapi::modules> use_modules{modules};
};

TEST_F(LoggerThreads, ConcurrentMessagesAreAllDeliveredAndCountsBalance) {
    fake_log_library log(modules);
    constexpr int threads = 4;
    constexpr int per_thread = 150;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t] {
            // Even workers bind and unbind around every message; odd ones log inside one
            // long-lived hold.
            std::optional<logging::scopped_log_init> hold;
            if (t % 2 == 1) {
                hold.emplace();
            }
            for (int i = 0; i < per_thread; ++i) {
                std::optional<logging::scopped_log_init> each;
                if (t % 2 == 0) {
                    each.emplace();
                }
                logging::logger_stream(16, L"worker") << t << L':' << i;
            }
        });
    }
    for (auto& w : workers) {
        w.join();
    }
    EXPECT_EQ(log.lines().size(), static_cast<std::size_t>(threads * per_thread));
    EXPECT_TRUE(log.contains(16, L"worker", L"3:149"));
    EXPECT_EQ(CLogDLL::references(), 0);
    EXPECT_EQ(log.init_calls(), log.deinit_calls());
    EXPECT_EQ(modules.references(beside_program), 0);
}

}  // namespace
