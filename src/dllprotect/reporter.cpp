#include "dllprotect/reporter.h"

#include <functional>
#include <new>

#include "logging/log.h"
#include "platform/config/product_settings.h"
#include "platform/signature.h"
#include "stdext/path.h"
#include "stdext/utf.h"

namespace dllprotect {
namespace {

constexpr const char* report_event_name = "dllprotect_report";
constexpr const char* report_event_version = "2";

std::string lowered(const char* field) {
    return stdext::to_lower(field == nullptr ? "" : field);
}

std::string text_of(const char* field) {
    return field == nullptr ? std::string() : std::string(field);
}

const std::string& application_id() {
    static const std::string fallback;
    const std::string* id = platform::config::get_narrow_setting(platform::config::setting::app_id);
    return id == nullptr ? fallback : *id;
}

void warn_option(const char* what, telemetry::vdec_status status) {
    logging::logger_stream(logging::level_warning, L"dllprotect::make_configured_vdec")
        << what << status;
}

}  // namespace

report_key make_report_key(const DllProtectEvent& event) {
    return {lowered(event.load_path), lowered(event.request_path), lowered(event.reason)};
}

std::size_t report_key_hash::operator()(const report_key& key) const noexcept {
    const std::hash<std::string> hash;
    std::size_t h = hash(key.load_path);
    h = h * 31 + hash(key.request_path);
    return h * 31 + hash(key.reason);
}

stdext::expected<std::unique_ptr<telemetry::vdec_api>> make_configured_vdec() {
    auto api = telemetry::open_vdec(L"");
    if (!api) {
        return stdext::unexpected(stdext::error{api.error().code, "failed vdec::make_handle"});
    }
    const auto& f = (*api)->functions();
    if (const auto s = f.set_option(0, telemetry::vdec_option_submit_use_vdnc_cloud, 1, 0);
        s != 0) {
        warn_option("failed set_option submit_use_vdnc_cloud err=", s);
    }
    const std::string& app = application_id();
    if (const auto s = f.set_option_var_len(0, telemetry::vdec_option_app_name, app.data(),
                                            static_cast<std::uint32_t>(app.size()));
        s != 0) {
        warn_option("failed set_option app_name err=", s);
    }
    return std::move(*api);
}

dllprotect_reporter::dllprotect_reporter(std::wstring application)
    : application_(std::move(application)) {
    reported_.max_load_factor(1.0f);
}

bool dllprotect_reporter::reported(const report_key& key) {
    const std::lock_guard lock(reported_mutex_);
    return reported_.count(key) != 0;
}

void dllprotect_reporter::mark_reported(report_key key) {
    const std::lock_guard lock(reported_mutex_);
    reported_.insert(std::move(key));
}

const telemetry::vdec_api* dllprotect_reporter::client() {
    const std::lock_guard lock(client_mutex_);
    if (!client_created_) {
        if (auto api = make_configured_vdec()) {
            client_ = std::move(*api);
            client_created_ = true;
        }
    }
    return client_.get();
}

const char* signature_label(const char* load_path) {
    const std::string narrow = text_of(load_path);
    // The converter replaces what is not UTF-8; only a text that survives the round trip is one.
    const std::wstring wide = stdext::utf8_to_wide(narrow);
    if (stdext::wide_to_utf8(wide) != narrow) {
        return "UNKNOWN";
    }
    const auto trusted = platform::try_verify_signature(wide);
    return trusted && *trusted ? "SIGNED" : "UNSIGNED";
}

stdext::expected<telemetry::vdec_event> build_report_event(const telemetry::vdec_api& api,
                                                           const DllProtectEvent& event,
                                                           const std::wstring& application,
                                                           const char* signature) {
    const auto failed = [] {
        return stdext::unexpected(stdext::error{{}, "failed build tolvar event"});
    };
    try {
        telemetry::vdec_event report(
            api, telemetry::create_event(api, report_event_name, report_event_version,
                                         application_id()));
        if (report.handle() == 0) {
            return failed();
        }
        // The first field the library refuses ends the build.
        const std::string load_path = text_of(event.load_path);
        const bool complete =
            report.add("request_path", text_of(event.request_path)) &&
            report.add("load_path", load_path) &&
            report.add(L"module_name",
                       std::wstring(stdext::path::file_name(stdext::utf8_to_wide(load_path)))) &&
            report.add("reason", text_of(event.reason)) &&
            report.add("function_name", text_of(event.function_name)) &&
            report.add("flags", text_of(event.flags)) && report.add(L"process_name", application) &&
            report.add("caller_name", text_of(event.caller_name)) &&
            report.add("caller_offset", text_of(event.caller_offset)) &&
            report.add("error_info", text_of(event.error_info)) &&
            report.add("signature", std::string(signature));
        if (!complete) {
            return failed();
        }
        return report;
    } catch (const std::bad_alloc&) {
        return failed();
    }
}

void host_callback(const DllProtectEvent* event, void* context) {
    if (event == nullptr || context == nullptr) {
        return;
    }
    auto& reporter = *static_cast<dllprotect_reporter*>(context);
    report_key key = make_report_key(*event);
    if (reporter.reported(key)) {
        return;
    }
    const telemetry::vdec_api* api = reporter.client();
    if (api == nullptr) {
        return;
    }
    const auto report =
        build_report_event(*api, *event, reporter.application(), signature_label(event->load_path));
    if (!report) {
        return;
    }
    if (report->submit()) {
        reporter.mark_reported(std::move(key));
    }
}

}  // namespace dllprotect
