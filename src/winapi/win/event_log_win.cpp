#include <windows.h>
#include <winevt.h>

#include <cstring>
#include <vector>

#include "winapi/win/handles.h"
#include "winapi/win/system_facilities.h"

namespace winapi {
namespace {

using unique_evt_handle = unique_released_by<EVT_HANDLE, &::EvtClose>;
using unique_classic_log = unique_released_by<HANDLE, &::CloseEventLog>;

stdext::unexpected<stdext::error> last_failure(const char* step) {
    const DWORD rc = ::GetLastError();
    return stdext::unexpected(win_failure(rc == ERROR_SUCCESS ? error_gen_failure : rc, step));
}

class windows_classic_log final : public classic_event_log {
public:
    explicit windows_classic_log(HANDLE log) : log_(log) {}

private:
    unique_classic_log log_;
};

// The value of one rendered EVT_VARIANT.
event_value to_value(const EVT_VARIANT& v) {
    event_value value;
    value.type = v.Type;
    if (v.Type == EvtVarTypeString) {
        value.texts.emplace_back(v.StringVal != nullptr ? std::optional<std::wstring>(v.StringVal)
                                                        : std::nullopt);
    } else if (v.Type == (EvtVarTypeString | EVT_VARIANT_TYPE_ARRAY)) {
        for (DWORD i = 0; i < v.Count; ++i) {
            const wchar_t* text = v.StringArr != nullptr ? v.StringArr[i] : nullptr;
            value.texts.emplace_back(text != nullptr ? std::optional<std::wstring>(text)
                                                     : std::nullopt);
        }
    } else if ((v.Type & EVT_VARIANT_TYPE_ARRAY) == 0) {
        static_assert(sizeof(v.UInt64Val) == sizeof(value.bits));
        std::memcpy(&value.bits, &v.UInt64Val, sizeof(value.bits));
    }
    return value;
}

class windows_event_query final : public event_query {
public:
    windows_event_query(EVT_HANDLE query, const std::vector<std::wstring>& paths)
        : query_(query), paths_(paths) {}

    std::optional<stdext::expected<std::vector<event_value>>> next() override {
        EVT_HANDLE fetched = nullptr;
        DWORD returned = 0;
        if (!::EvtNext(query_.get(), 1, &fetched, INFINITE, 0, &returned) || returned == 0) {
            return std::nullopt;  // the end of the result, or a fetch that failed
        }
        const unique_evt_handle event(fetched);
        return render(event.get());
    }

private:
    stdext::expected<std::vector<event_value>> render(EVT_HANDLE event) const {
        std::vector<LPCWSTR> paths;
        for (const auto& p : paths_) {
            paths.push_back(p.c_str());
        }
        const unique_evt_handle context(::EvtCreateRenderContext(
            static_cast<DWORD>(paths.size()), paths.data(), EvtRenderContextValues));
        if (!context) {
            return last_failure("event_log::create_render_ctx failed");
        }
        DWORD used = 0;
        DWORD count = 0;
        std::vector<EVT_VARIANT> buffer;
        if (!::EvtRender(context.get(), event, EvtRenderEventValues, 0, nullptr, &used, &count)) {
            if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
                return last_failure("event_log::render failed");
            }
            buffer.resize((used + sizeof(EVT_VARIANT) - 1) / sizeof(EVT_VARIANT));
            if (!::EvtRender(context.get(), event, EvtRenderEventValues, used, buffer.data(), &used,
                             &count)) {
                return last_failure("event_log::render failed");
            }
        }
        std::vector<event_value> values;
        for (DWORD i = 0; i < count && i < buffer.size(); ++i) {
            values.push_back(to_value(buffer[i]));
        }
        return values;
    }

    unique_evt_handle query_;
    std::vector<std::wstring> paths_;
};

class windows_event_log final : public event_log {
public:
    stdext::expected<std::unique_ptr<classic_event_log>> open_source(
        const std::wstring& source) override {
        HANDLE log = ::OpenEventLogW(nullptr, source.c_str());
        if (log == nullptr) {
            return last_failure("OpenEventLog failed");
        }
        return std::unique_ptr<classic_event_log>(new windows_classic_log(log));
    }

    stdext::expected<std::unique_ptr<event_query>> query_newest_first(
        const std::wstring& channel, const std::wstring& query,
        const std::vector<std::wstring>& value_paths) override {
        EVT_HANDLE result = ::EvtQuery(nullptr, channel.c_str(), query.c_str(),
                                       EvtQueryChannelPath | EvtQueryReverseDirection);
        if (result == nullptr) {
            return last_failure("EvtQuery failed");
        }
        return std::unique_ptr<event_query>(new windows_event_query(result, value_paths));
    }
};

}  // namespace

event_log& windows_event_log_instance() {
    static windows_event_log instance;
    return instance;
}

}  // namespace winapi
