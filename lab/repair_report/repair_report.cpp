// repair-report.exe REASON ACTION: builds the repair event with the folder of this program and
// submits it once. The stored id comes from "AnonId" of the product key and the calculated id is
// computed here, both by the program's own code against the machine. Exit code 0 when the event
// was submitted, 1 when not.
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
    // The WMI sources of the device id are not built yet: the id covers the machine GUID alone,
    // as on a machine whose WMI service cannot be reached.
    const telemetry::wmi_identity_connect connect = [] { return telemetry::no_wmi_identity(); };
    telemetry::m_agent_repaired report(
        folder, {[] {
                     return telemetry::client_settings{"wardex-lab", "en_US", "1.0.0"};
                 },
                 [&] { return telemetry::GetAnonId(product_key, connect); },
                 [&] { return telemetry::calculated_deviceid(connect); },
                 // The device facts are not collected yet: fixed stand-in values.
                 [] {
                     return telemetry::system_info_t{
                         L"Lab CPU | Lab family", L"Lab model",   L"desktop",
                         std::uint64_t{8} << 30,  "10.0.19045.0", "x64"};
                 }});
    return report.submit(argv[1], argv[2]) ? 0 : 1;
}
