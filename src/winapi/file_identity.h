// The file identity facility: which file-system object a path names, so that two paths can be
// recognised as the same file or folder whatever their spelling (links, short names, case).
#pragma once

#include <cstdint>
#include <string>

namespace winapi {

struct file_id {
    std::uint32_t volume_serial = 0;
    std::uint64_t index = 0;
    friend bool operator==(const file_id&, const file_id&) = default;
};

class file_identity {
public:
    virtual ~file_identity() = default;

    // Opens the file or folder (no access rights needed, backup semantics for folders) and reads
    // its volume serial number and file index (GetFileInformationByHandle). Returns the Windows
    // error (0 on success).
    virtual std::uint32_t identify(const std::wstring& path, file_id& out) = 0;
};

}  // namespace winapi
