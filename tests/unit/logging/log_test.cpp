#include "logging/log.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fake_log_library.h"
#include "fakes/fake_modules.h"
#include "winapi/facility.h"

namespace {

using fakes::fake_log_library;
using logging::CLogDLL;
using calls = std::vector<std::string>;
using record = fake_log_library::record;

const std::wstring beside_program = L"C:\\Program Files\\Valdrin\\Agent\\1.0.0\\log.dll";
const calls unbind = {"LogDeinit", "LogUninitDeskMetrics",
                      "LogRemoveModule(logging::CLogDLL::~CLogDLL)"};

calls operator+(calls a, const calls& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

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

TEST_F(Logger, BindsLibraryBesideProgramAndUnbindsInOrder) {
    fake_log_library log(modules);
    CLogDLL* binding = CLogDLL::acquire();
    EXPECT_EQ(modules.loads, std::vector<std::wstring>{beside_program});
    EXPECT_NE(binding->module(), 0u);
    EXPECT_TRUE(binding->has_write());
    EXPECT_EQ(log.lifecycle(), calls{"LogInit"});

    CLogDLL::release();
    EXPECT_EQ(log.lifecycle(), calls{"LogInit"} + unbind);
    EXPECT_EQ(modules.references(beside_program), 0);
}

TEST_F(Logger, PrefersAlreadyLoadedLibrary) {
    const std::wstring elsewhere = L"C:\\Windows\\System32\\log.dll";
    fake_log_library log(modules, elsewhere);
    const auto preloaded = modules.load(elsewhere, 0);

    EXPECT_NE(CLogDLL::acquire()->module(), 0u);
    EXPECT_EQ(modules.loads.size(), 1u);  // only the test's own load
    EXPECT_EQ(modules.references(elsewhere), 2);
    CLogDLL::release();
    EXPECT_EQ(modules.references(elsewhere), 1);
}

TEST_F(Logger, WithoutLibraryOrWriteEveryMessageIsANoOp) {
    {
        // No library beside the program: the load is tried and fails.
        logging::scopped_log_init hold;
        EXPECT_EQ(modules.loads, std::vector<std::wstring>{beside_program});
        logging::logger_stream(16, L"repair") << L"nobody listens";
        logging::function_scope_trace trace(L"check_agent");
    }
    // A library without "LogWrite" is bound and unbound all the same.
    fake_log_library log(modules, beside_program, {"LogWrite"});
    {
        logging::scopped_log_init hold;
        EXPECT_FALSE(CLogDLL::acquire()->has_write());
        CLogDLL::release();
        logging::logger_stream(16, L"repair") << L"lost";
    }
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(log.lifecycle(), calls{"LogInit"} + unbind);
    EXPECT_EQ(modules.references(beside_program), 0);
}

TEST_F(Logger, NoLoadWithoutUsableProgramPath) {
    fake_log_library log(modules);
    modules.self_path = L"Wardex.exe";  // no backslash
    CLogDLL::acquire();
    CLogDLL::release();
    modules.self_path = L"C:\\Wardex.exe";
    modules.faults().fail_always("file_name", 5);
    CLogDLL::acquire();
    CLogDLL::release();
    EXPECT_TRUE(modules.loads.empty());
    EXPECT_TRUE(log.lifecycle().empty());
}

TEST_F(Logger, ReferenceCountingBindsOnceAndRebindsAfterZero) {
    fake_log_library log(modules);
    EXPECT_EQ(CLogDLL::acquire(), CLogDLL::acquire());
    CLogDLL::release();
    EXPECT_TRUE(CLogDLL::is_active());
    EXPECT_EQ(log.lifecycle(), calls{"LogInit"});
    CLogDLL::release();
    EXPECT_FALSE(CLogDLL::is_active());
    EXPECT_EQ(log.lifecycle(), calls{"LogInit"} + unbind);

    // Releasing at zero neither goes below zero nor unbinds again; the next reference rebinds.
    CLogDLL::release();
    CLogDLL::acquire();
    EXPECT_EQ(CLogDLL::references(), 1);
    CLogDLL::release();
    EXPECT_EQ(log.lifecycle(), calls{"LogInit"} + unbind + calls{"LogInit"} + unbind);
    EXPECT_EQ(modules.loads.size(), 2u);
    EXPECT_EQ(modules.references(beside_program), 0);
}

TEST_F(Logger, MessageWhileInactiveIsDroppedWithoutLoading) {
    fake_log_library log(modules);
    logging::logger_stream(16, L"repair") << L"too early";
    { logging::function_scope_trace trace(L"repair"); }
    EXPECT_TRUE(modules.loads.empty());
    EXPECT_TRUE(log.lifecycle().empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(Logger, MessageCarriesKindLevelFunctionAndWholeText) {
    fake_log_library log(modules);
    logging::scopped_log_init hold;
    logging::logger_stream(logging::level_info, L"repair")
        << L"cmd line: [" << L"Wardex.exe repair" << L"] code=" << 42 << " narrow\r\nnext";
    // The text is an argument, never the format: a percent sign passes through untouched.
    logging::logger_stream(4, L"start_service") << L"100% done";

    const auto self = modules.self_handle;
    const std::vector<record> expected = {
        {0, 16, self, L"repair", L"%s", L"cmd line: [Wardex.exe repair] code=42 narrow\r\nnext"},
        {0, 4, self, L"start_service", L"%s", L"100% done"},
    };
    EXPECT_EQ(log.lines(), expected);
    // Each message took and dropped its own reference.
    EXPECT_EQ(CLogDLL::references(), 1);
    EXPECT_EQ(log.lifecycle(), calls{"LogInit"});
}

TEST_F(Logger, TraceWritesEntryAndUnsignedElapsedAndCutsLongNames) {
    fakes::fake_clock clock;
    winapi::scoped_facility<winapi::clock> use_clock{clock};
    fake_log_library log(modules);
    logging::scopped_log_init hold;
    clock.set_tick(0xFFFFFFF0u);
    {
        logging::function_scope_trace trace(L"check_agent");
        clock.advance(0x25);
    }
    const auto self = modules.self_handle;
    std::vector<record> expected = {
        {1, 32, self, L"check_agent", L"-> %s", L"-> check_agent()"},
        {-1, 32, self, L"check_agent", L"<- %s [%d]", L"<- check_agent() [37]"},
    };
    EXPECT_EQ(log.lines(), expected);

    // The shown name keeps 257 characters, the function name 259; names that fit stay whole.
    std::wstring name;
    for (int i = 0; i < 300; ++i) {
        name += static_cast<wchar_t>(L'a' + i % 26);
    }
    const std::wstring fits(257, L'x');
    { logging::function_scope_trace trace(name); }
    { logging::function_scope_trace trace(fits); }
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[2].text, L"-> " + name.substr(0, 257) + L"()");
    EXPECT_EQ(lines[3].text, L"<- " + name.substr(0, 257) + L"() [0]");
    EXPECT_EQ(lines[3].function, name.substr(0, 259));
    EXPECT_EQ(lines[4].text, L"-> " + fits + L"()");
}

TEST_F(Logger, ConcurrentMessagesAreAllDeliveredAndCountsBalance) {
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
    const auto lifecycle = log.lifecycle();
    EXPECT_EQ(std::count(lifecycle.begin(), lifecycle.end(), "LogInit"),
              std::count(lifecycle.begin(), lifecycle.end(), "LogDeinit"));
    EXPECT_EQ(modules.references(beside_program), 0);
}

}  // namespace
