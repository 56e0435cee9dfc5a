// What the load protection's whole check of an untrusted, unsigned library costs next to one bare
// WinVerifyTrust call on the same file. Both run in turns, many rounds each, in one process; the
// medians and their ratio are printed.
//
//     trust-check-bench.exe <library> [rounds]

// clang-format off
#include <windows.h>
#include <wintrust.h>
#include <softpub.h>
// clang-format on

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "dllprotect/protect_types.h"
#include "dllprotect/trust_decisions.h"
#include "winapi/win/system_facilities.h"

namespace {

double now_us() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER c;
    ::QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) * 1e6 / frequency;
}

LONG bare_verify(const std::wstring& path) {
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = path.c_str();
    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_IGNORE;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    return ::WinVerifyTrust(nullptr, &action, &data);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: trust-check-bench <library> [rounds]\n");
        return 2;
    }
    const std::wstring library = argv[1];
    const int rounds =
        argc > 2 ? std::max(1, static_cast<int>(std::wcstol(argv[2], nullptr, 10))) : 200;

    winapi::install_windows_facilities();
    dllprotect::capture_trusted_dirs();
    dllprotect::build_nt_device_table();
    // The host's options: signature, write access, report mode.
    dllprotect::decisions().options = 0x1A;

    std::wstring load_path;
    std::string error_info;
    const auto result = dllprotect::PerformSecurityChecks(library, 0, load_path, error_info);
    if (result != dllprotect::VULNERABLE_PATH || bare_verify(library) == 0) {
        std::fprintf(stderr, "the library must be untrusted and unsigned (check gave %s)\n",
                     dllprotect::protect_result_text(result));
        return 1;
    }

    std::vector<double> checks;
    std::vector<double> verifies;
    for (int i = 0; i < rounds; ++i) {
        double start = now_us();
        static_cast<void>(dllprotect::PerformSecurityChecks(library, 0, load_path, error_info));
        checks.push_back(now_us() - start);
        start = now_us();
        static_cast<void>(bare_verify(library));
        verifies.push_back(now_us() - start);
    }
    const double check = median(checks);
    const double verify = median(verifies);
    std::printf("rounds %d: full check median %.1f us, WinVerifyTrust median %.1f us, ratio %.2f\n",
                rounds, check, verify, check / verify);
    return 0;
}
