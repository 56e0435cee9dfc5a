#include "winapi/file_identity.h"

#include "winapi/facility.h"

namespace winapi {

stdext::expected<bool> equivalent(const std::wstring& a, const std::wstring& b) {
    auto& files = facility<file_identity>::get();
    return files.identify(a).and_then([&](const file_id& first) {
        return files.identify(b).transform([&](const file_id& second) { return first == second; });
    });
}

}  // namespace winapi
