// Arbitrary bytes as the stored "AnonId" value, as any program may have written it: the id read
// back has no NUL, is sent in the repair event as read, and is never rewritten.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fakes/fake_vdec.h"
#include "platform/registry_values.h"
#include "telemetry/device_id.h"
#include "telemetry/m_agent_repaired.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > platform::reg_value_buffer_bytes) {
        return 0;  // more than a value the program reads: a new id is made and stored
    }
    fakes::fake_machine machine;
    fakes::fake_vdec vdec(machine, L"C:\\Agent\\vdec.dll");
    const std::wstring key = L"SOFTWARE\\Valdrin Agent";
    machine.registry.set_value(winapi::hkey_local_machine, key, L"AnonId",
                               {winapi::reg_sz, std::vector<std::uint8_t>(data, data + size)});
    std::wstring sent;
    telemetry::m_agent_repaired report(
        L"C:\\Agent",
        {[] {
             return telemetry::client_settings{"app", "en_US", "1.0"};
         },
         [&] { return sent = telemetry::GetAnonId(key); },
         [] { return std::wstring(L"calculated"); }, [] { return telemetry::system_info_t{}; }});
    const bool submitted = report.submit(L"reason", L"action");
    const auto& calls = vdec.calls;
    if (!submitted || sent.find(L'\0') != std::wstring::npos ||
        machine.faults.calls("set_string") != 0 ||
        std::find(calls.begin(), calls.end(),
                  "AddKeyValueEventW anon_id=" + stdext::wide_to_utf8(sent)) == calls.end()) {
        std::abort();
    }
    return 0;
}
