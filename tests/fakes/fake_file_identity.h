// File-system objects known by path (compared ignoring case); several paths may name one object.
#pragma once

#include <map>
#include <string>

#include "stdext/utf.h"
#include "winapi/file_identity.h"

namespace fakes {

class fake_file_identity final : public winapi::file_identity {
public:
    void add(const std::wstring& path, winapi::file_id id) {
        objects_[stdext::to_lower(path)] = id;
    }

    std::uint32_t identify(const std::wstring& path, winapi::file_id& out) override {
        auto it = objects_.find(stdext::to_lower(path));
        if (it == objects_.end()) {
            return 2;  // ERROR_FILE_NOT_FOUND
        }
        out = it->second;
        return 0;
    }

private:
    std::map<std::wstring, winapi::file_id> objects_;
};

}  // namespace fakes
