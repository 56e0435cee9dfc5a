#include "intercept/win/windows_platform.h"

#include <windows.h>

#include <cstring>

namespace intercept {
namespace {

constexpr DWORD readable_protections = PAGE_EXECUTE | PAGE_READONLY | PAGE_READWRITE |
                                       PAGE_WRITECOPY | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE |
                                       PAGE_EXECUTE_WRITECOPY;

void* address_of(std::uint64_t address) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(address));
}

// Allocates size bytes at a granularity-aligned place of a free region between low and high,
// trying the free regions one by one from `from` outwards in one direction.
void* allocate_between(std::uintptr_t from, std::uintptr_t low, std::uintptr_t high,
                       std::size_t size, bool downwards, std::uintptr_t granularity) {
    const auto align_down = [granularity](std::uintptr_t a) { return a - a % granularity; };
    std::uintptr_t at = align_down(from);
    for (int probes = 0; probes < 100000 && at >= low && at < high; ++probes) {
        MEMORY_BASIC_INFORMATION info{};
        if (VirtualQuery(address_of(at), &info, sizeof info) == 0) {
            return nullptr;
        }
        const auto region = reinterpret_cast<std::uintptr_t>(info.BaseAddress);
        const std::uintptr_t end = region + info.RegionSize;
        if (info.State == MEM_FREE && info.RegionSize >= size) {
            const std::uintptr_t candidate =
                downwards ? align_down((at < end - size ? at : end - size))
                          : align_down((at > region ? at : region) + granularity - 1);
            if (candidate >= region && candidate + size <= end && candidate >= low &&
                candidate + size <= high) {
                if (void* block = VirtualAlloc(address_of(candidate), size,
                                               MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE)) {
                    return block;
                }
            }
        }
        if (downwards) {
            if (region < granularity) {
                return nullptr;
            }
            at = align_down(region - 1);
        } else {
            at = end;
        }
    }
    return nullptr;
}

}  // namespace

std::size_t windows_platform::read(std::uint64_t address, std::uint8_t* out,
                                   std::size_t size) const {
    // Only committed, readable pages are copied; the copy stops where they end.
    std::size_t done = 0;
    while (done < size) {
        MEMORY_BASIC_INFORMATION info{};
        if (VirtualQuery(address_of(address + done), &info, sizeof info) == 0 ||
            info.State != MEM_COMMIT || (info.Protect & readable_protections) == 0 ||
            (info.Protect & PAGE_GUARD) != 0) {
            break;
        }
        const auto end = reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize;
        std::size_t n = static_cast<std::size_t>(end - (address + done));
        n = n < size - done ? n : size - done;
        std::memcpy(out + done, address_of(address + done), n);
        done += n;
    }
    return done;
}

arch windows_platform::code_arch() const {
    return sizeof(void*) == 8 ? arch::x64 : arch::x86;
}

void* windows_platform::allocate_near(std::uint64_t nearby, std::size_t size) {
    if (code_arch() == arch::x86) {
        return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE);
    }
    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    const auto lowest = reinterpret_cast<std::uintptr_t>(system.lpMinimumApplicationAddress);
    const auto highest = reinterpret_cast<std::uintptr_t>(system.lpMaximumApplicationAddress);
    const std::uintptr_t span = 0x7FF00000u;  // a little less than 2 GiB
    const auto target = static_cast<std::uintptr_t>(nearby);
    const std::uintptr_t low = target > lowest + span ? target - span : lowest;
    const std::uintptr_t high = highest - target > span ? target + span : highest;
    const std::uintptr_t granularity = system.dwAllocationGranularity;
    if (void* block = allocate_between(target, low, high, size, true, granularity)) {
        return block;
    }
    return allocate_between(target, low, high, size, false, granularity);
}

void windows_platform::release(void* block, std::size_t) {
    VirtualFree(block, 0, MEM_RELEASE);
}

long windows_platform::make_writable(std::uint64_t address, std::size_t size,
                                     std::uint32_t& previous) {
    DWORD old = 0;
    if (!VirtualProtect(address_of(address), size, PAGE_EXECUTE_READWRITE, &old)) {
        return static_cast<long>(GetLastError());
    }
    previous = old;
    return 0;
}

void windows_platform::restore_protection(std::uint64_t address, std::size_t size,
                                          std::uint32_t previous) {
    DWORD ignored = 0;
    VirtualProtect(address_of(address), size, previous, &ignored);
}

void windows_platform::flush_code(std::uint64_t address, std::size_t size) {
    FlushInstructionCache(GetCurrentProcess(), address_of(address), size);
}

std::uint32_t windows_platform::current_thread() const {
    return GetCurrentThreadId();
}

bool windows_platform::is_current_thread(void* thread) const {
    return thread == GetCurrentThread() || GetThreadId(thread) == GetCurrentThreadId();
}

long windows_platform::suspend(void* thread) {
    if (SuspendThread(thread) == static_cast<DWORD>(-1)) {
        return static_cast<long>(GetLastError());
    }
    return 0;
}

void windows_platform::resume(void* thread) {
    ResumeThread(thread);
}

long windows_platform::get_ip(void* thread, std::uint64_t& ip) {
    CONTEXT context{};
    context.ContextFlags = CONTEXT_CONTROL;
    if (!GetThreadContext(thread, &context)) {
        return static_cast<long>(GetLastError());
    }
#if defined(_WIN64)
    ip = context.Rip;
#else
    ip = context.Eip;
#endif
    return 0;
}

long windows_platform::set_ip(void* thread, std::uint64_t ip) {
    CONTEXT context{};
    context.ContextFlags = CONTEXT_CONTROL;
    if (!GetThreadContext(thread, &context)) {
        return static_cast<long>(GetLastError());
    }
#if defined(_WIN64)
    context.Rip = ip;
#else
    context.Eip = static_cast<DWORD>(ip);
#endif
    if (!SetThreadContext(thread, &context)) {
        return static_cast<long>(GetLastError());
    }
    return 0;
}

}  // namespace intercept
