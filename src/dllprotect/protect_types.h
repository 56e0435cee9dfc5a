// The option word the engine is started with and the outcome of a check of one library.
#pragma once

#include <cstdint>

namespace dllprotect {

// Bits of the option word.
inline constexpr std::uint32_t OPT_KEEP_SEARCH_MODE = 0x01;
inline constexpr std::uint32_t OPT_CHECK_SIGNATURE = 0x02;
inline constexpr std::uint32_t OPT_USE_BLACKLIST = 0x04;
inline constexpr std::uint32_t OPT_CHECK_WRITE_ACCESS = 0x08;
inline constexpr std::uint32_t OPT_REPORT_MODE = 0x10;
inline constexpr std::uint32_t OPT_BLOCK_MODE = 0x20;
inline constexpr std::uint32_t OPT_ALWAYS_EVENTS = 0x40;
inline constexpr std::uint32_t OPT_HOOK_NTCREATESECTION = 0x80;

// The outcome of a check; each value's name is its text in events.
enum ProtectResult : std::int32_t {
    PROTECT_SUCCESS = 0,
    INIT_DETOUR_FAILED = 1,
    LOAD_FAILED = 2,
    GETPATH_FAILED = 3,
    GETMAPPEDFILE_FAILED = 4,
    VULNERABLE_PATH = 5,
    VULNERABLE_PATH_NTCREATE_SECTION = 6,
    INVALID_SIGNATURE = 7,
    RECURSIVE_DLL_LOAD_LOADLIBRARY = 8,
    RECURSIVE_DLL_LOAD_NTCREATESECTION = 9,
    DLL_BLOCKED = 10,
    GENERIC_ERROR = 11,
    IN_WINVERIFYTRUST_CALL = 12,
};

// The value's name, or "UNKNOWN" for a value without one.
[[nodiscard]] const char* protect_result_text(std::int32_t result) noexcept;

}  // namespace dllprotect
