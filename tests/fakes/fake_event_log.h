// Event logs as a test wants them: per channel, the events newest first as lists of rendered
// values. Open logs and queries are checked to be closed. "open_source", "query" and "render"
// fail through the fault plan; a failing "next" ends the walk as a failed fetch does.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fakes/kit.h"
#include "winapi/event_log.h"

namespace fakes {

class fake_event_log final : public winapi::event_log, public fake_base {
public:
    using values = std::vector<winapi::event_value>;

    using fake_base::fake_base;

    std::map<std::wstring, std::vector<values>> channels;
    std::vector<std::wstring> sources;  // every source opened
    std::vector<std::wstring> queries;  // every query run
    handle_table held;

    static winapi::event_value text(std::wstring s) {
        return {winapi::evt_var_type_string, 0, {std::move(s)}};
    }
    // An event created `unix_time` seconds after 1970, with the values after id and time.
    static values event(std::uint16_t id, std::int64_t unix_time, values rest) {
        const auto file_time = static_cast<std::uint64_t>(unix_time + 11644473600) * 10000000;
        rest.insert(rest.begin(), {{winapi::evt_var_type_uint16, id},
                                   {winapi::evt_var_type_filetime, file_time}});
        return rest;
    }

    stdext::expected<std::unique_ptr<winapi::classic_event_log>> open_source(
        const std::wstring& source) override {
        sources.push_back(source);
        return answer("open_source", [&] {
            return std::unique_ptr<winapi::classic_event_log>(new held_log(held));
        });
    }
    stdext::expected<std::unique_ptr<winapi::event_query>> query_newest_first(
        const std::wstring& channel, const std::wstring& query,
        const std::vector<std::wstring>&) override {
        queries.push_back(query);
        return answer("query", [&] {
            return std::unique_ptr<winapi::event_query>(new walk(*this, channels[channel]));
        });
    }

private:
    struct held_log final : winapi::classic_event_log {
        explicit held_log(handle_table& table) : in(table), id(table.open("handle")) {}
        ~held_log() override { in.close(id); }
        handle_table& in;
        std::uintptr_t id;
    };
    struct walk final : winapi::event_query {
        walk(fake_event_log& log, const std::vector<values>& all)
            : owner(log), events(all), handle(log.held) {}
        std::optional<stdext::expected<values>> next() override {
            if (owner.check("next") || current == events.size()) {
                return std::nullopt;
            }
            const values& v = events[current++];
            auto fault = owner.check("render");
            return fault ? stdext::expected<values>(stdext::unexpected(*fault))
                         : stdext::expected<values>(v);
        }
        fake_event_log& owner;
        const std::vector<values>& events;
        std::size_t current = 0;
        held_log handle;
    };
};

}  // namespace fakes
