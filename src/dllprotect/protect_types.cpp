#include "dllprotect/protect_types.h"

#include <array>

namespace dllprotect {

const char* protect_result_text(std::int32_t result) noexcept {
    static constexpr std::array<const char*, 13> texts{
        "PROTECT_SUCCESS",
        "INIT_DETOUR_FAILED",
        "LOAD_FAILED",
        "GETPATH_FAILED",
        "GETMAPPEDFILE_FAILED",
        "VULNERABLE_PATH",
        "VULNERABLE_PATH_NTCREATE_SECTION",
        "INVALID_SIGNATURE",
        "RECURSIVE_DLL_LOAD_LOADLIBRARY",
        "RECURSIVE_DLL_LOAD_NTCREATESECTION",
        "DLL_BLOCKED",
        "GENERIC_ERROR",
        "IN_WINVERIFYTRUST_CALL",
    };
    if (result < 0 || static_cast<std::size_t>(result) >= texts.size()) {
        return "UNKNOWN";
    }
    return texts[static_cast<std::size_t>(result)];
}

}  // namespace dllprotect
