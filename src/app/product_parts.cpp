#include "app/product_parts.h"

#include "platform/signature.h"

namespace app {

bool product_parts::start_protection() {
    protection_.emplace(
        dllprotect::host_start(dllprotect::supervisor_options, dllprotect::supervisor_host_name));
    return protection_->has_value();
}

void product_parts::stop_protection() {
    protection_.reset();
}

bool product_parts::verify_signature(const std::wstring& path, std::error_code& ec) {
    return winapi::verify_signature(path, ec);
}

std::wstring product_parts::signer_subject(const std::wstring& path, std::error_code& ec) {
    return winapi::get_signature(path, ec).subject;
}

void product_parts::start_logging() {
    logging_.emplace();
}

void product_parts::stop_logging() {
    logging_.reset();
}

void product_parts::log(std::int32_t level, const wchar_t* function, const std::wstring& text) {
    logging::logger_stream(level, function) << text;
}

std::uint32_t product_parts::bind_configuration(const std::wstring& library_path) {
    return configuration_.load(library_path);
}

const wchar_t* product_parts::configuration_string(int id) {
    return config::get_string_property(configuration_, id);
}

void product_parts::release_configuration() {
    configuration_.release();
}

}  // namespace app
