// The folder of a module file or of a process's main module.
#pragma once

#include <cstdint>
#include <string>

#include "stdext/expected.h"
#include "winapi/modules.h"
#include "winapi/processes.h"

namespace winapi {

// A process by its id, so that it is not taken for a module handle.
enum class process_id : std::uint32_t {};

// The folder (ending with "\") of a module file, or of the main module of a process opened with
// query-information and memory-read access. A name without a folder is error 31.
[[nodiscard]] stdext::expected<std::wstring> get_foldername(hmodule module);
[[nodiscard]] stdext::expected<std::wstring> get_foldername(process_id process);
// The folder of the main module of a process the caller opened with query-information and
// memory-read access.
[[nodiscard]] stdext::expected<std::wstring> get_foldername(sys_handle process);

namespace this_process {
// The folder of the running program's executable, ending with "\".
[[nodiscard]] stdext::expected<std::wstring> get_foldername();
}  // namespace this_process

}  // namespace winapi
