// The trace's Windows host. Everything here is callable from inside a loader hook: no call takes
// the loader lock or loads a library (except the one-time binding of the ETW functions), and
// nothing allocates. The executable's path comes from the process parameters and its version
// from its own mapped image for the same reason: the module functions take the loader lock.
#include <windows.h>
// After windows.h:
#include <evntprov.h>
#include <io.h>
#include <share.h>
#include <winternl.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "logging/dbg_trace/host.h"
#include "logging/dbg_trace/settings.h"

// The linker's symbol at the start of our own mapped image.
extern "C" const BYTE __ImageBase[];

namespace logging::dbg_trace {

namespace {

using event_register_fn = ULONG(WINAPI*)(LPCGUID, PENABLECALLBACK, PVOID, PREGHANDLE);
using event_unregister_fn = ULONG(WINAPI*)(REGHANDLE);
using event_write_fn = ULONG(WINAPI*)(REGHANDLE, PCEVENT_DESCRIPTOR, ULONG, PEVENT_DATA_DESCRIPTOR);

constexpr GUID provider_id = {
    0x1D3D3AE4, 0xD26E, 0x4870, {0xAB, 0x3B, 0xC8, 0x0E, 0x3B, 0x5A, 0x4C, 0xE2}};
constexpr DWORD procmon_log_ioctl = 0x95358204;
constexpr DWORD version_signature = 0xFEEF04BD;

// The process parameters, read from the environment block without any lock.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
const RTL_USER_PROCESS_PARAMETERS* process_parameters() noexcept {
    return NtCurrentTeb()->ProcessEnvironmentBlock->ProcessParameters;
}
#pragma GCC diagnostic pop

calendar_time from_system_time(const SYSTEMTIME& t) noexcept {
    return calendar_time{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

// The data of the first RT_VERSION resource of our own image, walking its resource directory.
const BYTE* version_resource(DWORD& size) noexcept {
    const BYTE* base = __ImageBase;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE];
    if (directory.VirtualAddress == 0) {
        return nullptr;
    }
    const BYTE* resources = base + directory.VirtualAddress;
    // Three levels: type, name, language. At the first level look for the type's number, below
    // take the first entry.
    DWORD offset = 0;
    for (int depth = 0; depth < 3; ++depth) {
        const auto* dir = reinterpret_cast<const IMAGE_RESOURCE_DIRECTORY*>(resources + offset);
        const auto* entries = reinterpret_cast<const DWORD*>(dir + 1);
        const unsigned count = dir->NumberOfNamedEntries + dir->NumberOfIdEntries;
        const DWORD* found = nullptr;
        for (unsigned i = 0; i < count && found == nullptr; ++i) {
            const DWORD name = entries[2 * i];
            if (depth > 0 || name == reinterpret_cast<ULONG_PTR>(RT_VERSION)) {
                found = entries + 2 * i;
            }
        }
        if (found == nullptr) {
            return nullptr;
        }
        const bool is_directory = (found[1] & 0x80000000u) != 0;
        if (is_directory != (depth < 2)) {
            return nullptr;
        }
        offset = found[1] & 0x7FFFFFFFu;
    }
    const auto* data = reinterpret_cast<const IMAGE_RESOURCE_DATA_ENTRY*>(resources + offset);
    size = data->Size;
    return base + data->OffsetToData;
}

class windows_host final : public host {
public:
    bool read_settings(const char* path, settings_parser& parser) noexcept override {
        HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return false;
        }
        char buffer[1024];
        DWORD read = 0;
        while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) {
            parser.feed(buffer, read);
        }
        CloseHandle(file);
        return true;
    }

    bool executable_path(char* out, std::size_t capacity) noexcept override {
        const auto* parameters = process_parameters();
        if (parameters == nullptr || parameters->ImagePathName.Buffer == nullptr || capacity < 2) {
            return false;
        }
        const int chars = parameters->ImagePathName.Length / sizeof(WCHAR);
        const int n = WideCharToMultiByte(CP_ACP, 0, parameters->ImagePathName.Buffer, chars, out,
                                          static_cast<int>(capacity) - 1, nullptr, nullptr);
        if (n <= 0) {
            return false;
        }
        out[n] = '\0';
        return true;
    }

    std::uint64_t tick_count() noexcept override { return GetTickCount64(); }
    std::uint32_t thread_id() noexcept override { return GetCurrentThreadId(); }
    std::int64_t performance_counter() noexcept override {
        LARGE_INTEGER value{};
        QueryPerformanceCounter(&value);
        return value.QuadPart;
    }
    std::int64_t performance_frequency() noexcept override {
        LARGE_INTEGER value{};
        QueryPerformanceFrequency(&value);
        return value.QuadPart;
    }

    void debugger_write(const char* line) noexcept override { OutputDebugStringA(line); }
    void debugger_write(const wchar_t* line) noexcept override { OutputDebugStringW(line); }

    bool expand_environment(const char* text, char* out, std::size_t capacity) noexcept override {
        const DWORD n = ExpandEnvironmentStringsA(text, out, static_cast<DWORD>(capacity));
        return n > 0 && n <= capacity;
    }
    void create_folder(const char* path) noexcept override { CreateDirectoryA(path, nullptr); }
    void mark_not_content_indexed(const char* path) noexcept override {
        SetFileAttributesA(path, FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    }
    bool process_start_utc(calendar_time& out) noexcept override {
        FILETIME created{}, exited{}, kernel{}, user{};
        SYSTEMTIME utc{};
        if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user) ||
            !FileTimeToSystemTime(&created, &utc)) {
            return false;
        }
        out = from_system_time(utc);
        return true;
    }
    std::uint32_t process_id() noexcept override { return GetCurrentProcessId(); }
    bool local_time(calendar_time& out) noexcept override {
        SYSTEMTIME now{};
        GetLocalTime(&now);
        out = from_system_time(now);
        return true;
    }
    bool file_version(unsigned (&parts)[4]) noexcept override {
        DWORD size = 0;
        const BYTE* data = version_resource(size);
        for (DWORD at = 0; data != nullptr && at + sizeof(VS_FIXEDFILEINFO) <= size; at += 4) {
            const auto* info = reinterpret_cast<const VS_FIXEDFILEINFO*>(data + at);
            if (info->dwSignature == version_signature) {
                parts[0] = HIWORD(info->dwFileVersionMS);
                parts[1] = LOWORD(info->dwFileVersionMS);
                parts[2] = HIWORD(info->dwFileVersionLS);
                parts[3] = LOWORD(info->dwFileVersionLS);
                return true;
            }
        }
        return false;
    }

    bool file_open(const char* path) noexcept override {
        // Binary: the trace decides the bytes, line ends included.
        file_ = _fsopen(path, "ab", _SH_DENYWR);
        if (file_ == nullptr) {
            return false;
        }
        // A buffer of our own, so that the stream never allocates one.
        setvbuf(file_, file_buffer_, _IOFBF, sizeof file_buffer_);
        return true;
    }
    bool file_final_path(char* out, std::size_t capacity) noexcept override {
        if (file_ == nullptr || capacity == 0) {
            return false;
        }
        const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file_)));
        const DWORD length = GetFinalPathNameByHandleA(handle, out, static_cast<DWORD>(capacity),
                                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        return length > 0 && length < capacity;
    }
    void file_write(const char* bytes, std::size_t size) noexcept override {
        std::fwrite(bytes, 1, size, file_);
    }
    void file_flush() noexcept override { std::fflush(file_); }
    void file_close() noexcept override {
        std::fclose(file_);
        file_ = nullptr;
    }

    bool device_open() noexcept override {
        HANDLE device =
            CreateFileW(L"\\\\.\\Global\\ProcmonDebugLogger", GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (device == INVALID_HANDLE_VALUE) {
            return false;
        }
        device_ = device;
        return true;
    }
    void device_write(const wchar_t* text, std::size_t chars) noexcept override {
        DWORD returned = 0;
        DeviceIoControl(device_, procmon_log_ioctl, const_cast<wchar_t*>(text),
                        static_cast<DWORD>(chars * sizeof(wchar_t)), nullptr, 0, &returned,
                        nullptr);
    }

    bool etw_bind() noexcept override {
        HMODULE advapi = LoadLibraryW(L"Advapi32.dll");
        if (advapi == nullptr) {
            return false;
        }
        const auto do_register = reinterpret_cast<event_register_fn>(
            reinterpret_cast<void*>(GetProcAddress(advapi, "EventRegister")));
        const auto do_unregister = reinterpret_cast<event_unregister_fn>(
            reinterpret_cast<void*>(GetProcAddress(advapi, "EventUnregister")));
        event_write_ = reinterpret_cast<event_write_fn>(
            reinterpret_cast<void*>(GetProcAddress(advapi, "EventWrite")));
        if (do_register == nullptr || do_unregister == nullptr || event_write_ == nullptr) {
            return false;
        }
        return do_register(&provider_id, nullptr, nullptr, &registration_) == ERROR_SUCCESS;
    }
    void etw_write(const wchar_t* text, std::size_t chars) noexcept override {
        EVENT_DESCRIPTOR descriptor{};
        descriptor.Id = 1;
        descriptor.Version = 0;
        descriptor.Channel = 16;
        descriptor.Level = 4;
        descriptor.Opcode = 0;
        descriptor.Task = 0;
        descriptor.Keyword = 0x8000000000000000ULL;
        EVENT_DATA_DESCRIPTOR data{};
        data.Ptr = reinterpret_cast<ULONGLONG>(text);
        data.Size = static_cast<ULONG>((chars + 1) * sizeof(wchar_t));
        event_write_(registration_, &descriptor, 1, &data);
    }

private:
    std::FILE* file_ = nullptr;
    char file_buffer_[4096] = {};
    HANDLE device_ = nullptr;
    event_write_fn event_write_ = nullptr;
    REGHANDLE registration_ = 0;
};

// Constant-initialised, so that a trace call made during static initialisation finds it ready.
constinit windows_host the_host;

}  // namespace

host& system_host() noexcept {
    return the_host;
}

}  // namespace logging::dbg_trace
