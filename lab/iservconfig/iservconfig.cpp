// Lab stand-in of the product configuration library "IServConfig.dll" (tests and demos only).
//
// Exports "VdCreateObject" and "VdDestroyObject" (C convention, undecorated). The only object
// is "productinfo" of class {66551AB3-FCA3-BC90-5F42-C5F792E24B51}; its first operation hands
// out the IServConfig interface {5666C9D0-9724-666B-6646-08613DC966F6} and nothing else.
// Any other name or class: VdCreateObject returns 87 (ERROR_INVALID_PARAMETER).
//
// Answers come from "iservconfig.ini" in the DLL's own folder, read when the object is
// created. One "key=value" per line, UTF-8, lines starting with '#' ignored, spaces kept:
//   0=<product name>                  default "Valdrin Agent"
//   2=<folder under Program Files>    default "Valdrin\Agent"
//   755=<product registry path>       default "SOFTWARE\Valdrin Agent"
//   <other number>=<text>             any further string property
//   create_error=<n>                  VdCreateObject fails with n (default 0)
//   interface=0                       the object refuses the IServConfig interface
// An empty value ("0=") removes the property: get_string_property answers null for it, as it
// does for every property that is not set.
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include "platform/config/iservconfig.h"

#include "common/beside.h"

namespace {

using platform::config::guid;
using platform::config::IServConfig;
using platform::config::vd_object;

std::wstring widen(const std::string& utf8) {
    if (utf8.empty()) {
        return {};
    }
    const int n =
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

struct settings {
    std::map<std::int32_t, std::wstring> properties{
        {platform::config::SZ_PRODUCT_NAME, L"Valdrin Agent"},
        {platform::config::SZ_PRODUCT_FOLDER, L"Valdrin\\Agent"},
        {platform::config::SZ_REG_PATH_PRODUCT, L"SOFTWARE\\Valdrin Agent"},
    };
    std::int32_t create_error = 0;
    bool offer_interface = true;
};

settings read_settings() {
    settings s;
    std::ifstream in(lab::beside_this_module(L"iservconfig.ini").c_str());
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const auto eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        if (key == "create_error") {
            s.create_error = std::atoi(value.c_str());
        } else if (key == "interface") {
            s.offer_interface = value != "0";
        } else if (!key.empty() && key.find_first_not_of("0123456789") == std::string::npos) {
            const auto id = static_cast<std::int32_t>(std::atol(key.c_str()));
            if (value.empty()) {
                s.properties.erase(id);
            } else {
                s.properties[id] = widen(value);
            }
        }
    }
    return s;
}

class product_info final : public vd_object, public IServConfig {
public:
    explicit product_info(settings s) : settings_(std::move(s)) {}

    void* get_interface(guid id) override {
        if (settings_.offer_interface && id == IServConfig::interface_id) {
            return static_cast<IServConfig*>(this);
        }
        return nullptr;
    }
    std::int32_t reserved_1() override { return 0; }
    std::int32_t reserved_2() override { return 0; }
    std::int32_t reserved_3() override { return 0; }
    std::int32_t reserved_4() override { return 0; }
    std::int32_t reserved_5() override { return 0; }
    std::int32_t reserved_6() override { return 0; }
    const wchar_t* get_string_property(std::int32_t id, std::int32_t) override {
        const auto it = settings_.properties.find(id);
        return it == settings_.properties.end() ? nullptr : it->second.c_str();
    }

private:
    settings settings_;
};

}  // namespace

extern "C" std::int32_t VdCreateObject(const char* name, guid class_id, vd_object** object) {
    if (object == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *object = nullptr;
    if (name == nullptr || std::string(name) != IServConfig::object_name ||
        !(class_id == IServConfig::class_id)) {
        return ERROR_INVALID_PARAMETER;
    }
    settings s = read_settings();
    if (s.create_error != 0) {
        return s.create_error;
    }
    *object = new product_info(std::move(s));
    return 0;
}

extern "C" void VdDestroyObject(vd_object* object) {
    delete static_cast<product_info*>(object);
}
