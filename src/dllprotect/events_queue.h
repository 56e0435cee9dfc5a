// Where the engine's events go when the host gave a callback: a FIFO served by one worker thread,
// which hands each event to the consumer outside the lock, one at a time, in submission order.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "dllprotect/protect_types.h"

namespace dllprotect {

class EventsConsumerBase {
public:
    virtual ~EventsConsumerBase() = default;
    virtual void consume(DllProtectInfo& info) = 0;
};

// Hands each event to the host's callback as the eight-pointer view.
class EventsCbkDumper final : public EventsConsumerBase {
public:
    EventsCbkDumper(DllProtectEventsCbk callback, void* context)
        : callback_(callback), context_(context) {}
    void consume(DllProtectInfo& info) override {
        const DllProtectEvent view{info.request_path.c_str(),  info.load_path.c_str(),
                                   info.reason.c_str(),        info.function_name.c_str(),
                                   info.flags.c_str(),         info.caller_name.c_str(),
                                   info.caller_offset.c_str(), info.error_info.c_str()};
        callback_(&view, context_);
    }

private:
    DllProtectEventsCbk callback_;
    void* context_;
};

template <class T, class Consumer, int Workers>
class SynchronizedQueueConsumer;

// One worker serving a FIFO of T. Stopping lets the worker deliver what is still queued.
template <class T, class Consumer>
class SynchronizedQueueConsumer<T, Consumer, 1> {
public:
    explicit SynchronizedQueueConsumer(Consumer consumer)
        : consumer_(consumer), worker_([this] { run(); }) {}
    ~SynchronizedQueueConsumer() { stop(); }
    SynchronizedQueueConsumer(const SynchronizedQueueConsumer&) = delete;
    SynchronizedQueueConsumer& operator=(const SynchronizedQueueConsumer&) = delete;

    void push(T item) {
        {
            const std::lock_guard lock(mutex_);
            fifo_.push_back(std::move(item));
        }
        ready_.notify_one();
    }

    // Ends the worker after it has delivered every queued item; later pushes stay undelivered.
    void stop() {
        {
            const std::lock_guard lock(mutex_);
            running_.store(false);
        }
        ready_.notify_all();
        if (worker_.joinable()) {
            worker_.join();
        }
    }

private:
    bool take(T& item) {
        std::unique_lock lock(mutex_);
        if (fifo_.empty() && running_.load()) {
            ready_.wait(lock);
        }
        if (fifo_.empty()) {
            return false;
        }
        item = std::move(fifo_.front());
        fifo_.pop_front();
        return true;
    }

    void run() {
        T item;
        while (running_.load()) {
            if (take(item)) {
                consumer_.consume(item);
            }
        }
        while (take(item)) {
            consumer_.consume(item);
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<T> fifo_;
    Consumer consumer_;
    std::atomic<bool> running_{true};
    std::thread worker_;  // last: it starts once everything above exists
};

using events_queue = SynchronizedQueueConsumer<DllProtectInfo, EventsConsumerBase&, 1>;

}  // namespace dllprotect
