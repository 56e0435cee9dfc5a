#include "platform/sys/modules.h"

#include "base/facility.h"

namespace winapi {

void module_traits::close(hmodule module) noexcept {
    if (auto* mods = facility<modules>::find()) {
        mods->free(module);
    }
}

}  // namespace winapi
