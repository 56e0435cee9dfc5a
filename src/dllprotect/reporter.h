// The host side's sink of protection events: each new event (by load path, requested path and
// reason) becomes one "dllprotect_report" telemetry event through the product's event client
// library, which is loaded when the first event arrives. The engine calls host_callback on its
// events worker thread with the reporter as context.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>

#include "dllprotect/protect_types.h"
#include "stdext/expected.h"
#include "telemetry/vdec.h"

namespace dllprotect {

// What makes two events the same report: three fields, lower-cased (a null field is empty).
struct report_key {
    std::string load_path;
    std::string request_path;
    std::string reason;
    bool operator==(const report_key&) const = default;
};
[[nodiscard]] report_key make_report_key(const DllProtectEvent& event);

struct report_key_hash {
    [[nodiscard]] std::size_t operator()(const report_key& key) const noexcept;
};

// The event client library "vdec.dll" by its bare name, initialised, with the two options set (a
// refused option is logged and tolerated). Fails with "failed vdec::make_handle".
[[nodiscard]] stdext::expected<std::unique_ptr<telemetry::vdec_api>> make_configured_vdec();

class dllprotect_reporter {
public:
    explicit dllprotect_reporter(std::wstring application);
    dllprotect_reporter(const dllprotect_reporter&) = delete;
    dllprotect_reporter& operator=(const dllprotect_reporter&) = delete;
    ~dllprotect_reporter() = default;

    [[nodiscard]] const std::wstring& application() const noexcept { return application_; }

    // Whether the key was reported already.
    [[nodiscard]] bool reported(const report_key& key);
    void mark_reported(report_key key);
    // The event client, created on the first call that needs it; a failed creation is tried
    // again on the next call. Null while there is none.
    [[nodiscard]] const telemetry::vdec_api* client();

private:
    const std::wstring application_;
    std::mutex reported_mutex_;
    std::unordered_set<report_key, report_key_hash> reported_{8};
    std::mutex client_mutex_;
    std::unique_ptr<telemetry::vdec_api> client_;
    bool client_created_ = false;
};

// The "dllprotect_report" event of one protection event, with the signature label of its load
// path ("SIGNED", "UNSIGNED" or "UNKNOWN"). Fails with "failed build tolvar event".
[[nodiscard]] stdext::expected<telemetry::vdec_event> build_report_event(
    const telemetry::vdec_api& api, const DllProtectEvent& event, const std::wstring& application,
    const char* signature);

// "UNKNOWN" for a load path that is not UTF-8, otherwise "SIGNED" when the file's embedded or
// catalog signature verifies and "UNSIGNED" when not (or when the test fails).
[[nodiscard]] const char* signature_label(const char* load_path);

// The engine's callback (a DllProtectEventsCbk); context is the dllprotect_reporter.
void host_callback(const DllProtectEvent* event, void* context);

}  // namespace dllprotect
