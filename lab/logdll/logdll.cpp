// Lab stand-in of the product's logging library "log.dll".
//
// Every "LogWrite" call appends one line to "wardex-log.txt" in the folder of this DLL, encoded
// as UTF-8:
//
//     kind TAB level TAB function TAB text LF
//
// kind is the call's kind as a decimal number (0 message, 1 function entry, -1 function exit),
// level the decimal level, function the caller's function name and text the format filled with
// its arguments (%s a wide string, %d a signed and %u an unsigned int, %% a percent sign). In the
// text a carriage return is written as the two characters \r and a line feed as \n, so one call
// is always one line; nothing else is escaped. Tabs may occur in the text, which is the last
// field. "LogInit" and "LogDeinit" append the marker lines "init\t\t\t\n" and "deinit\t\t\t\n".
//
// The file is opened, appended to and closed for every line, so nothing is lost when the process
// is killed; a lock keeps lines of concurrent callers whole. All other entry points exist so that
// lookups succeed, and do nothing. Every entry point uses the cdecl convention.
#include <windows.h>

#include <cstdarg>
#include <string>

#include "common/beside.h"

namespace {

SRWLOCK file_lock = SRWLOCK_INIT;

std::string to_utf8(const std::wstring& wide) {
    if (wide.empty()) {
        return {};
    }
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), size,
                          nullptr, nullptr);
    return out;
}

void append_line(const std::wstring& line) {
    const std::string bytes = to_utf8(line);
    const std::wstring path = lab::beside_this_module(L"wardex-log.txt");
    if (path.empty()) {
        return;
    }
    ::AcquireSRWLockExclusive(&file_lock);
    HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        ::CloseHandle(file);
    }
    ::ReleaseSRWLockExclusive(&file_lock);
}

std::wstring format_text(const wchar_t* format, va_list args) {
    std::wstring out;
    if (format == nullptr) {
        return out;
    }
    for (const wchar_t* p = format; *p != L'\0'; ++p) {
        if (*p != L'%' || p[1] == L'\0') {
            out += *p;
            continue;
        }
        switch (*++p) {
            case L's': {
                const wchar_t* s = va_arg(args, const wchar_t*);
                out += s == nullptr ? L"(null)" : s;
                break;
            }
            case L'd':
                out += std::to_wstring(va_arg(args, int));
                break;
            case L'u':
                out += std::to_wstring(va_arg(args, unsigned int));
                break;
            case L'%':
                out += L'%';
                break;
            default:
                out += L'%';
                out += *p;
        }
    }
    return out;
}

std::wstring escape_line_breaks(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        if (c == L'\r') {
            out += L"\\r";
        } else if (c == L'\n') {
            out += L"\\n";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

extern "C" {

int LogInit() {
    append_line(L"init\t\t\t\n");
    return 0;
}

int LogDeinit() {
    append_line(L"deinit\t\t\t\n");
    return 0;
}

int LogWrite(int kind, const int* level, HMODULE, const wchar_t* function, const wchar_t* format,
             va_list args) {
    std::wstring line = std::to_wstring(kind);
    line += L'\t';
    line += std::to_wstring(level == nullptr ? 0 : *level);
    line += L'\t';
    line += function == nullptr ? L"" : function;
    line += L'\t';
    line += escape_line_breaks(format_text(format, args));
    line += L'\n';
    append_line(line);
    return 0;
}

int LogIsEnabled() {
    return 1;
}

int LogGetLevel() {
    return 0;
}

// Accepted and ignored: the program looks these up but never calls them.
int LogApplySettings() {
    return 0;
}
int LogSetSettingsFile() {
    return 0;
}
int LogEnable() {
    return 0;
}
int LogSetLevel() {
    return 0;
}
int LogSetPath() {
    return 0;
}
int LogSetType() {
    return 0;
}
int LogSetMode() {
    return 0;
}
int LogSetMaxSize() {
    return 0;
}
int LogSetDepth() {
    return 0;
}
int LogMonitorSettings() {
    return 0;
}
int LogUninitDeskMetrics() {
    return 0;
}
int LogTrackEvent() {
    return 0;
}
int LogTrackEventData() {
    return 0;
}
int LogRemoveModule(const char*) {
    return 0;
}

}  // extern "C"
