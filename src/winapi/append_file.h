// The append-file facility: a file kept open by one writer that appends records to it. It is
// opened (created when missing) for reading, writing, appending and deleting, shared for writing
// and deleting but not for reading, so a second writer that asks for read access waits for the
// first; the open also tells the file's final path, so the caller can see whether the name
// it opened led somewhere else (a link or a junction).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "stdext/expected.h"
#include "stdext/unique_handle.h"
#include "winapi/facility.h"

namespace winapi {

using append_handle = std::uintptr_t;

inline constexpr std::uint32_t error_sharing_violation = 32;
// The opened file is not the one the name was meant to give.
inline constexpr std::uint32_t error_invalid_file_name_link = 1656;

struct append_handle_traits {
    using handle_type = append_handle;
    [[nodiscard]] static constexpr append_handle empty() noexcept { return 0; }
    static void close(append_handle file) noexcept;
};
using unique_append_handle = stdext::unique_handle<append_handle_traits>;

struct opened_append_file {
    unique_append_handle file;
    // GetFinalPathNameByHandleW of the file as given (normally with "\\?\"), or, when that fails,
    // "\\?\UNC" and the handle's file name when that path exists; empty when neither worked.
    std::wstring final_path;
};

// The outcome of one write: the bytes written and, when the write failed, the system's error.
struct append_write {
    std::uint32_t written = 0;
    std::uint32_t error = 0;
};

class append_file {
public:
    virtual ~append_file() = default;

    // CreateFileW(access 0xC0110084, share 6, OPEN_ALWAYS, flags 0x2000080) and the final path.
    // A failed open is the system's error (32 when another opener holds it).
    [[nodiscard]] virtual stdext::expected<opened_append_file> open(const std::wstring& path) = 0;
    [[nodiscard]] virtual stdext::expected<std::uint64_t> size(append_handle file) = 0;
    // Moves to the end; the new position.
    [[nodiscard]] virtual stdext::expected<std::uint64_t> seek_end(append_handle file) = 0;
    // Cuts the file at position (its end of file becomes position) and moves there; truncating to
    // zero is set_end(file, 0).
    [[nodiscard]] virtual stdext::expected<void> set_end(append_handle file,
                                                         std::uint64_t position) = 0;
    // One WriteFile at the current position.
    [[nodiscard]] virtual append_write write(append_handle file, std::string_view bytes) = 0;
    virtual void close(append_handle file) = 0;
};

inline void append_handle_traits::close(append_handle file) noexcept {
    if (append_file* impl = facility<append_file>::find()) {
        impl->close(file);
    }
}

}  // namespace winapi
