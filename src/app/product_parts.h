// The start-up parts of the real program: the load-protection host, the signature checks, the
// process-wide logger and the product configuration library.
#pragma once

#include <optional>

#include "app/startup_parts.h"
#include "dllprotect/host.h"
#include "logging/log.h"
#include "platform/config/exported_object.h"

namespace app {

// Fixes the installation folder and the settings file path, the latter under the folder the
// agent's version record names, before anything else of the program runs.
void fix_start_paths();

class product_parts final : public startup_parts {
public:
    [[nodiscard]] bool start_protection() override;
    void stop_protection() override;
    [[nodiscard]] stdext::expected<bool> verify_signature(const std::wstring& path) override;
    [[nodiscard]] stdext::expected<std::wstring> signer_subject(const std::wstring& path) override;
    void start_logging() override;
    void stop_logging() override;
    void log(logging::log_level level, const wchar_t* function, const std::wstring& text) override;
    [[nodiscard]] stdext::expected<void> bind_configuration(
        const std::wstring& library_path) override;
    [[nodiscard]] const wchar_t* configuration_string(int id) override;
    void release_configuration() override;

private:
    std::optional<dllprotect::host_outcome> protection_;
    std::optional<logging::scopped_log_init> logging_;
    platform::config::product_config configuration_;
};

}  // namespace app
