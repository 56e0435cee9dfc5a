#include "platform/sys/service_manager.h"

#include "base/facility.h"

namespace winapi {

void sc_handle_traits::close(sc_handle h) noexcept {
    if (auto* manager = facility<service_manager>::find()) {
        manager->close(h);
    }
}

}  // namespace winapi
