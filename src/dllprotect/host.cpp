#include "dllprotect/host.h"

namespace dllprotect {

namespace {
constexpr std::uint32_t error_not_supported = 50;
}

host_outcome host_start(std::uint32_t /*options*/, std::wstring_view /*name*/) {
    return stdext::unexpected(
        host_error{error_not_supported, L"the load protection engine is not available"});
}

}  // namespace dllprotect
