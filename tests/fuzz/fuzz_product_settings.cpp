// Feeds the input as the product settings file and, read as one wide character per byte, as the
// product key's language record.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fakes/fake_machine.h"
#include "platform/config/product_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::wstring file = L"C:\\Agent\\settings\\Corvel.json";
    fakes::fake_machine machine;
    machine.files.set_file(file, std::string(reinterpret_cast<const char*>(data), size));
    const std::wstring record(data, data + size);
    machine.registry.set_string(winapi::hkey_local_machine, L"SOFTWARE\\Valdrin Agent", L"lang",
                                record);

    const platform::config::product_settings settings(file, L"C:\\Agent\\");
    if (settings.narrow().size() != settings.wide().size()) {
        __builtin_trap();
    }
    (void)platform::config::read_language(L"SOFTWARE\\Valdrin Agent");
    return 0;
}
