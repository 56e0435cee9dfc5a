// An in-memory file tree with Windows path rules (either separator, "." and ".." resolved,
// letter case ignored, relative paths against the current directory), failure injection per
// operation and a "kill": after a set number of steps the next step throws process_killed and
// leaves the tree exactly as a dying process would (a write cut in the middle leaves half of
// its bytes in the file). Free of test-framework code so the fuzz targets can link it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/sys/file_system.h"

namespace fakes {

// Thrown by a step of the fake after the kill budget is spent. Not a std::exception, so no
// handler of the code under test can swallow it.
struct process_killed {};

class fake_file_system final : public winapi::file_system {
public:
    enum class op {
        current_directory,
        set_current_directory,
        create_folder,
        open_read,
        read,
        create,  // opening a file for writing
        write,
        flush,
        replace,
        remove,
    };

    fake_file_system();

    // Test set-up and inspection; paths follow the same rules as the facility calls.
    void add_folder(const std::wstring& path);                     // with every folder above it
    void set_file(const std::wstring& path, std::string content);  // creates the folders
    std::optional<std::string> file(const std::wstring& path) const;
    bool has_folder(const std::wstring& path) const;
    void remove(const std::wstring& path);
    // Every file below folder (normalised lower-case full paths).
    std::vector<std::wstring> files_in(const std::wstring& folder) const;

    // From now on, every call of `what` after the first `skip` ones fails with error.
    void fail(op what, std::uint32_t error, int skip = 0);
    void clear_failures() { failures_.clear(); }

    // After this many steps the next one throws process_killed.
    std::optional<int> kill_after;
    int steps = 0;

    std::wstring current = L"C:\\Program Files\\Valdrin\\Agent\\1.0.0";

    // winapi::file_system
    std::uint32_t current_directory(std::wstring& out) override;
    std::uint32_t set_current_directory(const std::wstring& path) override;
    bool folder_exists(const std::wstring& path) override;
    bool file_exists(const std::wstring& path) override;
    std::uint32_t create_folder(const std::wstring& path) override;
    winapi::file_status read_file(const std::wstring& path, std::string& content) override;
    winapi::file_status write_file(const std::wstring& path, std::string_view content) override;
    std::uint32_t replace_file(const std::wstring& source, const std::wstring& target) override;
    std::uint32_t delete_file(const std::wstring& path) override;

private:
    struct node {
        bool folder = false;
        std::string content;
    };
    struct failure {
        std::uint32_t error;
        int skip;
    };

    // Full, normalised, lower-case path ("c:\a\b"), or nothing for a path that leaves its root.
    std::optional<std::wstring> resolve(const std::wstring& path) const;
    // Counts a step and throws process_killed when the budget is spent.
    void step();
    // The injected error for this call of `what`, if any.
    std::optional<std::uint32_t> injected(op what);
    const node* find(const std::optional<std::wstring>& key) const;
    bool parent_is_folder(const std::wstring& key) const;

    std::map<std::wstring, node> nodes_;
    std::map<op, failure> failures_;
    std::map<op, int> calls_;
};

}  // namespace fakes
