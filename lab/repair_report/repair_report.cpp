// repair-report.exe REASON ACTION: builds the repair event with the folder of this program and
// submits it once. The stored id comes from "AnonId" of the product key; the calculated id and the
// device facts are computed here, all by the program's own code against the machine. Exit code 0
// when the event was submitted, 1 when not.
#include "stdext/path.h"
#include "telemetry/device_id.h"
#include "telemetry/m_agent_repaired.h"
#include "winapi/folders.h"
#include "winapi/win/system_facilities.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        return 2;
    }
    winapi::install_windows_facilities();
    const std::wstring folder{
        stdext::path::without_trailing_separator(winapi::this_process::get_foldername().value())};
    const std::wstring product_key = L"SOFTWARE\\Valdrin Agent";
    telemetry::calculated_device_id device_id;
    telemetry::device_facts facts;
    // The client settings are fixed: the lab folder has no product settings of its own.
    telemetry::m_agent_repaired report(
        folder, {[] {
                     return telemetry::client_settings{"wardex-lab", "en_US", "1.0.0"};
                 },
                 [&] { return telemetry::GetAnonId(product_key); }, [&] { return device_id.get(); },
                 [&] { return facts.wait(); }});
    return report.submit(argv[1], argv[2]) ? 0 : 1;
}
