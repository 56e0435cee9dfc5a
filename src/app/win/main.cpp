#include <windows.h>

#include "app/entry.h"
#include "app/product_parts.h"
#include "dllprotect/win/interception_win.h"
#include "winapi/win/system_facilities.h"

// The parameters are not used: the command word is read from GetCommandLineW.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    winapi::install_windows_facilities();
    dllprotect::install_windows_interception();
    app::fix_start_paths();
    app::product_parts parts;
    return app::run_entry(parts, app::make_command_table());
}
