#include "platform/config/exported_object.h"
#include "platform/config/log_shim.h"

namespace config {

const wchar_t* get_string_property(const product_config& binding, std::int32_t id) {
    return binding.loaded() ? binding->get_string_property(id, 0) : nullptr;
}

std::wstring get_product_name() {
    const std::wstring fallback = L"Valdrin";
    product_config binding;
    if (const auto rc = binding.load(L"IServConfig.dll"); rc != 0) {
        detail::write_log(4, L"get_product_name",
                          L"failed load IServConfig.dll, err=" + std::to_wstring(rc));
        return fallback;
    }
    const wchar_t* name = get_string_property(binding, SZ_PRODUCT_NAME);
    if (name == nullptr) {
        detail::write_log(4, L"get_product_name", L"failed get SZ_PRODUCT_NAME");
        return fallback;
    }
    return name;
}

}  // namespace config
