// What the start-up sequence needs from the other subsystems: load protection, signature checks,
// the logger and the product configuration library. The program uses product_parts; the tests
// record the calls.
#pragma once

#include <string>

#include "logging/level.h"
#include "stdext/expected.h"

namespace app {

class startup_parts {
public:
    virtual ~startup_parts() = default;

    // Starts load protection for the process; true when the engine runs. stop_protection is
    // called at the very end whenever start_protection was called, whatever it answered.
    [[nodiscard]] virtual bool start_protection() = 0;
    virtual void stop_protection() = 0;

    // Trust of a file's signature (embedded, or through a catalog), and the subject name of the
    // embedded signature's signer. Neither raises.
    [[nodiscard]] virtual stdext::expected<bool> verify_signature(const std::wstring& path) = 0;
    [[nodiscard]] virtual stdext::expected<std::wstring> signer_subject(
        const std::wstring& path) = 0;

    // Takes and drops the run's logging reference.
    virtual void start_logging() = 0;
    virtual void stop_logging() = 0;
    // One message at a level under an operation name (a literal with static lifetime).
    virtual void log(logging::log_level level, const wchar_t* function,
                     const std::wstring& text) = 0;

    // Binds the "productinfo" object of the configuration library at this path.
    // configuration_string answers a string property, or null.
    [[nodiscard]] virtual stdext::expected<void> bind_configuration(
        const std::wstring& library_path) = 0;
    [[nodiscard]] virtual const wchar_t* configuration_string(int id) = 0;
    virtual void release_configuration() = 0;
};

}  // namespace app
