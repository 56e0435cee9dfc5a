// The report of a check-and-repair run: one event "m_agent_repaired" (version "1.0") with the
// machine's identifiers, a description of the device, the trigger "wardex" and the caller's
// reason and action. The object sets up the event client library when constructed and sends the
// event when asked; it is made for one report.
//
//     telemetry::m_agent_repaired report(folder, sources);
//     const bool sent = report.submit(L"service_stopped", L"start_service");
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "telemetry/device_id.h"
#include "telemetry/system_info.h"
#include "telemetry/vdec.h"

namespace telemetry {

// What the event client library is set up with.
struct client_settings {
    std::string application;  // the product's application id
    std::string language;     // the product's language tag
    std::string version;      // the product's version
};

// Where the report takes its settings, identifiers and device facts from. Each may raise; a
// failure ends the construction or the submission it happens in.
struct repair_event_sources {
    std::function<client_settings()> settings;
    // The stored anonymous id; empty when there is none.
    std::function<std::wstring()> anon_id;
    // The device id calculated in this run (calculated_device_id).
    std::function<std::wstring()> calculated_anon_id;
    // The device facts; waits until they are collected (device_facts).
    std::function<system_info_t()> system_info;
};

// The settings of the installed product: its application id and language from the product
// settings and its version from the product key. Raises when the product key has no "Install" key.
[[nodiscard]] client_settings product_client_settings();

// The sources of the installed product and this machine: product_client_settings, GetAnonId of
// the product key, device_id and facts. Both must outlive the sources; every report of a run
// shares them, so the id is computed and the facts are collected at most once.
[[nodiscard]] repair_event_sources product_event_sources(calculated_device_id& device_id,
                                                         device_facts& facts);

class m_agent_repaired {
public:
    // Sets up the event client library of folder. A failure is logged, and the object then sends
    // nothing.
    m_agent_repaired(std::wstring_view folder, repair_event_sources sources);

    // Builds, logs and submits the event; false when it was not submitted. Every failure is
    // logged once.
    [[nodiscard]] bool submit(const std::wstring& reason, const std::wstring& action);

    // The event with every field; raises on a failure of the fields that matter.
    [[nodiscard]] vdec_event build_event(const std::wstring& anon_id, const std::wstring& reason,
                                         const std::wstring& action);

private:
    repair_event_sources sources_;
    std::unique_ptr<vdec_factory> factory_;
};

}  // namespace telemetry
