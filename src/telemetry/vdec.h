// The binding to the product's telemetry event client library "vdec.dll": the library is loaded
// at run time from a folder the caller names, all its exports are resolved, it is initialised
// and configured once by a vdec_factory, and then events are created, filled, submitted and
// destroyed through it.
//
//     telemetry::vdec_factory factory(folder, "wardex", "en_US", "1.0.0");  // raises on failure
//     telemetry::vdec_event event(factory.api(), create_event(factory.api(), "name", "1.0", app));
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include "stdext/expected.h"
#include "telemetry/vdec_abi.h"
#include "winapi/modules.h"

namespace telemetry {

// The name of a status of the library ("VDEC_ERROR_RESERVED_KEY"); "UNKNOWN VDEC ERRROR" for a
// status it does not define.
[[nodiscard]] const char* vdec_error_text(vdec_status status) noexcept;
// Statuses as error codes: the category's messages are the names above.
[[nodiscard]] const std::error_category& vdec_category() noexcept;
[[nodiscard]] inline std::error_code make_vdec_error(vdec_status status) noexcept {
    return {status, vdec_category()};
}

// The exports the program calls, resolved from the library (or test functions).
struct vdec_functions {
    vdec_init_fn init = nullptr;
    vdec_uninit_fn uninit = nullptr;
    vdec_set_option_fn set_option = nullptr;
    vdec_set_option_var_len_fn set_option_var_len = nullptr;
    vdec_reserved_key_a_fn overwrite_reserved_key_string = nullptr;
    vdec_create_event_a_fn create_event = nullptr;
    vdec_add_w_fn add_wide = nullptr;
    vdec_add_a_fn add_narrow = nullptr;
    vdec_add_int64_w_fn add_int64 = nullptr;
    vdec_get_text_fn get_event_text = nullptr;
    vdec_free_text_fn free_event_text = nullptr;
    vdec_submit_fn submit_event = nullptr;
    vdec_destroy_fn destroy_event = nullptr;
};

// The library file with all its exports resolved, not yet initialised. Dropping it unloads the
// library without "Uninit".
struct vdec_library {
    winapi::unique_module module;
    vdec_functions functions;
};

// Loads the library at path (the bare "vdec.dll" when empty: the ordinary search order) and
// resolves every export. Fails when the library cannot be loaded or lacks any export; the error
// names the missing export, and nothing of the library has been called then.
[[nodiscard]] stdext::expected<vdec_library> load_vdec_library(const std::wstring& path);

// An initialised library. Destroying it calls "Uninit" and then unloads the library.
class vdec_api {
public:
    // Takes a library whose "Init" succeeded (tests pass test functions and no module).
    explicit vdec_api(vdec_library library) noexcept : library_(std::move(library)) {}
    ~vdec_api();
    vdec_api(const vdec_api&) = delete;
    vdec_api& operator=(const vdec_api&) = delete;

    [[nodiscard]] const vdec_functions& functions() const noexcept { return library_.functions; }

    // Sets a reserved key that every event of the library carries from now on.
    [[nodiscard]] stdext::expected<void> overwrite_reserved_key(const char* key,
                                                                const std::string& value) const;

private:
    vdec_library library_;
};

// "vdec.dll" in folder (the bare name when the folder is empty), loaded and initialised. Fails
// when loading fails or "Init" returns non-zero; the library is then unloaded without "Uninit".
[[nodiscard]] stdext::expected<std::unique_ptr<vdec_api>> open_vdec(std::wstring_view folder);
// open_vdec, raising the runtime error "LoadVdec failed" on failure.
[[nodiscard]] std::unique_ptr<vdec_api> LoadVdec(std::wstring_view folder);

// Owns the library for one report: loads it, initialises it and sets the two options the
// program relies on. Failures to set an option are logged and tolerated.
class vdec_factory {
public:
    // Raises the runtime error "LoadVdec failed" when the library cannot be used.
    vdec_factory(std::wstring_view folder, std::string application, std::string locale,
                 std::string version);
    // Takes an initialised library.
    vdec_factory(std::unique_ptr<vdec_api> api, std::string application, std::string locale,
                 std::string version);

    [[nodiscard]] const vdec_api& api() const noexcept { return *api_; }
    [[nodiscard]] const std::string& application() const noexcept { return application_; }
    // The locale as given, with every "_" turned into "-" ("en-US").
    [[nodiscard]] const std::string& locale() const noexcept { return locale_; }
    [[nodiscard]] const std::string& version() const noexcept { return version_; }

private:
    void configure();

    std::string application_;
    std::string locale_;
    std::string version_;
    std::unique_ptr<vdec_api> api_;
};

// Creates an event through "CreateEcEventA" with the creation descriptor; 0 when the library or
// the copies of the texts fail.
[[nodiscard]] vdec_handle create_event(const vdec_api& api, std::string_view name,
                                       std::string_view version,
                                       std::string_view application) noexcept;

// A text the library handed out ("GetEventTextA"); released with "FreeEventTextA".
class vdec_event_text {
public:
    vdec_event_text(const vdec_api& api, char* owned) noexcept : api_(&api), text_(owned) {}
    ~vdec_event_text();
    vdec_event_text(vdec_event_text&& other) noexcept;
    vdec_event_text& operator=(vdec_event_text&&) = delete;
    vdec_event_text(const vdec_event_text&) = delete;

    [[nodiscard]] std::string_view text() const noexcept { return text_ == nullptr ? "" : text_; }

private:
    const vdec_api* api_;
    char* text_;
};

// Owner of one event of the library; destroys it with "DestroyEvent" when the handle is not 0.
// Each call's failure carries the status as a vdec error code and the export's name as its text.
class vdec_event {
public:
    vdec_event(const vdec_api& api, vdec_handle handle) noexcept : api_(&api), handle_(handle) {}
    ~vdec_event();
    vdec_event(vdec_event&& other) noexcept;
    vdec_event& operator=(vdec_event&&) = delete;
    vdec_event(const vdec_event&) = delete;

    [[nodiscard]] vdec_handle handle() const noexcept { return handle_; }

    [[nodiscard]] stdext::expected<void> add(const wchar_t* key, const std::wstring& value) const;
    [[nodiscard]] stdext::expected<void> add(const char* key, const std::string& value) const;
    [[nodiscard]] stdext::expected<void> add(const wchar_t* key, std::int64_t value) const;
    [[nodiscard]] stdext::expected<vdec_event_text> text() const;
    [[nodiscard]] stdext::expected<void> submit() const;

private:
    const vdec_api* api_;
    vdec_handle handle_;
};

}  // namespace telemetry
