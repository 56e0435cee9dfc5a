// What several Windows tests need alike: the folders the test run provides, fresh temporary
// folders, whole-file reads, polling and registry keys.
#pragma once

#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

#include "stdext/path.h"
#include "stdext/utf.h"

namespace wintest {

// `tail` under the folder that the environment variable names (the ctest fixtures' samples and
// links); empty when the variable is not set.
inline std::wstring env_path(const char* variable, const std::wstring& tail = L"") {
    const char* dir = std::getenv(variable);
    return dir ? stdext::path::join(stdext::utf8_to_wide(dir), tail) : std::wstring();
}

// A file of the build tree, seen through the Z: drive; empty when the build folder is not known
// or lacks it.
inline std::filesystem::path built(const std::string& relative) {
    const char* build = std::getenv("WARDEX_BUILD_DIR");
    if (build == nullptr) {
        return {};
    }
    const std::filesystem::path file = std::filesystem::path("Z:" + std::string(build)) / relative;
    return std::filesystem::exists(file) ? file : std::filesystem::path();
}

// The whole file; empty when it cannot be read.
inline std::string read_all(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Polls `done` every `step` milliseconds for up to `timeout` milliseconds.
template <class Done>
bool wait_until(Done done, ULONGLONG timeout, DWORD step = 100) {
    const ULONGLONG start = ::GetTickCount64();
    while (!done() && ::GetTickCount64() - start < timeout) {
        ::Sleep(step);
    }
    return done();
}

// A fresh, empty folder under the temporary folder, removed with its contents when it goes.
class temp_folder {
public:
    explicit temp_folder(const std::string& name)
        : path_(std::filesystem::temp_directory_path() / ("wardex-" + name)) {
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~temp_folder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    temp_folder(const temp_folder&) = delete;
    temp_folder& operator=(const temp_folder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& tail) const {
        return path_ / tail;
    }

private:
    std::filesystem::path path_;
};

inline bool key_exists(const std::wstring& path, REGSAM view) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, &key) != 0) {
        return false;
    }
    ::RegCloseKey(key);
    return true;
}

}  // namespace wintest
