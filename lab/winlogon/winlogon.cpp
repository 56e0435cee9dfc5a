// winlogon.exe for the lab: stays alive and does nothing else.
//
//   winlogon.exe [SECONDS]
//
// At start it writes its process id to "winlogon.pid" beside itself, then lives until SECONDS have
// passed (default 600), or a file "winlogon.stop" appears beside it, whichever comes first. The
// caller removes both files before it starts one.
#include <windows.h>

#include <cwchar>
#include <string>

#include "common/beside.h"

namespace {

void write_pid(const std::wstring& file) {
    HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return;
    }
    char text[32];
    const int len = wsprintfA(text, "%lu\n", GetCurrentProcessId());
    DWORD written = 0;
    WriteFile(h, text, static_cast<DWORD>(len), &written, nullptr);
    CloseHandle(h);
}

// The first word of the arguments, as a number of seconds; 600 without one.
DWORD seconds_from(PCWSTR args) {
    wchar_t* end = nullptr;
    const unsigned long seconds = std::wcstoul(args, &end, 10);
    return end == args ? 600 : static_cast<DWORD>(seconds);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR args, int) {
    const std::wstring stop_file = lab::beside_this_module(L"winlogon.stop");
    const ULONGLONG limit = static_cast<ULONGLONG>(seconds_from(args)) * 1000;
    write_pid(lab::beside_this_module(L"winlogon.pid"));
    const ULONGLONG start = GetTickCount64();
    while (GetTickCount64() - start < limit) {
        if (GetFileAttributesW(stop_file.c_str()) != INVALID_FILE_ATTRIBUTES) {
            break;
        }
        Sleep(200);
    }
    return 0;
}
