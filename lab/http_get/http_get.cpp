// http-get.exe URL FILE: downloads URL into FILE with the program's own HTTP client, for the
// download benchmark. Exit code 0 on success, 1 with the error on standard error otherwise.
#include <cstdio>
#include <exception>

#include "platform/http/http.h"
#include "winapi/win/system_facilities.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fputs("usage: http-get.exe URL FILE\n", stderr);
        return 2;
    }
    winapi::install_windows_facilities();
    try {
        platform::http::download(argv[1], argv[2]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
