// Arbitrary bytes as the state file and as the agent's version record. A state file that reads
// writes back to the same record; one that does not is error 13 and a section write replaces it.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fakes/fake_machine.h"
#include "supervision/storage/storage.h"

using namespace supervision::storage;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fakes::fake_machine machine;
    fakes::fake_file_system& fs = machine.files;
    fs.set_file(L"storage\\wardex.json", std::string(reinterpret_cast<const char*>(data), size));
    fs.set_file(L"version.json", *fs.file(L"storage\\wardex.json"));
    (void)version_json_storage::read(fs.current);  // any outcome but a crash
    const auto read = wardex_storage::read_storage();
    if (read ? !wardex_storage::write_storage(*read) ||
                   !(wardex_storage::read_storage().value() == *read)
             : read.error().code.value() != 13 || !wardex_storage::write_tolvar_report_data({1})) {
        std::abort();
    }
    return 0;
}
