// Arbitrary bytes as the state file and as the agent's version and update records. A state file
// that reads must write back and read again to the same record.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fakes/fake_file_system.h"
#include "supervision/storage/storage.h"
#include "winapi/facility.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fakes::fake_file_system fs;
    winapi::scoped_facility<winapi::file_system> use(fs);
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    const std::wstring file = supervision::storage::wardex_storage::path().value();
    fs.set_file(file, bytes);
    fs.set_file(L"version.json", bytes);
    fs.set_file(L"update.json", bytes);

    auto version = supervision::storage::version_json_storage::read(fs.current);
    auto update = supervision::storage::update_json_storage::read(fs.current);
    if (version.has_value() != update.has_value() || (version && !(*version == *update))) {
        std::abort();
    }

    const auto read = supervision::storage::wardex_storage::read_storage();
    if (read) {
        if (!supervision::storage::wardex_storage::write_storage(*read)) {
            std::abort();
        }
        const auto again = supervision::storage::wardex_storage::read_storage();
        if (!again || !(*again == *read) ||
            fs.file(file) != supervision::storage::serialize(*read)) {
            std::abort();
        }
    } else if (read.error().code.value() != 13 || read.error().text.empty()) {
        std::abort();
    }
    // A section write always succeeds on a writable folder, whatever was there before.
    if (!supervision::storage::wardex_storage::write_tolvar_report_data({1})) {
        std::abort();
    }
    return 0;
}
