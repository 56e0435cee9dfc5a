// The event client library as a table of test functions. Each records its call as one line, the
// export's name and its arguments: "SetOptionA 0 3 1 0", "CreateEcEventA m_event 1.0 app",
// "AddKeyValueEventW key=value" (the kind of a field is the export that added it),
// "OverWriteReservedKeyStringA key=value", "SubmitEvent 16 0". One instance at a time.
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
    fake_vdec();
    ~fake_vdec();
    fake_vdec(const fake_vdec&) = delete;
    fake_vdec& operator=(const fake_vdec&) = delete;

    // The exports the binding calls.
    telemetry::vdec_functions functions() const;
    // Every export of the library by name; those the binding never calls fail the test.
    std::map<std::string, void*> exports() const;
    // An initialised library on the table.
    std::unique_ptr<telemetry::vdec_api> api() const;

    // A key refused with a status. A failure planned with faults() answers its code as the
    // status ("Init" as its result); "CreateEcEventA" then returns 0.
    std::map<std::string, telemetry::vdec_status> key_status;
    std::string text = "{\"event\":1}";  // the text of every event

    std::vector<std::string> calls;
    handle_table events;  // every event must be destroyed exactly once
    int texts_out = 0;    // texts handed out and not freed

    static fake_vdec& current();
    telemetry::vdec_status status(const std::string& operation, const std::string& key = {});
};

}  // namespace fakes
