// The option word the engine is started with and the outcome of a check of one library.
#pragma once

#include <cstdint>
#include <string>

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

// One event of the engine: eight UTF-8 texts, in the order in which the callback sees them and the
// dump file stores them.
struct DllProtectInfo {
    std::string request_path;   // the name as the caller passed it
    std::string load_path;      // where it resolved to; "UNKNOWN" for LOAD_FAILED
    std::string reason;         // the ProtectResult text
    std::string function_name;  // the intercepted function; empty for a failed start
    std::string flags;          // "0x" and the load flags in lower-case hexadecimal
    std::string caller_name;    // file name of the calling module; empty when unknown
    std::string caller_offset;  // "0x" and the return address' offset in it; empty when unknown
    std::string error_info;     // an error code, the trusted-folder summary or recursion detail

    bool operator==(const DllProtectInfo&) const = default;
};

// The view of an event handed to the host's callback; the texts live only during the call.
struct DllProtectEvent {
    const char* request_path;
    const char* load_path;
    const char* reason;
    const char* function_name;
    const char* flags;
    const char* caller_name;
    const char* caller_offset;
    const char* error_info;
};

using DllProtectEventsCbk = void (*)(const DllProtectEvent* event, void* context);

}  // namespace dllprotect
