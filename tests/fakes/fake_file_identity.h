// File-system objects known by path (compared ignoring case); several paths may name one object.
#pragma once

#include <map>
#include <string>

#include "fakes/kit.h"
#include "stdext/path.h"
#include "winapi/file_identity.h"

namespace fakes {

class fake_file_identity final : public winapi::file_identity, public fake_base {
public:
    void add(const std::wstring& path, winapi::file_id id) { objects_[path_key(path)] = id; }

    stdext::expected<winapi::file_id> identify(const std::wstring& path) override {
        auto e = check("identify");
        auto it = objects_.find(path_key(path));
        if (e || it == objects_.end()) {
            return stdext::unexpected(e.value_or(winapi::win_failure(2, "CreateFile failed")));
        }
        return it->second;
    }

private:
    std::map<std::wstring, winapi::file_id> objects_;
};

}  // namespace fakes
