#include <windows.h>

#include "platform/sys/win/system_facilities.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    winapi::install_windows_facilities();
    return 0;
}
