#include "eventlog/win_events.h"

#include <gtest/gtest.h>

#include "fakes/log_messages.h"

namespace {

using namespace eventlog;
using fakes::fake_event_log;
// Value types as Windows numbers them: 1 a string, 0x80 the array flag.
constexpr std::uint32_t string_array = 0x81;

class WinEvents : public fakes::logged_machine_test {
protected:
    // A System event of the agent service with the given param2.
    static fake_event_log::values scm(std::int64_t time, winapi::event_value param2 = {}) {
        return fake_event_log::event(7036, time, {fake_event_log::text(L"CorvelService"), param2});
    }
    static fake_event_log::values crash(
        std::int64_t time,
        std::wstring path = L"C:\\Program Files\\Valdrin\\Agent\\CorvelService.exe") {
        return fake_event_log::event(1000, time, {{string_array, 0, {L"x", path}}});
    }
    // How often the line "level function text" was logged.
    long times_logged(const std::wstring& line) const { return std::ranges::count(logged(), line); }

    std::vector<fake_event_log::values>& system = machine.events.channels[L"System"];
    std::vector<fake_event_log::values>& app = machine.events.channels[L"Application"];
};

TEST_F(WinEvents, BothLogsAreQueriedWithTheirSourceOpen) {
    EXPECT_TRUE(get_corvelservice_win_events(10000).value().empty());
    EXPECT_EQ(machine.events.sources,
              (std::vector<std::wstring>{L"Service Control Manager", L"Application Error"}));
    EXPECT_EQ(machine.events.queries,
              (std::vector<std::wstring>{system_events_query(10000), app_events_query(10000)}));
    EXPECT_EQ(system_events_query(10000),
              L"<QueryList>  <Query Path='System'>     <Select>Event/System[Provider["
              L"@EventSourceName = \"Service Control Manager\"] and TimeCreated[timediff("
              L"@SystemTime) &lt;= 10000]]</Select>  </Query></QueryList>");
    EXPECT_EQ(app_events_query(-5),
              L"<QueryList>  <Query Path='Application'>     <Select Path='Application'>Event/"
              L"System[Provider[@Name = \"Application Error\"] and EventID = 1000 and "
              L"TimeCreated[timediff(@SystemTime) &lt;= -5]]</Select>  </Query></QueryList>");
}

TEST_F(WinEvents, ValuesAreWidenedByTheirType) {
    // A value of each type (3 to 10: integers of 8, 16, 32 and 64 bits, signed then unsigned;
    // 0 null; 12 double; 1 string) and what it is widened to.
    const std::pair<winapi::event_value, eventlog::event_value> cases[] = {
        {{3, 0xABCDEF80u}, -128},  // bytes above the value ignored
        {{4, 0xFFu}, 255},
        {{5, 0x18000u}, -32768},
        {{6, 0xFFFFu}, 65535},
        {{7, 0x80000000u}, -2147483648LL},
        {{8, 0xFFFFFFFFu}, 4294967295LL},
        {{9, ~0ull}, -1},
        {{10, 1ull << 40}, 1LL << 40},
        {{0, 7}, std::nullopt},
        {{12, 0x3FF0000000000000u}, std::nullopt},
        {{0x88, 1}, std::nullopt},               // an array of unsigned 32 bits
        {{1, 0, {std::nullopt}}, std::nullopt},  // a null string
    };
    for (const auto& [value, widened] : cases) {
        system.push_back(scm(1700000000, value));
    }
    system.push_back(scm(1700000000, fake_event_log::text(L"stopped")));
    system.back()[1].bits += 9999999;  // whole seconds only

    const auto events = get_system_win_events(0, nullptr).value();
    ASSERT_EQ(events.size(), std::size(cases) + 1);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(events[i].param2, cases[i].second) << "type " << cases[i].first.type;
    }
    EXPECT_EQ(events.back(), (system_win_event_data{7036, 1700000000, L"CorvelService", L"stopped",
                                                    std::nullopt, std::nullopt}));
}

TEST_F(WinEvents, EventsThatCannotBeRenderedAreSkipped) {
    system = {scm(5), scm(5), {}, scm(5), scm(5), scm(5)};
    system[1][0].type = 8;     // an event id of 32 bits
    system[3][1].type = 10;    // a creation time that is a number
    faults.fail("render", 5);  // the fifth event
    app = {crash(5), crash(5), crash(5)};
    app[1][2].type = 1;                                    // data that is not an array
    app[2][2].texts = {std::nullopt, L"a", std::nullopt};  // null texts are dropped

    EXPECT_EQ(get_system_win_events(0, nullptr).value().size(), 2u);
    const auto crashes = get_app_win_events(0, nullptr).value();
    ASSERT_EQ(crashes.size(), 2u);
    EXPECT_EQ(crashes[1].data, std::vector<std::wstring>{L"a"});
    EXPECT_EQ(times_logged(L"8 get_system_win_events fail render win event\n"), 4);
    EXPECT_EQ(times_logged(L"8 get_app_win_events fail render win event\n"), 1);
}

TEST_F(WinEvents, WalkEndsAtTwentyFiveAcceptedOrAtAFailedFetch) {
    for (int i = 0; i < 60; ++i) {
        system.push_back(scm(100 - i));
    }
    const auto even = [](const system_win_event_data& e) { return e.time % 2 == 0; };
    const auto events = get_system_win_events(0, even).value();
    ASSERT_EQ(events.size(), 25u);
    EXPECT_EQ(events.back().time, 52);
    EXPECT_EQ(faults.calls("next"), 49);  // no fetch after the 25th

    faults.fail("next", faults.calls("next") + 3);
    EXPECT_EQ(get_system_win_events(0, nullptr).value().size(), 2u);
}

TEST_F(WinEvents, AgentFiltersMatchTheServiceExactlyAndTheExecutableInAnyCase) {
    system = {scm(9), fake_event_log::event(7036, 8, {fake_event_log::text(L"corvelservice")}),
              fake_event_log::event(7036, 7, {winapi::event_value{8, 1}}),
              fake_event_log::event(7036, 6, {})};
    EXPECT_EQ(get_corvelservice_system_win_events(0).value().size(), 1u);

    app = {crash(9), crash(8, L"c:\\program files\\VALDRIN\\agent\\corvelservice.EXE"),
           crash(7, L"C:\\Program Files\\Valdrin\\Agent\\1.0.0\\CorvelService.exe"),
           crash(6, L"CorvelService.exe")};
    const auto crashes = get_corvelservice_app_win_events(0).value();
    ASSERT_EQ(crashes.size(), 2u);
    EXPECT_EQ(crashes[1].time, 8);

    faults.fail("file_name", faults.calls("file_name") + 1, 6);
    const auto failed = get_corvelservice_app_win_events(0);
    EXPECT_EQ(failed.error().code.value(), 6);
    EXPECT_EQ(failed.error().text, "failed this_process::get_foldername");
}

TEST_F(WinEvents, MergeKeepsTheTwentyFiveNewestWithApplicationFirstOnTies) {
    for (int i = 0; i < 30; ++i) {
        system.push_back(scm(1000 - 2 * i));
        app.push_back(crash(1001 - 3 * i));  // 1001, 998, 995, 992: ties at 998, 992, ...
    }
    std::wstring kinds;
    const auto events = get_corvelservice_win_events(0).value();
    for (const auto& event : events) {
        kinds += std::holds_alternative<app_win_event_data>(event) ? L'a' : L's';
    }
    EXPECT_EQ(kinds, L"asassasassasassasassasass");
}

TEST_F(WinEvents, AFailedLogBecomesANoteAfterTheOtherLogsEvents) {
    for (int i = 0; i < 25; ++i) {
        app.push_back(crash(100 - i));
    }
    faults.fail("open_source", 1, 1722);
    auto events = get_corvelservice_win_events(0).value();
    ASSERT_EQ(events.size(), 25u);
    EXPECT_EQ(std::get<app_win_event_data>(events[23]).time, 77);
    EXPECT_EQ(std::get<system_win_event_data>(events[24]),
              (system_win_event_data{0, 0, L"Failed load system events", L"1722",
                                     L"event_log::open failed", std::nullopt}));
    EXPECT_EQ(times_logged(L"8 get_corvelservice_win_events get_corvelservice_system_win_events "
                           L"err=1722 event_log::open failed\n"),
              1);
    EXPECT_EQ(times_logged(L"4 get_corvelservice_system_win_events get_system_win_events err=1722 "
                           L"event_log::open failed\n"),
              1);

    system = {scm(3)};
    faults.fail("query", faults.calls("query") + 2, 15007);
    events = get_corvelservice_win_events(0).value();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(std::get<app_win_event_data>(events[1]),
              (app_win_event_data{
                  0, 0, {L"Failed load app events", L"15007", L"event_log::query failed"}}));

    app.clear();
    faults.fail("query", faults.calls("query") + 1, 5);
    events = get_corvelservice_win_events(0).value();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(std::get<system_win_event_data>(events[0]).param2, event_value(L"5"));
}

}  // namespace
