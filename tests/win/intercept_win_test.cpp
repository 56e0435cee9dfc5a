// The interception library on real system functions of this process: the loading functions,
// ntdll's image-section call and wintrust's signature check.
#include <windows.h>

#include <softpub.h>
#include <wintrust.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <type_traits>
#include <vector>

#include "intercept/detours.h"
#include "win/support.h"

namespace {

using nt_create_section_fn = LONG(NTAPI*)(HANDLE*, ACCESS_MASK, void*, LARGE_INTEGER*, ULONG, ULONG,
                                          HANDLE);

std::array<std::atomic<int>, 6> calls{};
std::array<std::atomic<int>, 6> reentered{};

// A detour that counts its calls and calls through `real`: the original function until an
// attach commits, then the trampoline. A call that comes back into the same detour on the same
// thread counts as re-entered.
template <int index, class F>
struct counting;
template <int index, class R, class... A>
struct counting<index, R(WINAPI*)(A...)> {
    static inline R(WINAPI* real)(A...) = nullptr;
    static R WINAPI detour(A... arguments) {
        ++calls[index];
        static thread_local int depth = 0;
        if (depth > 0) {
            ++reentered[index];
        }
        ++depth;
        const R result = real(arguments...);
        --depth;
        return result;
    }
};
using load_library_w = counting<0, decltype(&LoadLibraryW)>;
using load_library_ex_w = counting<1, decltype(&LoadLibraryExW)>;
using load_library_a = counting<2, decltype(&LoadLibraryA)>;
using load_library_ex_a = counting<3, decltype(&LoadLibraryExA)>;
using nt_create_section = counting<4, nt_create_section_fn>;
using win_verify_trust = counting<5, decltype(&WinVerifyTrust)>;

nt_create_section_fn exported_nt_create_section() {
    FARPROC f = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtCreateSection");
    return reinterpret_cast<nt_create_section_fn>(reinterpret_cast<void*>(f));
}

// Where a function's code really is, resolved independently of the library: Wine's 64-bit
// kernel32 forwards with lea rsp,[rsp+0]; jmp [rip+disp32] into kernelbase, and this program's
// import stubs are a jmp through the import slot alone: jmp [rip+disp32] on x64, jmp [abs32] on
// x86.
const std::uint8_t* running_code(void* exported) {
    const auto* p = static_cast<const std::uint8_t*>(exported);
    static const std::uint8_t lea[] = {0x48, 0x8D, 0xA4, 0x24, 0, 0, 0, 0};
    for (int hop = 0; hop < 4; ++hop) {
        const std::uint8_t* jmp = std::memcmp(p, lea, sizeof lea) == 0 ? p + 8 : p;
        if (jmp[0] != 0xFF || jmp[1] != 0x25) {
            break;
        }
        std::int32_t disp = 0;
        std::memcpy(&disp, jmp + 2, 4);
        const std::uintptr_t slot = sizeof(void*) == 8
                                        ? reinterpret_cast<std::uintptr_t>(jmp + 6) + disp
                                        : static_cast<std::uint32_t>(disp);
        p = *reinterpret_cast<const std::uint8_t* const*>(slot);
    }
    return p;
}

std::vector<std::uint8_t> first_bytes(const void* code) {
    const auto* p = static_cast<const std::uint8_t*>(code);
    return {p, p + 16};
}

// WinVerifyTrust of this unsigned program: TRUST_E_NOSIGNATURE, hooked or not.
LONG verify_own_file() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    WINTRUST_FILE_INFO file{sizeof file, path, nullptr, nullptr};
    WINTRUST_DATA data{};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    return WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
}

struct hook {
    void** pointer;
    void* detour;
    void* exported;
    std::vector<std::uint8_t> code_before;   // of the code that really runs
    std::vector<std::uint8_t> thunk_before;  // of the exported address
};

template <class Hook>
hook make_hook(typename std::remove_reference_t<decltype(Hook::real)> original) {
    Hook::real = original;
    auto** pointer = reinterpret_cast<void**>(&Hook::real);
    return {pointer, reinterpret_cast<void*>(&Hook::detour), *pointer,
            first_bytes(running_code(*pointer)), first_bytes(*pointer)};
}

std::atomic<bool> stop{false};
std::atomic<long> answered{0};
std::atomic<long> unanswered{0};

DWORD WINAPI call_in_a_loop(void*) {
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    while (!stop) {
        ++(LoadLibraryW(L"kernel32.dll") == kernel32 ? answered : unanswered);
    }
    return 0;
}

// One transaction that attaches or detaches the hook with `threads` enlisted; a step that fails
// aborts it.
long transact(const hook& h, bool attach, const std::vector<HANDLE>& threads = {}) {
    long error = DetourTransactionBegin();
    if (error != NO_ERROR) {
        return error;
    }
    for (std::size_t i = 0; error == NO_ERROR && i < threads.size(); ++i) {
        error = DetourUpdateThread(threads[i]);
    }
    if (error == NO_ERROR) {
        error = attach ? DetourAttach(h.pointer, h.detour) : DetourDetach(h.pointer, h.detour);
    }
    if (error != NO_ERROR) {
        static_cast<void>(DetourTransactionAbort());
        return error;
    }
    return DetourTransactionCommit();
}

// The hooks of every function, with the counters and the callers' state reset.
std::vector<hook> prepare_hooks() {
    LoadLibraryW(L"wintrust.dll");
    for (std::size_t i = 0; i < calls.size(); ++i) {
        calls[i] = 0;
        reentered[i] = 0;
    }
    stop = false;
    answered = 0;
    unanswered = 0;
    return {make_hook<load_library_w>(&LoadLibraryW),
            make_hook<load_library_ex_w>(&LoadLibraryExW),
            make_hook<load_library_a>(&LoadLibraryA),
            make_hook<load_library_ex_a>(&LoadLibraryExA),
            make_hook<nt_create_section>(exported_nt_create_section()),
            make_hook<win_verify_trust>(&WinVerifyTrust)};
}

TEST(InterceptWin, AttachAbortCommitAndDetachOnTheSystemFunctions) {
    const std::vector<hook> hooks = prepare_hooks();
    const LONG unhooked_trust = verify_own_file();
    EXPECT_EQ(unhooked_trust, static_cast<LONG>(TRUST_E_NOSIGNATURE));
    for (const bool commit : {false, true}) {
        ASSERT_EQ(DetourTransactionBegin(), NO_ERROR);
        ASSERT_EQ(DetourUpdateThread(GetCurrentThread()), NO_ERROR);
        for (const auto& h : hooks) {
            ASSERT_EQ(DetourAttach(h.pointer, h.detour), NO_ERROR);
        }
        if (!commit) {
            ASSERT_EQ(DetourTransactionAbort(), NO_ERROR);
            for (const auto& h : hooks) {
                EXPECT_EQ(*h.pointer, h.exported);
                EXPECT_EQ(first_bytes(running_code(h.exported)), h.code_before);
            }
        }
    }
    ASSERT_EQ(DetourTransactionCommit(), NO_ERROR);
    for (const auto& h : hooks) {
        EXPECT_EQ(running_code(h.exported)[0], 0xE9) << "the code that runs is patched";
        if (running_code(h.exported) != h.exported) {
            EXPECT_EQ(first_bytes(h.exported), h.thunk_before) << "a thunk is left alone";
        }
    }

    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    EXPECT_EQ(LoadLibraryW(L"kernel32.dll"), kernel32);
    EXPECT_EQ(LoadLibraryExW(L"kernel32.dll", nullptr, 0), kernel32);
    EXPECT_EQ(LoadLibraryA("kernel32.dll"), kernel32);
    EXPECT_EQ(LoadLibraryExA("kernel32.dll", nullptr, 0), kernel32);
    HMODULE fresh = LoadLibraryW(L"mpr.dll");  // not loaded before: the loader maps it
    EXPECT_NE(fresh, nullptr);
    HANDLE section = nullptr;
    LARGE_INTEGER size{};
    size.QuadPart = 4096;
    EXPECT_EQ(exported_nt_create_section()(&section, SECTION_ALL_ACCESS, nullptr, &size,
                                           PAGE_READWRITE, SEC_COMMIT, nullptr),
              0);
    CloseHandle(section);
    EXPECT_EQ(verify_own_file(), unhooked_trust);
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_GE(calls[i].load(), 1) << "detour " << i;
    }

    ASSERT_EQ(DetourTransactionBegin(), NO_ERROR);
    for (const auto& h : hooks) {
        ASSERT_EQ(DetourDetach(h.pointer, h.detour), NO_ERROR);
    }
    ASSERT_EQ(DetourTransactionCommit(), NO_ERROR);
    for (const auto& h : hooks) {
        EXPECT_EQ(*h.pointer, running_code(h.exported)) << "back to the real function";
        EXPECT_EQ(first_bytes(*h.pointer), h.code_before) << "the original bytes are back";
    }
    const int before = calls[0];
    EXPECT_EQ(LoadLibraryW(L"kernel32.dll"), kernel32);
    EXPECT_EQ(calls[0], before);
    FreeLibrary(fresh);
}

TEST(InterceptWin, EightCallersWhileAnotherThreadAttachesAndDetachesInALoop) {
    const std::vector<hook> hooks = prepare_hooks();
    std::vector<HANDLE> workers;
    for (int i = 0; i < 8; ++i) {
        workers.push_back(CreateThread(nullptr, 0, call_in_a_loop, nullptr, 0, nullptr));
        ASSERT_NE(workers.back(), nullptr);
    }
    // Every caller suspended in each transaction.
    const ULONGLONG start = GetTickCount64();
    int cycles = 0;
    long failure = NO_ERROR;
    for (; failure == NO_ERROR && GetTickCount64() - start < 1500; ++cycles) {
        failure = transact(hooks[0], true, workers);
        failure = failure != NO_ERROR ? failure : transact(hooks[0], false, workers);
    }
    stop = true;
    EXPECT_EQ(
        WaitForMultipleObjects(static_cast<DWORD>(workers.size()), workers.data(), TRUE, 10000),
        WAIT_OBJECT_0);
    for (HANDLE w : workers) {
        CloseHandle(w);
    }
    EXPECT_EQ(failure, NO_ERROR);
    EXPECT_GT(cycles, 10);
    EXPECT_GT(answered.load(), 0);
    EXPECT_EQ(unanswered.load(), 0);
    EXPECT_GT(calls[0].load(), 0) << "some calls went through the detour";
    EXPECT_EQ(first_bytes(running_code(hooks[0].exported)), hooks[0].code_before);
}

// A thread that no transaction enlists calls LoadLibraryW in a loop while this one attaches and
// detaches it. The detour calls through the saved pointer, which must never lead back into the
// detour, neither half-way through an attach nor through a detach.
TEST(InterceptWin, ACallerThatIsNotEnlistedNeverComesBackIntoTheDetour) {
    if (sizeof(void*) == 4) {
        // Wine's 32-bit functions start with mov edi,edi; push ebp; mov ebp,esp: the 5-byte jump
        // replaces three instructions, which no patch can make safe for a thread that is not
        // enlisted. The property holds for the 64-bit entry below only.
        GTEST_SKIP() << "the 32-bit entry is not one instruction";
    }
    const std::vector<hook> hooks = prepare_hooks();
    const hook& h = hooks[0];
    // The code that runs, Wine's kernelbase!LoadLibraryW, starts with an 8-byte instruction in one
    // aligned 8-byte word: the patch lands with one store, and the thread is never caught in the
    // middle of the bytes it replaces (which no transaction can make safe for a thread it does
    // not know).
    const std::uint8_t* entry = running_code(h.exported);
    ASSERT_EQ(reinterpret_cast<std::uintptr_t>(entry) % 8, 0u);
    ASSERT_EQ(std::vector<std::uint8_t>(entry, entry + 4),
              (std::vector<std::uint8_t>{0x48, 0x8D, 0xA4, 0x24}));
    HANDLE worker = CreateThread(nullptr, 0, call_in_a_loop, nullptr, 0, nullptr);
    ASSERT_NE(worker, nullptr);
    const ULONGLONG start = GetTickCount64();
    int cycles = 0;
    long failure = NO_ERROR;
    // No thread enlisted: the worker runs on through every transaction.
    for (; failure == NO_ERROR && (cycles < 20 || GetTickCount64() - start < 1000); ++cycles) {
        failure = transact(h, true);
        // The worker goes through the detour before it is taken out again.
        const int before = calls[0];
        EXPECT_TRUE(failure != NO_ERROR ||
                    wintest::wait_until([&] { return calls[0] > before; }, 10000, 0));
        failure = failure != NO_ERROR ? failure : transact(h, false);
    }
    stop = true;
    EXPECT_EQ(WaitForSingleObject(worker, 10000), WAIT_OBJECT_0);
    CloseHandle(worker);
    EXPECT_EQ(failure, NO_ERROR) << "cycle " << cycles;
    EXPECT_EQ(reentered[0].load(), 0);
    EXPECT_EQ(unanswered.load(), 0);
    EXPECT_GT(answered.load(), 0);
    EXPECT_EQ(*h.pointer, running_code(h.exported));
    EXPECT_EQ(first_bytes(running_code(h.exported)), h.code_before);
}

}  // namespace
