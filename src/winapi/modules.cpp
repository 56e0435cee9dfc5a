#include "winapi/modules.h"

namespace winapi {

stdext::expected<std::wstring> module_file_name(hmodule module) {
    return facility<modules>::get().file_name(module, long_path_capacity);
}

}  // namespace winapi
