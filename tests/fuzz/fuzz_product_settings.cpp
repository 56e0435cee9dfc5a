// Feeds the input as the product settings file and, read as one wide character per byte, as the
// product key's language record.
#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/facility.h"
#include "fakes/fake_registry.h"
#include "platform/config/product_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::filesystem::path file =
        std::filesystem::temp_directory_path() /
        ("wardex-fuzz-settings-" + std::to_string(static_cast<long>(::getpid())) + ".json");
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    fakes::fake_registry reg;
    std::wstring record;
    for (std::size_t i = 0; i < size; ++i) {
        record.push_back(static_cast<wchar_t>(data[i]));
    }
    reg.set_string(winapi::hkey_local_machine, L"SOFTWARE\\Valdrin Agent", L"lang", record);
    winapi::scoped_facility<winapi::registry> use(reg);

    const config::product_settings settings(file.wstring(), L"C:\\Agent\\");
    if (settings.narrow().size() != settings.wide().size()) {
        __builtin_trap();
    }
    (void)config::read_language(L"SOFTWARE\\Valdrin Agent");
    return 0;
}
