#include "platform/config/log_shim.h"

#include <mutex>
#include <utility>

namespace config::detail {
namespace {

std::mutex& receiver_lock() {
    static std::mutex lock;
    return lock;
}

log_receiver& receiver() {
    static log_receiver current;
    return current;
}

}  // namespace

void write_log(std::uint32_t level, const wchar_t* function, const std::wstring& message) {
    std::lock_guard<std::mutex> hold(receiver_lock());
    if (receiver()) {
        receiver()(level, function, message);
    }
}

log_receiver set_log_receiver(log_receiver next) {
    std::lock_guard<std::mutex> hold(receiver_lock());
    return std::exchange(receiver(), std::move(next));
}

}  // namespace config::detail
