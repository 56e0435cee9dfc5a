#include "telemetry/m_agent_repaired.h"

#include <stdexcept>

#include "logging/log.h"
#include "platform/config/product_settings.h"
#include "platform/registry_values.h"
#include "stdext/raise.h"
#include "stdext/utf.h"
#include "telemetry/device_id.h"

namespace telemetry {
namespace {

constexpr const char* event_name = "m_agent_repaired";
constexpr const char* event_version = "1.0";

// A failed call of the library ends the report with the name of its status.
void require(const stdext::expected<void>& done) {
    stdext::value_or_raise(done, stdext::raised::system_message);
}

}  // namespace

client_settings product_client_settings() {
    namespace config = platform::config;
    client_settings settings;
    settings.language = *config::get_narrow_setting(config::setting::language);
    settings.application = *config::get_narrow_setting(config::setting::app_id);
    const std::wstring product_key = *config::get_wide_setting(config::setting::regpath_product);
    settings.version = stdext::wide_to_utf8(platform::get_kit_version(product_key));
    return settings;
}

repair_event_sources product_event_sources(calculated_device_id& device_id, device_facts& facts) {
    namespace config = platform::config;
    return {product_client_settings,
            [] { return GetAnonId(*config::get_wide_setting(config::setting::regpath_product)); },
            [&device_id] { return device_id.get(); }, [&facts] { return facts.wait(); }};
}

m_agent_repaired::m_agent_repaired(std::wstring_view folder, repair_event_sources sources)
    : sources_(std::move(sources)) {
    try {
        client_settings settings = sources_.settings();
        factory_ = std::make_unique<vdec_factory>(folder, std::move(settings.application),
                                                  std::move(settings.language),
                                                  std::move(settings.version));
    } catch (const std::exception& e) {
        logging::logger_stream(logging::level_error, L"m_agent_repaired::m_agent_repaired")
            << L"create vdec_factory instance has failed: " << stdext::utf8_to_wide(e.what());
    }
}

bool m_agent_repaired::submit(const std::wstring& reason, const std::wstring& action) {
    logging::function_scope_trace trace(L"m_agent_repaired::submit");
    if (!factory_) {
        return false;
    }
    try {
        const vdec_event event = build_event(sources_.anon_id(), reason, action);
        {
            const auto text = stdext::value_or_raise(event.text(), stdext::raised::system_message);
            logging::logger_stream(logging::level_info, L"m_agent_repaired::submit")
                << stdext::utf8_to_wide(text.text());
        }
        require(event.submit());
        return true;
    } catch (const std::exception& e) {
        logging::logger_stream(logging::level_error, L"m_agent_repaired::submit")
            << L"error: " << stdext::utf8_to_wide(e.what());
        return false;
    }
}

vdec_event m_agent_repaired::build_event(const std::wstring& anon_id, const std::wstring& reason,
                                         const std::wstring& action) {
    const vdec_api& api = factory_->api();
    vdec_event event(api, create_event(api, event_name, event_version, factory_->application()));
    if (event.handle() == 0) {
        throw std::runtime_error("create_event failed");
    }
    require(event.add(L"anon_id", anon_id));
    require(event.add(L"calculated_anon_id", sources_.calculated_anon_id()));
    require(api.overwrite_reserved_key("vd_locale", factory_->locale()));

    // The description of the device is optional: a field the library refuses is left out.
    const system_info_t info = sources_.system_info();
    (void)event.add(L"cpu_model", info.cpu_model);
    (void)event.add(L"device_type", info.computer_model);
    (void)event.add(L"device_class", info.device_class);
    (void)event.add(L"ram_size", static_cast<std::int64_t>(info.ram_size >> 30));
    (void)event.add("machine_architecture", info.architecture);
    (void)event.add("os_type", std::string("windows"));
    (void)event.add("os_version", info.os_version);

    require(event.add(L"trigger", std::wstring(L"wardex")));
    require(event.add(L"reason", reason));
    require(event.add(L"action", action));
    return event;
}

}  // namespace telemetry
