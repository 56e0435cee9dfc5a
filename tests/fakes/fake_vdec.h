// The event client library as a table of test functions: the binding calls them as it calls the
// library's exports, and they record every call and every event. One instance at a time.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fakes/kit.h"
#include "telemetry/vdec.h"

namespace fakes {

class fake_vdec : public fake_base {
public:
    struct field {
        std::string key;
        char kind;  // 'W' wide, 'A' narrow, 'I' 64-bit integer
        std::string value;
        bool operator==(const field&) const = default;
    };
    struct event {
        std::uintptr_t descriptor_size = 0;
        std::string name, version, application;
        std::vector<field> fields;
        bool submitted = false;
    };

    fake_vdec();
    ~fake_vdec();
    fake_vdec(const fake_vdec&) = delete;
    fake_vdec& operator=(const fake_vdec&) = delete;

    // The exports the binding calls.
    telemetry::vdec_functions functions() const;
    // Every export of the library by name (those the binding never calls do nothing).
    std::map<std::string, void*> exports() const;
    // An initialised library on the table.
    std::unique_ptr<telemetry::vdec_api> api() const;

    // A status to answer for a key; a failure planned for a call (faults()) answers its code as
    // the status, for "Init" as its result, and makes "CreateEcEventA" return 0.
    std::map<std::string, telemetry::vdec_status> key_status;
    std::string event_text = "{\"event\":1}";

    std::vector<std::string> calls;  // each call: the export's name and its arguments
    std::vector<event> events;       // in the order of creation
    std::map<std::string, std::string> reserved;
    handle_table handles;  // every event must be destroyed exactly once

    // Used by the test functions.
    static fake_vdec& current();
    telemetry::vdec_status status(const char* operation);
    event& by_handle(telemetry::vdec_handle handle);
    std::map<telemetry::vdec_handle, std::size_t> event_index;
    std::vector<char*> text_addresses;
};

}  // namespace fakes
