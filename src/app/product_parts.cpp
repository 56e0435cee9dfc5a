#include "app/product_parts.h"

#include "platform/config/paths.h"
#include "platform/signature.h"
#include "supervision/storage/storage.h"

namespace app {

void fix_start_paths() {
    const std::wstring& folder = platform::config::install_folder();
    std::optional<std::string> record_path;
    if (auto record = supervision::storage::version_json_storage::read(folder)) {
        record_path = std::move(record->path);
    }
    platform::config::fix_start_paths(record_path);
}

bool product_parts::start_protection() {
    protection_.emplace(
        dllprotect::host_start(dllprotect::supervisor_options, dllprotect::supervisor_host_name));
    return protection_->has_value();
}

void product_parts::stop_protection() {
    protection_.reset();
}

stdext::expected<bool> product_parts::verify_signature(const std::wstring& path) {
    return platform::try_verify_signature(path);
}

stdext::expected<std::wstring> product_parts::signer_subject(const std::wstring& path) {
    return platform::try_get_signature(path).transform(
        [](platform::certificate_info&& signer) { return std::move(signer.subject); });
}

void product_parts::start_logging() {
    logging_.emplace();
}

void product_parts::stop_logging() {
    logging_.reset();
}

void product_parts::log(logging::log_level level, const wchar_t* function,
                        const std::wstring& text) {
    logging::logger_stream(level, function) << text;
}

stdext::expected<void> product_parts::bind_configuration(const std::wstring& library_path) {
    return configuration_.load(library_path);
}

const wchar_t* product_parts::configuration_string(int id) {
    return platform::config::get_string_property(configuration_, id);
}

void product_parts::release_configuration() {
    configuration_.release();
}

}  // namespace app
