// The interception library on real system functions of this process: the loading functions,
// ntdll's image-section call and wintrust's signature check.
#include <windows.h>

#include <softpub.h>
#include <wintrust.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <vector>

#include "intercept/detours.h"

namespace {

using nt_create_section_fn = LONG(NTAPI*)(HANDLE*, ACCESS_MASK, void*, LARGE_INTEGER*, ULONG, ULONG,
                                          HANDLE);

// What each detour calls through: the original until an attach commits, then the trampoline.
decltype(&LoadLibraryW) real_load_library_w = nullptr;
decltype(&LoadLibraryExW) real_load_library_ex_w = nullptr;
decltype(&LoadLibraryA) real_load_library_a = nullptr;
decltype(&LoadLibraryExA) real_load_library_ex_a = nullptr;
nt_create_section_fn real_nt_create_section = nullptr;
decltype(&WinVerifyTrust) real_win_verify_trust = nullptr;

std::array<std::atomic<int>, 6> calls{};

HMODULE WINAPI load_library_w(LPCWSTR name) {
    ++calls[0];
    return real_load_library_w(name);
}
HMODULE WINAPI load_library_ex_w(LPCWSTR name, HANDLE file, DWORD flags) {
    ++calls[1];
    return real_load_library_ex_w(name, file, flags);
}
HMODULE WINAPI load_library_a(LPCSTR name) {
    ++calls[2];
    return real_load_library_a(name);
}
HMODULE WINAPI load_library_ex_a(LPCSTR name, HANDLE file, DWORD flags) {
    ++calls[3];
    return real_load_library_ex_a(name, file, flags);
}
LONG NTAPI nt_create_section(HANDLE* section, ACCESS_MASK access, void* attributes,
                             LARGE_INTEGER* size, ULONG protection, ULONG allocation, HANDLE file) {
    ++calls[4];
    return real_nt_create_section(section, access, attributes, size, protection, allocation, file);
}
LONG WINAPI win_verify_trust(HWND window, GUID* action, LPVOID data) {
    ++calls[5];
    return real_win_verify_trust(window, action, data);
}

nt_create_section_fn exported_nt_create_section() {
    FARPROC f = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtCreateSection");
    return reinterpret_cast<nt_create_section_fn>(reinterpret_cast<void*>(f));
}

// Where a function's code really is, resolved independently of the library: Wine's kernel32
// forwards with lea rsp,[rsp+0]; jmp [rip+disp32] into kernelbase, and this program's import stub
// of a function not declared as imported (WinVerifyTrust) is jmp [rip+disp32] alone.
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
        p = *reinterpret_cast<const std::uint8_t* const*>(jmp + 6 + disp);
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

std::vector<hook> prepare_hooks() {
    LoadLibraryW(L"wintrust.dll");
    real_load_library_w = &LoadLibraryW;
    real_load_library_ex_w = &LoadLibraryExW;
    real_load_library_a = &LoadLibraryA;
    real_load_library_ex_a = &LoadLibraryExA;
    real_nt_create_section = exported_nt_create_section();
    real_win_verify_trust = &WinVerifyTrust;
    std::vector<hook> hooks;
    const auto add = [&hooks](auto& pointer, auto detour) {
        auto** slot = reinterpret_cast<void**>(&pointer);
        hooks.push_back({slot, reinterpret_cast<void*>(detour), *slot,
                         first_bytes(running_code(*slot)), first_bytes(*slot)});
    };
    add(real_load_library_w, load_library_w);
    add(real_load_library_ex_w, load_library_ex_w);
    add(real_load_library_a, load_library_a);
    add(real_load_library_ex_a, load_library_ex_a);
    add(real_nt_create_section, nt_create_section);
    add(real_win_verify_trust, win_verify_trust);
    for (auto& c : calls) {
        c = 0;
    }
    return hooks;
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

TEST(InterceptWin, EightCallersWhileAnotherThreadAttachesAndDetachesInALoop) {
    const std::vector<hook> hooks = prepare_hooks();
    std::vector<HANDLE> workers;
    for (int i = 0; i < 8; ++i) {
        workers.push_back(CreateThread(nullptr, 0, call_in_a_loop, nullptr, 0, nullptr));
        ASSERT_NE(workers.back(), nullptr);
    }
    // One transaction: every caller suspended, one attach or detach, commit.
    const auto cycle = [&](bool attach) -> long {
        long error = DetourTransactionBegin();
        for (std::size_t i = 0; error == NO_ERROR && i < workers.size(); ++i) {
            error = DetourUpdateThread(workers[i]);
        }
        if (error == NO_ERROR) {
            error = attach ? DetourAttach(hooks[0].pointer, hooks[0].detour)
                           : DetourDetach(hooks[0].pointer, hooks[0].detour);
        }
        if (error != NO_ERROR) {
            static_cast<void>(DetourTransactionAbort());
            return error;
        }
        return DetourTransactionCommit();
    };
    const ULONGLONG start = GetTickCount64();
    int cycles = 0;
    long failure = NO_ERROR;
    for (; failure == NO_ERROR && GetTickCount64() - start < 1500; ++cycles) {
        failure = cycle(true);
        failure = failure != NO_ERROR ? failure : cycle(false);
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

}  // namespace
