// The per-thread sets live in a fiber-local slot whose callback frees them when the thread ends.
// A C++ thread_local object with a destructor is not used: with this toolchain's emulated thread
// storage its destructor can run after that storage is gone, which corrupts the heap at the exit
// of a thread that went through the interceptions.
#include <windows.h>

#include "dllprotect/load_hooks.h"

namespace dllprotect {
namespace {

void WINAPI release(void* sets) {
    delete static_cast<thread_sets*>(sets);
}

}  // namespace

thread_sets& this_thread_sets() {
    static const DWORD slot = ::FlsAlloc(&release);
    auto* sets = static_cast<thread_sets*>(::FlsGetValue(slot));
    if (sets == nullptr) {
        sets = new thread_sets;
        ::FlsSetValue(slot, sets);
    }
    return *sets;
}

}  // namespace dllprotect
