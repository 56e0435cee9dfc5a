#include "winapi/file_identity.h"

#include "winapi/facility.h"

namespace winapi {

stdext::expected<bool> equivalent(const std::wstring& a, const std::wstring& b) {
    auto& files = facility<file_identity>::get();
    const auto first = files.identify(a);
    if (!first) {
        return stdext::unexpected(first.error());
    }
    const auto second = files.identify(b);
    if (!second) {
        return stdext::unexpected(second.error());
    }
    return *first == *second;
}

}  // namespace winapi
