#include "logging/log.h"
#include "platform/config/exported_object.h"

namespace platform::config {

const wchar_t* get_string_property(const product_config& binding, std::int32_t id) {
    return binding.loaded() ? binding->get_string_property(id, 0) : nullptr;
}

std::wstring get_product_name() {
    const std::wstring fallback = L"Valdrin";
    product_config binding;
    if (const auto loaded = binding.load(L"IServConfig.dll"); !loaded) {
        logging::logger_stream(logging::level_error, L"get_product_name")
            << L"failed load IServConfig.dll, err="
            << static_cast<std::uint32_t>(loaded.error().code.value());
        return fallback;
    }
    // An empty name is no better than none: the task would be named " Agent Wardex_...".
    const wchar_t* name = get_string_property(binding, SZ_PRODUCT_NAME);
    if (name == nullptr || *name == L'\0') {
        logging::logger_stream(logging::level_error, L"get_product_name")
            << L"failed get SZ_PRODUCT_NAME";
        return fallback;
    }
    return name;
}

}  // namespace platform::config
