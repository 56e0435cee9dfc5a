// Function interception in transactions: begin a transaction, enlist the threads that may be
// running the code, attach (or detach) replacements, then commit them all at once or abort.
//
// Attach(&pointer, detour) redirects the function *pointer names to detour; on commit, pointer is
// set to a trampoline that runs the original function, so the detour calls the original through
// it. Detach(&pointer, detour) undoes that; on commit, pointer is set back to the real function.
// Every function returns 0 (NO_ERROR) or a Windows error number:
//   ERROR_INVALID_OPERATION (4317)  no transaction is pending, one is already pending, or the
//                                   pending transaction belongs to another thread;
//   ERROR_INVALID_HANDLE (6)        pointer, *pointer or detour is null;
//   ERROR_INVALID_BLOCK (9)         the target is too small or its first instructions cannot be
//                                   moved, or (detach) it is not attached to this detour;
//   ERROR_NOT_ENOUGH_MEMORY (8)     no trampoline memory near the target, or too many entries;
//   ERROR_INVALID_DATA (13)         (commit) a target changed between attach and commit;
// or the error of a failed system call. After a failed attach or detach, every further call of
// the transaction returns that error and commit aborts the transaction and returns it.
#pragma once

// 32-bit Windows callers use the stdcall convention of the system's own API.
#if defined(_WIN32) && (defined(__i386__) || defined(_M_IX86))
#define INTERCEPT_API __stdcall
#else
#define INTERCEPT_API
#endif

extern "C" {
[[nodiscard]] long INTERCEPT_API DetourTransactionBegin();
[[nodiscard]] long INTERCEPT_API DetourTransactionAbort();
[[nodiscard]] long INTERCEPT_API DetourTransactionCommit();
[[nodiscard]] long INTERCEPT_API DetourUpdateThread(void* thread);
[[nodiscard]] long INTERCEPT_API DetourAttach(void** pointer, void* detour);
[[nodiscard]] long INTERCEPT_API DetourDetach(void** pointer, void* detour);
}
