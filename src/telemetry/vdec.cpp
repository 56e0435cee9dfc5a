#include "telemetry/vdec.h"

#include <algorithm>
#include <array>
#include <new>
#include <stdexcept>
#include <utility>

#include "logging/log.h"
#include "stdext/path.h"
#include "winapi/facility.h"
#include "winapi/win_error_category.h"

namespace telemetry {
namespace {

struct status_name {
    vdec_status status;
    const char* name;
};
constexpr std::array<status_name, 10> status_names = {{
    {1, "memory alloc error"},
    {0, "VDEC_ERROR_SUCCESS"},
    {-1, "VDEC_ERROR_INVALID_PARAMETER"},
    {-2, "VDEC_ERROR_INVALID_EVENT_NAME"},
    {-3, "VDEC_ERROR_RESERVED_KEY"},
    {-4, "VDEC_ERROR_DEPRECATED_KEY"},
    {-5, "VDEC_MACHINE_NOT_ALLOWED_TO_SUBMIT"},
    {-6, "VDEC_NOT_READY"},
    {-7, "VDEC_ERROR_CREATE_JSON"},
    {-8, "VDEC_ERROR_LOAD_VDNC"},
}};

class vdec_error_category final : public std::error_category {
public:
    const char* name() const noexcept override { return "vdec"; }
    std::string message(int status) const override { return vdec_error_text(status); }
};

template <class Fn>
Fn as_function(void* address) noexcept {
    return reinterpret_cast<Fn>(address);
}

// The library through the module facility: the module and the address of every export in the
// order of the table. The only place that talks to the facility.
using loaded = std::pair<winapi::unique_module, std::array<void*, vdec_export_count>>;
stdext::expected<loaded> load_module(const std::wstring& path) {
    auto& modules = winapi::facility<winapi::modules>::get();
    return modules.load(path, 0).and_then(
        [&modules](winapi::unique_module&& module) -> stdext::expected<loaded> {
            std::array<void*, vdec_export_count> exports{};
            for (std::size_t i = 0; i < vdec_export_count; ++i) {
                const std::string name(vdec_export_names[i]);
                exports[i] = modules.find_export(module.get(), name.c_str());
                if (exports[i] == nullptr) {
                    return stdext::unexpected(winapi::win_failure(
                        winapi::error_proc_not_found, "GetProcAddress " + name + " failed"));
                }
            }
            return loaded{std::move(module), exports};
        });
}

template <class Fn>
void bind(Fn& slot, const std::array<void*, vdec_export_count>& exports, std::size_t index) {
    slot = as_function<Fn>(exports[index]);
}

stdext::expected<void> checked(vdec_status status, const char* call) {
    if (status != 0) {
        return stdext::unexpected(stdext::error{make_vdec_error(status), call});
    }
    return {};
}

}  // namespace

const char* vdec_error_text(vdec_status status) noexcept {
    const auto* it = std::find_if(status_names.begin(), status_names.end(),
                                  [status](const status_name& s) { return s.status == status; });
    return it == status_names.end() ? "UNKNOWN VDEC ERRROR" : it->name;
}

const std::error_category& vdec_category() noexcept {
    static const vdec_error_category category;
    return category;
}

stdext::expected<vdec_library> load_vdec_library(const std::wstring& path) {
    return load_module(path.empty() ? std::wstring(L"vdec.dll") : path)
        .transform([](loaded&& found) {
            auto& [module, exports] = found;
            vdec_library library{std::move(module), {}};
            auto& f = library.functions;
            bind(f.init, exports, vdec_export_index("Init"));
            bind(f.uninit, exports, vdec_export_index("Uninit"));
            bind(f.set_option, exports, vdec_export_index("SetOptionA"));
            bind(f.set_option_var_len, exports, vdec_export_index("SetOptionVarLenA"));
            bind(f.overwrite_reserved_key_string, exports,
                 vdec_export_index("OverWriteReservedKeyStringA"));
            bind(f.create_event, exports, vdec_export_index("CreateEcEventA"));
            bind(f.add_wide, exports, vdec_export_index("AddKeyValueEventW"));
            bind(f.add_narrow, exports, vdec_export_index("AddKeyValueEventA"));
            bind(f.add_int64, exports, vdec_export_index("AddKeyValueEventInt64W"));
            bind(f.get_event_text, exports, vdec_export_index("GetEventTextA"));
            bind(f.free_event_text, exports, vdec_export_index("FreeEventTextA"));
            bind(f.submit_event, exports, vdec_export_index("SubmitEvent"));
            bind(f.destroy_event, exports, vdec_export_index("DestroyEvent"));
            return library;
        });
}

vdec_api::~vdec_api() {
    if (library_.functions.uninit != nullptr) {
        library_.functions.uninit();
    }
}

stdext::expected<void> vdec_api::overwrite_reserved_key(const char* key,
                                                        const std::string& value) const {
    return checked(functions().overwrite_reserved_key_string(key, value.c_str()),
                   "OverWriteReservedKeyStringA");
}

stdext::expected<std::unique_ptr<vdec_api>> open_vdec(std::wstring_view folder) {
    return load_vdec_library(folder.empty() ? std::wstring()
                                            : stdext::path::join(folder, L"vdec.dll"))
        .and_then([](vdec_library&& library) -> stdext::expected<std::unique_ptr<vdec_api>> {
            if (const std::int32_t result = library.functions.init(); result != 0) {
                return stdext::unexpected(stdext::error{make_vdec_error(result), "Init failed"});
            }
            return std::make_unique<vdec_api>(std::move(library));
        });
}

std::unique_ptr<vdec_api> LoadVdec(std::wstring_view folder) {
    auto api = open_vdec(folder);
    if (!api) {
        throw std::runtime_error("LoadVdec failed");
    }
    return std::move(*api);
}

vdec_factory::vdec_factory(std::wstring_view folder, std::string application, std::string locale,
                           std::string version)
    : vdec_factory(std::unique_ptr<vdec_api>(), std::move(application), std::move(locale),
                   std::move(version)) {
    api_ = LoadVdec(folder);
    configure();
}

vdec_factory::vdec_factory(std::unique_ptr<vdec_api> api, std::string application,
                           std::string locale, std::string version)
    : application_(std::move(application)),
      locale_(std::move(locale)),
      version_(std::move(version)),
      api_(std::move(api)) {
    std::replace(locale_.begin(), locale_.end(), '_', '-');
    if (api_) {
        configure();
    }
}

void vdec_factory::configure() {
    const auto& f = api_->functions();
    if (const vdec_status s = f.set_option(0, vdec_option_submit_use_vdnc_cloud, 1, 0); s != 0) {
        logging::logger_stream(logging::level_warning, L"vdec_factory::init")
            << L"failed set_option submit_use_vdnc_cloud err=" << s;
    }
    if (const vdec_status s = f.set_option_var_len(0, vdec_option_app_name, application_.data(),
                                                   static_cast<std::uint32_t>(application_.size()));
        s != 0) {
        logging::logger_stream(logging::level_warning, L"vdec_factory::init")
            << L"failed set_option app_name err=" << s;
    }
}

vdec_handle create_event(const vdec_api& api, std::string_view name, std::string_view version,
                         std::string_view application) noexcept {
    try {
        // The library gets private copies of the texts for the call only.
        const std::string name_copy(name);
        const std::string version_copy(version);
        const std::string application_copy(application);
        const event_descriptor descriptor{sizeof(event_descriptor), version_copy.c_str(),
                                          name_copy.c_str(), application_copy.c_str()};
        return api.functions().create_event(&descriptor);
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

vdec_event_text::vdec_event_text(vdec_event_text&& other) noexcept
    : api_(other.api_), text_(std::exchange(other.text_, nullptr)) {}

vdec_event_text::~vdec_event_text() {
    if (text_ != nullptr) {
        // Nothing can be done about a text the library does not take back.
        (void)api_->functions().free_event_text(text_);
    }
}

vdec_event::vdec_event(vdec_event&& other) noexcept
    : api_(other.api_), handle_(std::exchange(other.handle_, 0)) {}

vdec_event::~vdec_event() {
    if (handle_ != 0) {
        // Nothing can be done about an event the library does not destroy.
        (void)api_->functions().destroy_event(handle_);
    }
}

stdext::expected<void> vdec_event::add(const wchar_t* key, const std::wstring& value) const {
    return checked(api_->functions().add_wide(handle_, key, value.c_str()), "AddKeyValueEventW");
}

stdext::expected<void> vdec_event::add(const char* key, const std::string& value) const {
    return checked(api_->functions().add_narrow(handle_, key, value.c_str()), "AddKeyValueEventA");
}

stdext::expected<void> vdec_event::add(const wchar_t* key, std::int64_t value) const {
    return checked(int64_argument::add(api_->functions().add_int64, handle_, key, value),
                   "AddKeyValueEventInt64W");
}

stdext::expected<vdec_event_text> vdec_event::text() const {
    char* text = nullptr;
    return checked(api_->functions().get_event_text(handle_, &text), "GetEventTextA")
        .transform([&] { return vdec_event_text(*api_, text); });
}

stdext::expected<void> vdec_event::submit() const {
    return checked(api_->functions().submit_event(handle_, vdec_submit_flags, 0), "SubmitEvent");
}

}  // namespace telemetry
