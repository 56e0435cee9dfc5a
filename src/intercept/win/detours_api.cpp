// The exported transaction functions: one process-wide engine over the Windows platform.
#include "intercept/detours.h"

#include "intercept/engine.h"
#include "intercept/win/windows_platform.h"

namespace {

intercept::engine& process_engine() {
    // Never destroyed: trampolines stay valid while any code of the process may still call them.
    static intercept::windows_platform* const os = new intercept::windows_platform;
    static intercept::engine* const instance = new intercept::engine(*os);
    return *instance;
}

}  // namespace

extern "C" {

long INTERCEPT_API DetourTransactionBegin() {
    return process_engine().begin();
}
long INTERCEPT_API DetourTransactionAbort() {
    return process_engine().abort();
}
long INTERCEPT_API DetourTransactionCommit() {
    return process_engine().commit();
}
long INTERCEPT_API DetourUpdateThread(void* thread) {
    return process_engine().update_thread(thread);
}
long INTERCEPT_API DetourAttach(void** pointer, void* detour) {
    return process_engine().attach(pointer, detour);
}
long INTERCEPT_API DetourDetach(void** pointer, void* detour) {
    return process_engine().detach(pointer, detour);
}
}
