#include "intercept/engine.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "intercept/errors.h"

namespace intercept {
namespace {

// Where an instruction pointer at `ip` goes when the code it runs moves from one copy to the
// other: between the same instruction in the original and in the trampoline.
bool map_ip(const slot& s, bool to_trampoline, std::uint64_t& ip) {
    const std::uint64_t from = to_trampoline ? s.target : s.code_address();
    const std::uint64_t to = to_trampoline ? s.code_address() : s.target;
    if (ip < from || ip >= from + (to_trampoline ? s.covered : s.code_size)) {
        return false;
    }
    const std::uint64_t offset = ip - from;
    for (std::size_t i = 0; i < s.boundary_count; ++i) {
        const boundary& b = s.boundaries[i];
        if ((to_trampoline ? b.source : b.trampoline) == offset) {
            ip = to + (to_trampoline ? b.trampoline : b.source);
            return true;
        }
    }
    return false;
}

// Writes code that other threads may be running. Bytes that lie inside one aligned 8-byte word
// (a function entry normally does) go in with a single store, so that a thread reaching them
// runs either the old instruction or the new jump, never a mix of the two.
void write_code(std::uint64_t address, const std::uint8_t* bytes, std::size_t size) {
    const std::uint64_t word = address & ~std::uint64_t{7};
    const std::size_t offset = static_cast<std::size_t>(address - word);
    if (offset + size <= 8) {
        auto* cell = reinterpret_cast<std::uint64_t*>(static_cast<std::uintptr_t>(word));
        const std::atomic_ref<std::uint64_t> shared(*cell);
        std::uint64_t value = shared.load(std::memory_order_relaxed);
        std::memcpy(reinterpret_cast<std::uint8_t*>(&value) + offset, bytes, size);
        shared.store(value, std::memory_order_release);
        return;
    }
    std::memcpy(reinterpret_cast<std::uint8_t*>(static_cast<std::uintptr_t>(address)), bytes, size);
}

// Sets a caller's pointer; the detours of other threads read it while the commit runs.
void publish(void** pointer, std::uint64_t value) {
    std::atomic_ref<void*>(*pointer).store(
        reinterpret_cast<void*>(static_cast<std::uintptr_t>(value)), std::memory_order_release);
}

}  // namespace

bool engine::owned() const {
    return pending_ && owner_ == os_.current_thread();
}

long engine::fail(long error) {
    error_ = error;
    return error;
}

long engine::begin() {
    const std::lock_guard lock(mutex_);
    if (pending_) {
        return error_invalid_operation;
    }
    pending_ = true;
    owner_ = os_.current_thread();
    error_ = no_error;
    operation_count_ = 0;
    thread_count_ = 0;
    return no_error;
}

long engine::update_thread(void* thread) {
    const std::lock_guard lock(mutex_);
    if (!owned()) {
        return error_invalid_operation;
    }
    if (error_ != no_error) {
        return error_;
    }
    if (os_.is_current_thread(thread)) {
        return no_error;  // the thread running the transaction is never suspended
    }
    if (thread_count_ == threads_.size()) {
        return fail(error_not_enough_memory);
    }
    if (const long error = os_.suspend(thread); error != no_error) {
        return fail(error);
    }
    threads_[thread_count_++] = thread;
    return no_error;
}

// Whether an attach or detach of *pointer to detour may join the open transaction; a refusal
// that is the caller's fault fails the whole transaction.
long engine::check_operation(void** pointer, void* detour) {
    if (!owned()) {
        return error_invalid_operation;
    }
    if (error_ != no_error) {
        return error_;
    }
    if (pointer == nullptr || *pointer == nullptr || detour == nullptr) {
        return fail(error_invalid_handle);
    }
    if (operation_count_ == operations_.size()) {
        return fail(error_not_enough_memory);
    }
    return no_error;
}

long engine::attach(void** pointer, void* detour) {
    const std::lock_guard lock(mutex_);
    if (const long error = check_operation(pointer, detour); error != no_error) {
        return error;
    }
    const arch mode = os_.code_arch();
    const std::uint64_t target = skip_thunks(reinterpret_cast<std::uintptr_t>(*pointer), mode, os_);
    const std::uint64_t detour_code =
        skip_thunks(reinterpret_cast<std::uintptr_t>(detour), mode, os_);
    std::array<std::uint8_t, max_source> source{};
    const std::size_t readable = os_.read(target, source.data(), source.size());
    if (readable < patch_size) {
        return fail(error_invalid_block);
    }
    slot* s = pool_.acquire(target);
    if (s == nullptr) {
        return fail(error_not_enough_memory);
    }
    relocation moved;
    long error =
        relocate(std::span(source.data(), readable), target, s->code_address(), mode, moved);
    if (error == no_error) {
        // The patch jumps straight to the detour when rel32 reaches it, else through the stub.
        const auto patch = std::span<std::uint8_t, patch_size>(s->patch);
        if (!encode_jump(target, detour_code, mode, patch)) {
            encode_absolute_jump(detour_code, std::span<std::uint8_t, absolute_jump_size>(
                                                  s->stub.data(), absolute_jump_size));
            const auto stub = reinterpret_cast<std::uintptr_t>(s->stub.data());
            if (!encode_jump(target, stub, mode, patch)) {
                error = error_invalid_block;
            }
        }
    }
    if (error != no_error) {
        pool_.free(s);
        return fail(error);
    }
    std::memcpy(s->code.data(), moved.code.data(), moved.code_size);
    std::fill(s->code.begin() + static_cast<std::ptrdiff_t>(moved.code_size), s->code.end(),
              std::uint8_t{0xCC});
    s->target = target;
    s->detour = detour_code;
    s->covered = static_cast<std::uint8_t>(std::max(moved.source_length, patch_size));
    std::memcpy(s->original.data(), source.data(), s->covered);
    s->code_size = static_cast<std::uint8_t>(moved.code_size);
    s->boundaries = moved.boundaries;
    s->boundary_count = static_cast<std::uint8_t>(moved.boundary_count);
    operations_[operation_count_++] = {true, pointer, s};
    return no_error;
}

long engine::detach(void** pointer, void* detour) {
    const std::lock_guard lock(mutex_);
    if (const long error = check_operation(pointer, detour); error != no_error) {
        return error;
    }
    slot* s = pool_.find(reinterpret_cast<std::uintptr_t>(*pointer), slot_state::live);
    if (s == nullptr ||
        s->detour != skip_thunks(reinterpret_cast<std::uintptr_t>(detour), os_.code_arch(), os_)) {
        return fail(error_invalid_block);
    }
    s->state = slot_state::detaching;
    operations_[operation_count_++] = {false, pointer, s};
    return no_error;
}

long engine::commit() {
    const std::lock_guard lock(mutex_);
    if (!owned()) {
        return error_invalid_operation;
    }
    if (error_ != no_error) {
        const long error = error_;
        abort_pending();
        return error;
    }
    // Every target must still hold what the transaction saw: the original bytes for an attach,
    // our patch for a detach.
    for (std::size_t i = 0; i < operation_count_; ++i) {
        const operation& op = operations_[i];
        std::array<std::uint8_t, max_source> now{};
        const std::size_t size = op.attach ? op.entry->covered : patch_size;
        const std::uint8_t* expected =
            op.attach ? op.entry->original.data() : op.entry->patch.data();
        if (os_.read(op.entry->target, now.data(), size) != size ||
            std::memcmp(now.data(), expected, size) != 0) {
            abort_pending();
            return error_invalid_data;
        }
    }
    // All targets writable first, so that a refusal leaves every one of them untouched.
    std::array<std::uint32_t, max_operations> previous{};
    for (std::size_t i = 0; i < operation_count_; ++i) {
        const long error = os_.make_writable(operations_[i].entry->target, patch_size, previous[i]);
        if (error != no_error) {
            while (i-- > 0) {
                os_.restore_protection(operations_[i].entry->target, patch_size, previous[i]);
            }
            abort_pending();
            return error;
        }
    }
    // Nothing can fail from here on. Threads that were not enlisted may call in at any moment,
    // and a detour calls the original through its pointer: that pointer must never lead back
    // into the detour. So an attach hands out its trampoline, which already runs the original,
    // before its patch is written, and a detach gives the real function back only once the
    // original bytes are in place (until then its trampoline still runs them).
    for (std::size_t i = 0; i < operation_count_; ++i) {
        const operation& op = operations_[i];
        if (op.attach) {
            os_.flush_code(op.entry->code_address(), sizeof op.entry->code + sizeof op.entry->stub);
            publish(op.pointer, op.entry->code_address());
        }
    }
    for (std::size_t i = 0; i < operation_count_; ++i) {
        const operation& op = operations_[i];
        write_code(op.entry->target, op.attach ? op.entry->patch.data() : op.entry->original.data(),
                   patch_size);
    }
    // In reverse: targets that share a page get back the protection the first one found.
    for (std::size_t i = operation_count_; i-- > 0;) {
        os_.restore_protection(operations_[i].entry->target, patch_size, previous[i]);
        os_.flush_code(operations_[i].entry->target, patch_size);
    }
    move_threads();
    for (std::size_t i = 0; i < operation_count_; ++i) {
        const operation& op = operations_[i];
        if (op.attach) {
            op.entry->state = slot_state::live;
        } else {
            publish(op.pointer, op.entry->target);
            pool_.free(op.entry);
        }
    }
    pool_.keep_new_blocks();
    end();
    return no_error;
}

long engine::abort() {
    const std::lock_guard lock(mutex_);
    if (!owned()) {
        return error_invalid_operation;
    }
    abort_pending();
    return no_error;
}

void engine::abort_pending() {
    for (std::size_t i = 0; i < operation_count_; ++i) {
        const operation& op = operations_[i];
        if (op.attach) {
            pool_.free(op.entry);
        } else {
            op.entry->state = slot_state::live;
        }
    }
    pool_.release_new_empty_blocks();
    end();
}

// A suspended thread that stopped inside rewritten code continues at the same instruction in the
// other copy: in the trampoline after an attach, in the original after a detach.
void engine::move_threads() {
    for (std::size_t t = 0; t < thread_count_; ++t) {
        std::uint64_t ip = 0;
        if (os_.get_ip(threads_[t], ip) != no_error) {
            continue;
        }
        for (std::size_t i = 0; i < operation_count_; ++i) {
            if (map_ip(*operations_[i].entry, operations_[i].attach, ip)) {
                static_cast<void>(os_.set_ip(threads_[t], ip));
                break;
            }
        }
    }
}

void engine::end() {
    for (std::size_t t = 0; t < thread_count_; ++t) {
        os_.resume(threads_[t]);
    }
    thread_count_ = 0;
    operation_count_ = 0;
    error_ = no_error;
    pending_ = false;
    owner_ = 0;
}

}  // namespace intercept
