// The folder of a module file or of a process's main module.
#pragma once

#include <string>
#include <system_error>

#include "stdext/expected.h"
#include "winapi/modules.h"
#include "winapi/processes.h"

namespace winapi {

// The folder (ending with "\") of a module file or of a process's main module.
stdext::expected<std::wstring, std::error_code> get_foldername(hmodule module);
stdext::expected<std::wstring, std::error_code> get_foldername(sys_handle process);

namespace this_process {
// The folder of the running program's executable, ending with "\".
stdext::expected<std::wstring, std::error_code> get_foldername();
}  // namespace this_process

}  // namespace winapi
