// The product configuration library as a fake machine's module: its one object answers the
// string properties a test sets, can refuse the interface or fail its creation, and every call
// is kept in order.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/config/iservconfig.h"

namespace fakes::config_library {

namespace cfg = platform::config;

// What the library does; a test resets it before use.
struct library_state {
    std::int32_t create_result = 0;
    bool offer_interface = true;
    std::map<std::int32_t, std::wstring> properties;
    std::vector<std::string> calls;
};
inline library_state lib;

class product_info final : public cfg::vd_object, public cfg::IServConfig {
public:
    void* get_interface(cfg::guid id) override {
        lib.calls.push_back(id == interface_id ? "interface" : "other interface");
        return lib.offer_interface ? static_cast<cfg::IServConfig*>(this) : nullptr;
    }
    std::int32_t reserved_1() override { return 1; }
    std::int32_t reserved_2() override { return 2; }
    std::int32_t reserved_3() override { return 3; }
    std::int32_t reserved_4() override { return 4; }
    std::int32_t reserved_5() override { return 5; }
    std::int32_t reserved_6() override { return 6; }
    const wchar_t* get_string_property(std::int32_t id, std::int32_t flags) override {
        lib.calls.push_back("get " + std::to_string(id) + "," + std::to_string(flags));
        return lib.properties.count(id) ? lib.properties.at(id).c_str() : nullptr;
    }
};

inline std::int32_t create(const char* name, cfg::guid class_id, cfg::vd_object** out) {
    lib.calls.push_back(std::string("create ") + name +
                        (class_id == cfg::IServConfig::class_id ? "" : " of another class"));
    *out = lib.create_result == 0 ? new product_info : nullptr;
    return lib.create_result;
}
inline void destroy(cfg::vd_object* object) {
    lib.calls.push_back("destroy");
    delete static_cast<product_info*>(object);
}
// The library's exports, for fake_modules::add_library.
inline const std::map<std::string, void*> exports = {
    {"VdCreateObject", reinterpret_cast<void*>(&create)},
    {"VdDestroyObject", reinterpret_cast<void*>(&destroy)}};

}  // namespace fakes::config_library
