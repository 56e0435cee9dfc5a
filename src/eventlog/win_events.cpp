#include "eventlog/win_events.h"

#include <ostream>
#include <utility>

#include "logging/log.h"
#include "stdext/path.h"
#include "stdext/utf.h"
#include "winapi/event_log.h"
#include "winapi/facility.h"
#include "winapi/folders.h"
#include "winapi/win_error_category.h"

namespace eventlog {
namespace {

constexpr wchar_t agent_service_name[] = L"CorvelService";
constexpr wchar_t agent_executable_name[] = L"CorvelService.exe";

// Seconds between 1601-01-01 (file times) and 1970-01-01.
constexpr std::int64_t file_time_epoch_offset = 11644473600;
constexpr std::uint64_t file_time_ticks_per_second = 10000000;

stdext::unexpected<stdext::error> failure(std::uint32_t code, std::string text) {
    return stdext::unexpected(winapi::win_failure(code, std::move(text)));
}

std::uint32_t code_of(const stdext::error& e) {
    return static_cast<std::uint32_t>(e.code.value());
}

// "<name> err=<code> <text>" and a line break.
void log_error(logging::log_level level, const wchar_t* function, const wchar_t* name,
               const stdext::error& e) {
    logging::logger_stream(level, function)
        << name << L" err=" << code_of(e) << L' ' << stdext::utf8_to_wide(e.text) << std::endl;
}

std::wstring time_window_query(const wchar_t* head, std::int64_t window_ms) {
    return std::wstring(head) + L" and TimeCreated[timediff(@SystemTime) &lt;= " +
           std::to_wstring(window_ms) + L"]]</Select>  </Query></QueryList>";
}

// The value of a path the event may lack.
const winapi::event_value& value_at(const std::vector<winapi::event_value>& values,
                                    std::size_t index) {
    static const winapi::event_value missing;
    return index < values.size() ? values[index] : missing;
}

// A value by its type: a string, or an integer widened as its type says; absent otherwise.
event_value convert(const winapi::event_value& v) {
    const std::uint64_t b = v.bits;
    switch (v.type) {
        case winapi::evt_var_type_string:
            if (v.texts.empty() || !v.texts.front()) {
                return std::nullopt;
            }
            return *v.texts.front();
        case winapi::evt_var_type_sbyte:
            return static_cast<std::int64_t>(static_cast<std::int8_t>(b & 0xFFu));
        case winapi::evt_var_type_byte:
            return static_cast<std::int64_t>(b & 0xFFu);
        case winapi::evt_var_type_int16:
            return static_cast<std::int64_t>(static_cast<std::int16_t>(b & 0xFFFFu));
        case winapi::evt_var_type_uint16:
            return static_cast<std::int64_t>(b & 0xFFFFu);
        case winapi::evt_var_type_int32:
            return static_cast<std::int64_t>(static_cast<std::int32_t>(b & 0xFFFFFFFFu));
        case winapi::evt_var_type_uint32:
            return static_cast<std::int64_t>(b & 0xFFFFFFFFu);
        case winapi::evt_var_type_int64:
        case winapi::evt_var_type_uint64:
            return static_cast<std::int64_t>(b);
        default:
            return std::nullopt;
    }
}

// The event id and creation time that lead every rendered event.
struct event_head {
    std::uint16_t id = 0;
    std::int64_t time = 0;
};

stdext::expected<event_head> read_head(const std::vector<winapi::event_value>& values) {
    if (values.empty()) {
        return failure(winapi::error_gen_failure, "empty return from event_log::render");
    }
    const auto& id = value_at(values, 0);
    if (id.type != winapi::evt_var_type_uint16) {
        return failure(winapi::error_gen_failure, "unexpected EventID type");
    }
    const auto& time = value_at(values, 1);
    if (time.type != winapi::evt_var_type_filetime) {
        return failure(winapi::error_gen_failure, "unexpected TimeCreated type");
    }
    return event_head{
        static_cast<std::uint16_t>(id.bits & 0xFFFFu),
        static_cast<std::int64_t>(time.bits / file_time_ticks_per_second) - file_time_epoch_offset};
}

const std::vector<std::wstring> system_value_paths = {
    L"Event/System/EventID",
    L"Event/System/TimeCreated/@SystemTime",
    L"Event/EventData/Data[@Name=\"param1\"]",
    L"Event/EventData/Data[@Name=\"param2\"]",
    L"Event/EventData/Data[@Name=\"param3\"]",
    L"Event/EventData/Data[@Name=\"param4\"]",
};

const std::vector<std::wstring> app_value_paths = {
    L"Event/System/EventID",
    L"Event/System/TimeCreated/@SystemTime",
    L"Event/EventData/Data",
};

stdext::expected<system_win_event_data> to_system_event(
    const std::vector<winapi::event_value>& values) {
    return read_head(values).transform([&values](const event_head& head) {
        return system_win_event_data{head.id,
                                     head.time,
                                     convert(value_at(values, 2)),
                                     convert(value_at(values, 3)),
                                     convert(value_at(values, 4)),
                                     convert(value_at(values, 5))};
    });
}

stdext::expected<app_win_event_data> to_app_event(const std::vector<winapi::event_value>& values) {
    return read_head(values).and_then(
        [&values](const event_head& head) -> stdext::expected<app_win_event_data> {
            const auto& data = value_at(values, 2);
            if (data.type != (winapi::evt_var_type_string | winapi::evt_var_type_array)) {
                return failure(winapi::error_gen_failure, "unexpected Data type");
            }
            app_win_event_data event{head.id, head.time, {}};
            for (const auto& text : data.texts) {
                if (text) {
                    event.data.push_back(*text);
                }
            }
            return event;
        });
}

// The walk shared by both logs: the source must open, then the newest events of the query are
// rendered one by one until `max_win_events` of them are accepted or the walk ends.
template <class Record, class Render, class Filter>
stdext::expected<std::vector<Record>> collect(const wchar_t* function, const std::wstring& source,
                                              const std::wstring& channel,
                                              const std::wstring& query,
                                              const std::vector<std::wstring>& paths, Render render,
                                              const Filter& filter) {
    auto& log = winapi::facility<winapi::event_log>::get();
    const auto available = log.open_source(source);  // held open until the walk is done
    if (!available) {
        return failure(code_of(available.error()), "event_log::open failed");
    }
    const auto events = log.query_newest_first(channel, query, paths);
    if (!events) {
        return failure(code_of(events.error()), "event_log::query failed");
    }
    std::vector<Record> records;
    while (records.size() < max_win_events) {
        auto values = (*events)->next();
        if (!values) {
            break;
        }
        const stdext::expected<Record> record = values->and_then(render);
        if (!record) {
            logging::logger_stream(logging::level_warning, function)
                << L"fail render win event" << std::endl;
            continue;
        }
        if (!filter || filter(*record)) {
            records.push_back(std::move(*record));
        }
    }
    return records;
}

system_win_event_data system_failure_note(const stdext::error& e) {
    return {0,
            0,
            std::wstring(L"Failed load system events"),
            std::to_wstring(code_of(e)),
            stdext::utf8_to_wide(e.text),
            std::nullopt};
}

app_win_event_data app_failure_note(const stdext::error& e) {
    return {0,
            0,
            {L"Failed load app events", std::to_wstring(code_of(e)), stdext::utf8_to_wide(e.text)}};
}

// The records of one log followed by the note about the other; the note takes the last place
// when the records fill the list.
template <class Record, class Note>
std::vector<win_event> with_note(std::vector<Record> records, Note note) {
    std::vector<win_event> events(std::make_move_iterator(records.begin()),
                                  std::make_move_iterator(records.end()));
    if (events.size() >= max_win_events) {
        events.resize(max_win_events - 1);
    }
    events.emplace_back(std::move(note));
    return events;
}

// Two newest-first lists as one, the later event first and the Application event first on a tie.
std::vector<win_event> merge(std::vector<system_win_event_data> system,
                             std::vector<app_win_event_data> app) {
    std::vector<win_event> events;
    auto s = system.begin();
    auto a = app.begin();
    while (events.size() < max_win_events && (s != system.end() || a != app.end())) {
        const bool take_system = a == app.end() || (s != system.end() && s->time > a->time);
        if (take_system) {
            events.emplace_back(std::move(*s++));
        } else {
            events.emplace_back(std::move(*a++));
        }
    }
    return events;
}

}  // namespace

std::wstring system_events_query(std::int64_t window_ms) {
    return time_window_query(
        L"<QueryList>  <Query Path='System'>     <Select>Event/System[Provider[@EventSourceName "
        L"= \"Service Control Manager\"]",
        window_ms);
}

std::wstring app_events_query(std::int64_t window_ms) {
    return time_window_query(
        L"<QueryList>  <Query Path='Application'>     <Select Path='Application'>Event/System["
        L"Provider[@Name = \"Application Error\"] and EventID = 1000",
        window_ms);
}

stdext::expected<std::vector<system_win_event_data>> get_system_win_events(
    std::int64_t window_ms, const std::function<bool(const system_win_event_data&)>& filter) {
    return collect<system_win_event_data>(L"get_system_win_events", L"Service Control Manager",
                                          L"System", system_events_query(window_ms),
                                          system_value_paths, to_system_event, filter);
}

stdext::expected<std::vector<app_win_event_data>> get_app_win_events(
    std::int64_t window_ms, const std::function<bool(const app_win_event_data&)>& filter) {
    return collect<app_win_event_data>(L"get_app_win_events", L"Application Error", L"Application",
                                       app_events_query(window_ms), app_value_paths, to_app_event,
                                       filter);
}

stdext::expected<std::vector<system_win_event_data>> get_corvelservice_system_win_events(
    std::int64_t window_ms) {
    auto events = get_system_win_events(window_ms, [](const system_win_event_data& event) {
        const auto* name = event.param1 ? std::get_if<std::wstring>(&*event.param1) : nullptr;
        return name != nullptr && *name == agent_service_name;
    });
    if (!events) {
        log_error(logging::level_error, L"get_corvelservice_system_win_events",
                  L"get_system_win_events", events.error());
    }
    return events;
}

stdext::expected<std::vector<app_win_event_data>> get_corvelservice_app_win_events(
    std::int64_t window_ms) {
    const auto folder = winapi::this_process::get_foldername();
    if (!folder) {
        return failure(code_of(folder.error()), "failed this_process::get_foldername");
    }
    const std::wstring executable = stdext::to_lower(
        stdext::path::join(stdext::path::parent(stdext::path::without_trailing_separator(*folder)),
                           agent_executable_name),
        stdext::case_rule::ascii);
    auto events = get_app_win_events(window_ms, [&](const app_win_event_data& event) {
        for (const auto& text : event.data) {
            if (stdext::to_lower(text, stdext::case_rule::ascii) == executable) {
                return true;
            }
        }
        return false;
    });
    if (!events) {
        log_error(logging::level_error, L"get_corvelservice_app_win_events", L"get_app_win_events",
                  events.error());
    }
    return events;
}

stdext::expected<std::vector<win_event>> get_corvelservice_win_events(std::int64_t window_ms) {
    constexpr const wchar_t* function = L"get_corvelservice_win_events";
    auto system = get_corvelservice_system_win_events(window_ms);
    auto app = get_corvelservice_app_win_events(window_ms);
    if (!system) {
        log_error(logging::level_warning, function, L"get_corvelservice_system_win_events",
                  system.error());
    }
    if (!app) {
        log_error(logging::level_warning, function, L"get_corvelservice_app_win_events",
                  app.error());
    }
    if (!system && !app) {
        return failure(winapi::error_gen_failure,
                       "failed get_corvelservice_system_win_events & "
                       "get_corvelservice_app_win_events");
    }
    if (!system) {
        return with_note(std::move(*app), system_failure_note(system.error()));
    }
    if (!app) {
        return with_note(std::move(*system), app_failure_note(app.error()));
    }
    return merge(std::move(*system), std::move(*app));
}

}  // namespace eventlog
