#include <memory>

#include "dllprotect/load_hooks.h"

namespace dllprotect {

thread_sets& this_thread_sets() {
    thread_local const std::unique_ptr<thread_sets> sets = std::make_unique<thread_sets>();
    return *sets;
}

}  // namespace dllprotect
