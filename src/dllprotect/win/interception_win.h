// The Windows interceptions of the protection engine (Windows targets only).
#pragma once

namespace dllprotect {

// Installs the Windows implementation of the engine's interception facility.
void install_windows_interception();

}  // namespace dllprotect
