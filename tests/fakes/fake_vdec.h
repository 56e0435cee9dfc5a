// "vdec.dll" for unit tests: a library in the fake machine's modules whose exports record each
// call as one line, the export's name and its arguments ("SetOptionA 0 3 1 0",
// "AddKeyValueEventW key=value": the kind of a field is the export that added it). A call the
// fault plan fails answers the planned code as its status ("CreateEcEventA" then returns 0); so
// does a field or reserved key whose key the plan fails. Every event must be destroyed once. The
// exports are plain functions, so only one instance may exist at a time.
#pragma once

#include <sstream>

#include "fakes/fake_machine.h"
#include "stdext/utf.h"
#include "telemetry/vdec_abi.h"

namespace fakes {

class fake_vdec : public fake_base {
public:
    // The library at path, lacking the export `omit`.
    fake_vdec(fake_machine& machine, const std::wstring& path, std::string_view omit = {}) {
        current = this;
        const auto fn = [](auto* f) { return reinterpret_cast<void*>(f); };
        share_faults(machine.faults);
        using h = telemetry::vdec_handle;
        using u = std::uint32_t;
        std::map<std::string, void*> exports;
        for (const auto name : telemetry::vdec_export_names) {
            exports[std::string(name)] = fn(+[] { ADD_FAILURE() << "an export not to be called"; });
        }
        exports["Init"] = fn(+[]() -> std::int32_t { return call("Init"); });
        exports["Uninit"] = fn(+[] { (void)call("Uninit"); });
        exports["SetOptionA"] =
            fn(+[](u s, u o, u v, u r) { return call("SetOptionA", s, o, v, r); });
        exports["SetOptionVarLenA"] = fn(+[](u s, u o, const void* bytes, u n) {
            return call("SetOptionVarLenA", s, o, std::string(static_cast<const char*>(bytes), n),
                        n);
        });
        exports["OverWriteReservedKeyStringA"] = fn(+[](const char* key, const char* value) {
            return field("OverWriteReservedKeyStringA", 0, key, value);
        });
        exports["CreateEcEventA"] = fn(+[](const telemetry::event_descriptor* d) -> h {
            return call("CreateEcEventA", d->name, d->version, d->application) == 0
                       ? current->events.open("event")
                       : 0;
        });
        exports["AddKeyValueEventW"] = fn(+[](h e, const wchar_t* key, const wchar_t* value) {
            return field("AddKeyValueEventW", e, utf8(key), utf8(value));
        });
        exports["AddKeyValueEventA"] = fn(+[](h e, const char* key, const char* value) {
            return field("AddKeyValueEventA", e, key, value);
        });
        exports["AddKeyValueEventInt64W"] = fn(+[](h e, const wchar_t* key, std::int64_t value) {
            return field("AddKeyValueEventInt64W", e, utf8(key), std::to_string(value));
        });
        exports["GetEventTextA"] = fn(+[](h, char** text) {
            *text = current->event_text.data();  // only read by the program
            return call("GetEventTextA");
        });
        exports["FreeEventTextA"] = fn(+[](char*) { return call("FreeEventTextA"); });
        exports["SubmitEvent"] = fn(+[](h, u flags, u r) { return call("SubmitEvent", flags, r); });
        exports["DestroyEvent"] =
            fn(+[](h e) { return current->events.close(e) ? call("DestroyEvent") : -1; });
        exports.erase(std::string(omit));
        machine.modules.add_library(path, std::move(exports));
    }
    ~fake_vdec() { current = nullptr; }

    std::vector<std::string> calls;
    handle_table events;
    std::string event_text = "{\"event\":1}";  // what "GetEventTextA" gives, UTF-8

private:
    static inline fake_vdec* current = nullptr;
    static std::string utf8(const wchar_t* text) { return stdext::wide_to_utf8(text); }
    template <class... Args>
    static telemetry::vdec_status call(const char* name, const Args&... args) {
        std::ostringstream line;
        line << name;
        ((line << ' ' << args), ...);
        current->calls.push_back(line.str());
        const auto failure = current->check(name);
        return failure ? failure->code.value() : 0;
    }
    // A field of event e, or a reserved key when e is 0.
    static telemetry::vdec_status field(const char* name, telemetry::vdec_handle e,
                                        const std::string& key, const std::string& value) {
        EXPECT_TRUE(e == 0 || current->events.is_open(e)) << name << " on a closed event";
        const telemetry::vdec_status status = call(name, key + "=" + value);
        const auto refused = current->check(key);
        return refused ? refused->code.value() : status;
    }
};

}  // namespace fakes
