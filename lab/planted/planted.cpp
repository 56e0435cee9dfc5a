// A library that only answers that it was loaded: the tests tell a refused load from a load that
// went on by whether its export can be called.
#include <windows.h>

extern "C" __declspec(dllexport) int planted_marker() {
    return 0x504C4E54;  // "PLNT"
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
