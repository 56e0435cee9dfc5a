// protect-probe.exe: the load protection in a process of its own, for the lab's scenarios.
//
//   protect-probe.exe [--options HEX] [--no-callback] [--via W|ExW|A|ExA|all] [--threads N]
//                     [--seconds S] LIBRARY...
//       starts the engine (options 0x1A by default, a callback printing every event unless
//       --no-callback), loads every library through the chosen functions from N threads (one by
//       default) for S seconds (one pass by default), prints one line per distinct outcome and
//       per event, then stops the engine and prints the stop's result. --off loads the same way
//       without starting the engine; --stop-after T stops the engine after T seconds while the
//       loads go on.
//       --host starts the engine as the supervisor does, through the host side with its reporter
//       (name "CorvelWardex"), which sends each new event through the "vdec.dll" beside the probe;
//       events are then not printed, and the stop prints "released". --section FILE (and
//       --section-rx FILE) call ntdll's NtCreateSection on FILE as a manual mapper would: an image
//       section with PAGE_EXECUTE (PAGE_EXECUTE_READ), and print the status and whether a section
//       handle was written.
//   protect-probe.exe --bench ROUNDS
//       LoadLibraryW of a mapped module and a load and release of a system library that is not
//       mapped, each with the engine off and on, in turns; prints the medians and ratios.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "dllprotect/engine.h"
#include "dllprotect/host.h"
#include "dllprotect/win/interception_win.h"
#include "stdext/utf.h"
#include "winapi/win/system_facilities.h"

namespace {

std::mutex output;

void print(const std::string& line) {
    const std::lock_guard lock(output);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void on_event(const dllprotect::DllProtectEvent* e, void*) {
    print(std::string("event: ") + e->request_path + " | " + e->load_path + " | " + e->reason +
          " | " + e->function_name + " | " + e->flags + " | " + e->caller_name + " | " +
          e->caller_offset + " | " + e->error_info);
}

HMODULE load_via(const std::wstring& function, const std::wstring& library) {
    const std::string narrow = stdext::wide_to_utf8(library);
    if (function == L"W") {
        return ::LoadLibraryW(library.c_str());
    }
    if (function == L"ExW") {
        return ::LoadLibraryExW(library.c_str(), nullptr, 0);
    }
    if (function == L"A") {
        return ::LoadLibraryA(narrow.c_str());
    }
    return ::LoadLibraryExA(narrow.c_str(), nullptr, 0);
}

double now_ns() {
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The median time of one call of `work`, over blocks of `rounds` calls.
template <class F>
double per_call(int rounds, F work) {
    const double start = now_ns();
    for (int i = 0; i < rounds; ++i) {
        work();
    }
    return (now_ns() - start) / rounds;
}

int bench(int rounds) {
    HMODULE held = ::LoadLibraryW(L"kernel32.dll");
    auto mapped = [] { ::FreeLibrary(::LoadLibraryW(L"kernel32.dll")); };
    auto fresh = [] { ::FreeLibrary(::LoadLibraryW(L"mpr.dll")); };
    std::vector<double> mapped_off, mapped_on, fresh_off, fresh_on;
    for (int block = 0; block < 7; ++block) {
        mapped_off.push_back(per_call(rounds, mapped));
        fresh_off.push_back(per_call(rounds / 10 + 1, fresh));
        if (dllprotect::DllProtectStart(0x1A, L"bench") != 1) {
            print("the engine did not start");
            return 1;
        }
        mapped_on.push_back(per_call(rounds, mapped));
        fresh_on.push_back(per_call(rounds / 10 + 1, fresh));
        static_cast<void>(dllprotect::DllProtectEnd());
    }
    ::FreeLibrary(held);
    char line[256];
    std::snprintf(line, sizeof line, "mapped module: off %.0f ns, on %.0f ns, ratio %.2f",
                  median(mapped_off), median(mapped_on), median(mapped_on) / median(mapped_off));
    print(line);
    std::snprintf(line, sizeof line, "fresh system library: off %.0f ns, on %.0f ns, ratio %.2f",
                  median(fresh_off), median(fresh_on), median(fresh_on) / median(fresh_off));
    print(line);
    return 0;
}

struct section_request {
    ULONG protection;
    std::wstring file;
};

using nt_create_section_fn = LONG(NTAPI*)(PHANDLE, ACCESS_MASK, void*, PLARGE_INTEGER, ULONG, ULONG,
                                          HANDLE);

// An image section of the file, made the way a manual mapper makes one: straight through ntdll
// (and so through its interception), with no object attributes and no maximum size.
void create_section(const section_request& request) {
    constexpr ACCESS_MASK access = SECTION_MAP_EXECUTE | SECTION_MAP_READ | SECTION_QUERY;
    constexpr ULONG sec_image = 0x1000000;
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "section 0x%lx ", request.protection);
    const std::string head = prefix + stdext::wide_to_utf8(request.file) + ": ";
    HANDLE file = ::CreateFileW(request.file.c_str(), GENERIC_READ | GENERIC_EXECUTE,
                                FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        print(head + "cannot open " + std::to_string(::GetLastError()));
        return;
    }
    const auto create = reinterpret_cast<nt_create_section_fn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtCreateSection")));
    // A value no creation returns tells whether the handle was written.
    HANDLE const unwritten = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x5EC7));
    HANDLE section = unwritten;
    const LONG status =
        create(&section, access, nullptr, nullptr, request.protection, sec_image, file);
    char line[96];
    std::snprintf(line, sizeof line, "status 0x%lx, handle %s", static_cast<unsigned long>(status),
                  section == unwritten ? "not written" : "written");
    print(head + line);
    if (section != unwritten && section != nullptr) {
        ::CloseHandle(section);
    }
    ::CloseHandle(file);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    winapi::install_windows_facilities();
    dllprotect::install_windows_interception();

    std::uint32_t options = 0x1A;
    bool callback = true;
    bool engine_on = true;
    bool keep = false;
    bool host = false;
    std::vector<section_request> sections;
    std::vector<std::wstring> functions{L"W"};
    int threads = 1;
    double seconds = 0;
    double stop_after = -1;
    std::vector<std::wstring> libraries;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == L"--bench" && has_value) {
            return bench(std::max(10, static_cast<int>(std::wcstol(argv[++i], nullptr, 10))));
        } else if (arg == L"--options" && has_value) {
            options = static_cast<std::uint32_t>(std::wcstoul(argv[++i], nullptr, 16));
        } else if (arg == L"--keep") {
            keep = true;
        } else if (arg == L"--off") {
            engine_on = false;
        } else if (arg == L"--host") {
            host = true;
        } else if ((arg == L"--section" || arg == L"--section-rx") && has_value) {
            sections.push_back(
                {static_cast<ULONG>(arg == L"--section" ? PAGE_EXECUTE : PAGE_EXECUTE_READ),
                 argv[++i]});
        } else if (arg == L"--no-callback") {
            callback = false;
        } else if (arg == L"--via" && has_value) {
            const std::wstring via = argv[++i];
            functions = via == L"all" ? std::vector<std::wstring>{L"W", L"ExW", L"A", L"ExA"}
                                      : std::vector<std::wstring>{via};
        } else if (arg == L"--threads" && has_value) {
            threads = std::max(1, static_cast<int>(std::wcstol(argv[++i], nullptr, 10)));
        } else if (arg == L"--stop-after" && has_value) {
            stop_after = std::wcstod(argv[++i], nullptr);
        } else if (arg == L"--seconds" && has_value) {
            seconds = std::wcstod(argv[++i], nullptr);
        } else {
            libraries.push_back(arg);
        }
    }

    // The supervisor's start: its reporter is the callback, and releasing the session stops the
    // engine before the reporter goes.
    std::optional<dllprotect::host_session> session;
    if (host) {
        auto outcome = dllprotect::host_start(options, dllprotect::supervisor_host_name);
        print(std::string("host start: ") +
              (outcome ? "1" : stdext::wide_to_utf8(outcome.error().message)));
        if (!outcome) {
            return 1;
        }
        session.emplace(std::move(*outcome));
    } else {
        if (callback && !dllprotect::DllProtectSetEventsCbk(&on_event, nullptr)) {
            print("DllProtectSetEventsCbk failed");
            return 1;
        }
        const int started = engine_on ? dllprotect::DllProtectStart(options, nullptr) : 1;
        print("start: " + std::to_string(started));
        if (started != 1) {
            print("stop: " + std::to_string(dllprotect::DllProtectEnd()));
            return 1;
        }
    }
    for (const section_request& request : sections) {
        create_section(request);
    }
    auto stop = [&] {
        if (session) {
            session.reset();
            return std::string("released");
        }
        return std::to_string(engine_on ? dllprotect::DllProtectEnd() : 1);
    };

    // Each distinct outcome is printed once; the count of loads tells that every call returned.
    std::mutex seen_mutex;
    std::set<std::string> seen;
    std::atomic<long> calls{0};
    const double until = now_ns() + seconds * 1e9;
    auto worker = [&] {
        do {
            for (const std::wstring& function : functions) {
                for (const std::wstring& library : libraries) {
                    HMODULE module = load_via(function, library);
                    const DWORD error = ::GetLastError();
                    ++calls;
                    std::string line = "load " + stdext::wide_to_utf8(function) + " " +
                                       stdext::wide_to_utf8(library) + ": " +
                                       (module != nullptr ? "ok" : "refused");
                    if (module == nullptr) {
                        line += " " + std::to_string(error);
                    }
                    if (module != nullptr && !keep) {
                        ::FreeLibrary(module);
                    }
                    const std::lock_guard lock(seen_mutex);
                    if (seen.insert(line).second) {
                        print(line);
                    }
                }
            }
        } while (now_ns() < until);
    };
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back(worker);
    }
    if (stop_after >= 0) {
        // The engine stops while the workers go on loading.
        std::this_thread::sleep_for(std::chrono::duration<double>(stop_after));
        print("stop: " + stop());
    }
    for (auto& t : pool) {
        t.join();
    }
    print("calls: " + std::to_string(calls.load()));
    if (stop_after < 0) {
        print("stop: " + stop());
    }
    return 0;
}
