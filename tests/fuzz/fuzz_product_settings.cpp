// Feeds the input as the product settings file and, read as one wide character per byte, as the
// product key's language record.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fakes/fake_file_system.h"
#include "fakes/fake_registry.h"
#include "platform/config/product_settings.h"
#include "winapi/facility.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::wstring file = L"C:\\Agent\\settings\\Corvel.json";
    fakes::fake_file_system fs;
    fs.set_file(file, std::string(reinterpret_cast<const char*>(data), size));
    winapi::scoped_facility<winapi::file_system> use_fs(fs);
    fakes::fake_registry reg;
    std::wstring record;
    for (std::size_t i = 0; i < size; ++i) {
        record.push_back(static_cast<wchar_t>(data[i]));
    }
    reg.set_string(winapi::hkey_local_machine, L"SOFTWARE\\Valdrin Agent", L"lang", record);
    winapi::scoped_facility<winapi::registry> use(reg);

    const platform::config::product_settings settings(file, L"C:\\Agent\\");
    if (settings.narrow().size() != settings.wide().size()) {
        __builtin_trap();
    }
    (void)platform::config::read_language(L"SOFTWARE\\Valdrin Agent");
    return 0;
}
