#include "supervision/update.h"

#include <exception>
#include <random>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "logging/log.h"
#include "platform/config/product_settings.h"
#include "platform/http/http.h"
#include "platform/process_utils.h"
#include "platform/signature.h"
#include "stdext/raise.h"
#include "stdext/utf.h"
#include "winapi/clock.h"
#include "winapi/facility.h"
#include "winapi/modules.h"
#include "winapi/temp_files.h"

namespace supervision::update {
namespace {

using stdext::value_or_raise;

// Three letters, each uniform over a-z.
std::wstring random_prefix() {
    static std::mt19937 engine{std::random_device{}()};
    std::uniform_int_distribution<int> letter(0, 25);
    std::wstring prefix;
    for (int i = 0; i < 3; ++i) {
        prefix.push_back(static_cast<wchar_t>(L'a' + letter(engine)));
    }
    return prefix;
}

// The path of this program's executable.
std::wstring own_executable() {
    return value_or_raise(
        winapi::module_file_name(winapi::facility<winapi::modules>::get().self()));
}

void log_error(const std::wstring& text) {
    logging::logger_stream(logging::level_warning, L"update::exec") << text;
}

// Downloads the installer into file, and starts it when it is signed like this program.
bool fetch_check_and_start(const std::wstring& url, const std::wstring& file) {
    download_to_file(url, file);
    if (!platform::verify_signature(file)) {
        return false;
    }
    const std::wstring installer_signer = platform::get_signature(file).subject;
    if (installer_signer != platform::get_signature(own_executable()).subject) {
        return false;
    }
    const std::uint32_t session = platform::get_target_session();
    return platform::ExecuteProcessInSession(file, session, L"/source:wardex_update") == 0;
}

// An installer that was not started has no business in the temporary folder: a refused or
// broken download would otherwise stay there, one more with every attempt.
void discard(const std::wstring& file) {
    auto removed = winapi::facility<winapi::temp_files>::get().remove(file);
    if (!removed) {
        const std::error_code& code = removed.error().code;
        log_error(L"remove [" + file + L"] err=" +
                  std::to_wstring(static_cast<std::uint32_t>(code.value())) + L' ' +
                  stdext::utf8_to_wide(code.message()));
    }
}

bool download_check_and_start(const std::wstring& endpoint) {
    if (endpoint.empty()) {
        throw std::runtime_error("Invalid update info url");
    }
    const update_info info = fetch_update_info(endpoint);
    const std::wstring url = stdext::utf8_to_wide(info.url);
    const std::wstring file = make_temp_file_path();
    bool started = false;
    try {
        started = fetch_check_and_start(url, file);
    } catch (...) {
        discard(file);
        throw;
    }
    if (!started) {
        discard(file);
    }
    return started;
}

// The step's answer; any failure it raises is logged and gives false.
template <class Step>
bool log_failures(Step step) {
    try {
        return step();
    } catch (const std::exception& e) {
        log_error(L"err=" + stdext::utf8_to_wide(e.what()));
        return false;
    }
}

}  // namespace

update_info fetch_update_info(const std::wstring& endpoint) {
    const picojson::value document = platform::http::get_update_info(endpoint);
    if (document.is<picojson::object>()) {
        const auto& members = document.get<picojson::object>();
        const auto url = members.find("url");
        const auto version = members.find("version");
        if (url != members.end() && url->second.is<std::string>() && version != members.end() &&
            version->second.is<std::string>()) {
            return {url->second.get<std::string>(), version->second.get<std::string>()};
        }
    }
    throw std::runtime_error("unknown json");
}

std::wstring get_temp_folder() {
    return value_or_raise(winapi::facility<winapi::temp_files>::get().temp_folder());
}

std::wstring make_temp_file_path() {
    const std::wstring folder = get_temp_folder();
    auto file = winapi::facility<winapi::temp_files>::get().unique_file(folder, random_prefix());
    if (file) {
        return std::move(file).value();
    }
    return folder + std::to_wstring(winapi::facility<winapi::clock>::get().tick_count());
}

void download_to_file(const std::wstring& url, const std::wstring& path) {
    platform::http::download(url, path);
}

bool exec() {
    return log_failures([] {
        const std::wstring* endpoint =
            platform::config::get_wide_setting(platform::config::setting::update_url);
        return download_check_and_start(endpoint == nullptr ? std::wstring() : *endpoint);
    });
}

}  // namespace supervision::update
