// A program that only records how it was started: the stand-in of the agent's installer
// ("installer\installer.exe"), its discovery component ("PeerScout.exe") and its UI
// ("CorvelUI.exe"). One build is copied under each name.
//
// Every run appends one line to "<name>.calls" beside the executable (name without ".exe"):
//   pid=<process id> session=<session id> cmdline=<the command line as received>
// and exits with the number in "<name>.exit" beside it (0 when there is none). When "<name>.stay"
// exists the program keeps running until that file is removed, as a resident component does.
#include <windows.h>

#include <cstdio>
#include <string>

#include "common/beside.h"

namespace {

std::string to_utf8(const std::wstring& wide) {
    if (wide.empty()) {
        return {};
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

// The program's own file name without ".exe".
std::wstring own_name() {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
    if (name.size() > 4 && _wcsicmp(name.c_str() + name.size() - 4, L".exe") == 0) {
        name.resize(name.size() - 4);
    }
    return name;
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const std::wstring name = own_name();
    DWORD session = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &session)) {
        session = 0xFFFFFFFF;
    }
    const std::string line = "pid=" + std::to_string(GetCurrentProcessId()) +
                             " session=" + std::to_string(session) +
                             " cmdline=" + to_utf8(GetCommandLineW()) + "\n";
    if (FILE* calls = _wfopen(lab::beside_this_module((name + L".calls").c_str()).c_str(), L"ab")) {
        std::fwrite(line.data(), 1, line.size(), calls);
        std::fclose(calls);
    }
    int code = 0;
    if (FILE* exit_file =
            _wfopen(lab::beside_this_module((name + L".exit").c_str()).c_str(), L"rb")) {
        if (std::fscanf(exit_file, "%d", &code) != 1) {
            code = 0;
        }
        std::fclose(exit_file);
    }
    const std::wstring stay = lab::beside_this_module((name + L".stay").c_str());
    while (exists(stay)) {
        Sleep(200);
    }
    return code;
}
