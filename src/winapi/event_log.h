// The Windows event log facility: whether a classic event source can be opened, and reverse
// channel queries whose events come back rendered as lists of typed values. The Windows version
// does the Event Log API sequence; what the values mean is decided by the callers.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "stdext/expected.h"

namespace winapi {

// The value types of a rendered event value (EVT_VARIANT_TYPE) that readers tell apart.
inline constexpr std::uint32_t evt_var_type_null = 0;
inline constexpr std::uint32_t evt_var_type_string = 1;
inline constexpr std::uint32_t evt_var_type_sbyte = 3;
inline constexpr std::uint32_t evt_var_type_byte = 4;
inline constexpr std::uint32_t evt_var_type_int16 = 5;
inline constexpr std::uint32_t evt_var_type_uint16 = 6;
inline constexpr std::uint32_t evt_var_type_int32 = 7;
inline constexpr std::uint32_t evt_var_type_uint32 = 8;
inline constexpr std::uint32_t evt_var_type_int64 = 9;
inline constexpr std::uint32_t evt_var_type_uint64 = 10;
inline constexpr std::uint32_t evt_var_type_filetime = 17;
// Set in the type of a value that is an array of its base type.
inline constexpr std::uint32_t evt_var_type_array = 0x80;

// One rendered value as EvtRender gives it.
struct event_value {
    // The type with the array flag; evt_var_type_null for a path the event does not have.
    std::uint32_t type = evt_var_type_null;
    // The value's eight bytes as stored, for scalar types other than strings. A value narrower
    // than eight bytes sits in the low bytes; the bytes above it are not defined.
    std::uint64_t bits = 0;
    // Strings: one entry for a single string, one per element for an array. A null string is
    // nullopt.
    std::vector<std::optional<std::wstring>> texts{};
};

// An open classic event log; closed (CloseEventLog) when dropped.
class classic_event_log {
public:
    virtual ~classic_event_log() = default;
};

// The events of one query, newest first, fetched one at a time; the query is closed when dropped.
class event_query {
public:
    virtual ~event_query() = default;
    // Fetches the next event (EvtNext, one event, infinite time-out) and renders the values of
    // the query's paths: a values render context for the paths (EvtCreateRenderContext), then
    // EvtRender asked for its size and then with a buffer of that size. The render context and
    // the event are closed before returning.
    //
    // nullopt: the walk ended, at the end of the result or because a fetch failed. An error: the
    // event could not be rendered (the code of EvtCreateRenderContext or EvtRender). An empty
    // list: the render gave no data at all.
    [[nodiscard]] virtual std::optional<stdext::expected<std::vector<event_value>>> next() = 0;
};

class event_log {
public:
    virtual ~event_log() = default;

    // OpenEventLogW on the local computer for the source; the error code is the last error.
    [[nodiscard]] virtual stdext::expected<std::unique_ptr<classic_event_log>> open_source(
        const std::wstring& source) = 0;

    // EvtQuery(no session, channel, query, EvtQueryChannelPath | EvtQueryReverseDirection); each
    // event is rendered for value_paths, in their order. The error code is the last error.
    [[nodiscard]] virtual stdext::expected<std::unique_ptr<event_query>> query_newest_first(
        const std::wstring& channel, const std::wstring& query,
        const std::vector<std::wstring>& value_paths) = 0;
};

}  // namespace winapi
