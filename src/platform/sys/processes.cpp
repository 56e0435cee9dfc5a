#include "platform/sys/processes.h"

#include "base/facility.h"

namespace winapi {

void sys_handle_traits::close(sys_handle h) noexcept {
    if (auto* procs = facility<processes>::find()) {
        procs->close(h);
    }
}

void snapshot_handle_traits::close(sys_handle h) noexcept {
    if (auto* procs = facility<processes>::find()) {
        procs->close(h);
    }
}

void environment_block_traits::close(sys_handle h) noexcept {
    if (auto* procs = facility<processes>::find()) {
        procs->destroy_environment(h);
    }
}

}  // namespace winapi
