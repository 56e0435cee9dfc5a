// The file identity facility: which file-system object a path names, so that two paths can be
// recognised as the same file or folder whatever their spelling (links, short names, case).
#pragma once

#include <cstdint>
#include <string>

#include "stdext/expected.h"

namespace winapi {

struct file_id {
    std::uint32_t volume_serial = 0;
    std::uint64_t index = 0;
    friend bool operator==(const file_id&, const file_id&) = default;
};

class file_identity {
public:
    virtual ~file_identity() = default;

    // The volume serial number and file index of the file or folder (opened with no access
    // rights, backup semantics for folders).
    [[nodiscard]] virtual stdext::expected<file_id> identify(const std::wstring& path) = 0;
};

// Whether the two paths name one file or folder (same volume, same file index). Either path
// that cannot be identified (for instance a missing one) is an error.
[[nodiscard]] stdext::expected<bool> equivalent(const std::wstring& a, const std::wstring& b);

}  // namespace winapi
