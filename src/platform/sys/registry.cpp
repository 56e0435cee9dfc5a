#include "platform/sys/registry.h"

#include "base/facility.h"

namespace winapi {

void registry_key_traits::close(hkey key) noexcept {
    if (auto* reg = facility<registry>::find()) {
        reg->close_key(key);
    }
}

}  // namespace winapi
