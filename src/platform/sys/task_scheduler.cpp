#include "platform/sys/task_scheduler.h"

#include "base/facility.h"

namespace winapi {

void com_ptr_traits::close(com_ptr object) noexcept {
    if (auto* scheduler = facility<task_scheduler>::find()) {
        scheduler->release(object);
    }
}

}  // namespace winapi
