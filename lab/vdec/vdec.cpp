// Lab stand-in of the product's telemetry event client library "vdec.dll".
//
// Every call appends one line to "vdec-calls.txt" in the folder of this DLL, encoded as UTF-8,
// fields separated by tabs:
//
//     call TAB export TAB argument... LF
//
// Strings are written as given, numbers in decimal, event handles as "#" and their number. When
// an event is submitted successfully, the whole event follows as a block:
//
//     event TAB name TAB version TAB application LF
//     reserved TAB key TAB value LF          every reserved key set so far, by key
//     field TAB kind TAB key TAB value LF    every field in the order added; kind is W (wide
//                                            text), A (narrow text), I (64-bit integer) or
//                                            D (double, printed with %.17g)
//     end LF
//
// "vdec-behaviour.txt" in the same folder, read by "Init", makes calls fail. One rule a line:
//
//     init STATUS      "Init" returns STATUS
//     create           "CreateEcEventA" returns 0
//     key NAME STATUS  adding a field or reserved key named NAME returns STATUS
//     submit STATUS    "SubmitEvent" returns STATUS
//
// "GetEventTextA" gives the event as one JSON-like line, allocated here and released by
// "FreeEventTextA". The exports that the program does not call record their call and return 0.
// Every export uses the cdecl convention.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "telemetry/vdec_abi.h"

#include "common/beside.h"

using telemetry::vdec_handle;
using telemetry::vdec_status;

namespace {

struct field {
    char kind;
    std::string key;
    std::string value;
};

struct event {
    std::string name, version, application;
    std::vector<field> fields;
};

struct behaviour {
    std::int32_t init = 0;
    bool fail_create = false;
    std::map<std::string, vdec_status> keys;
    vdec_status submit = 0;
};

SRWLOCK lock = SRWLOCK_INIT;
behaviour rules;
std::map<vdec_handle, event> events;
std::map<std::string, std::string> reserved;
vdec_handle next_handle = 0;

class guard {
public:
    guard() { ::AcquireSRWLockExclusive(&lock); }
    ~guard() { ::ReleaseSRWLockExclusive(&lock); }
    guard(const guard&) = delete;
    guard& operator=(const guard&) = delete;
};

std::string utf8(const wchar_t* wide) {
    if (wide == nullptr) {
        return "<null>";
    }
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size > 0 ? size : 1), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, out.data(), size, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

std::string text(const char* narrow) {
    return narrow == nullptr ? "<null>" : narrow;
}

std::string handle_text(vdec_handle handle) {
    return "#" + std::to_string(handle);
}

void append(const std::string& lines) {
    const std::wstring path = lab::beside_this_module(L"vdec-calls.txt");
    HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        ::WriteFile(file, lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr);
        ::CloseHandle(file);
    }
}

template <class... Args>
void record(const char* name, const Args&... args) {
    std::string line = std::string("call\t") + name;
    ((line += '\t', line += args), ...);
    append(line + "\n");
}

void read_behaviour() {
    rules = {};
    std::ifstream in(lab::beside_this_module(L"vdec-behaviour.txt").c_str());
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string rule;
        words >> rule;
        if (rule == "init") {
            words >> rules.init;
        } else if (rule == "create") {
            rules.fail_create = true;
        } else if (rule == "key") {
            std::string key;
            vdec_status status = 0;
            words >> key >> status;
            rules.keys[key] = status;
        } else if (rule == "submit") {
            words >> rules.submit;
        }
    }
}

vdec_status key_rule(const std::string& key) {
    const auto it = rules.keys.find(key);
    return it == rules.keys.end() ? 0 : it->second;
}

vdec_status add_field(vdec_handle handle, char kind, const std::string& key, std::string value) {
    guard hold;
    record((std::string("AddKeyValueEvent") + kind).c_str(), handle_text(handle), key, value);
    const auto it = events.find(handle);
    if (it == events.end()) {
        return -1;
    }
    if (const vdec_status status = key_rule(key); status != 0) {
        return status;
    }
    it->second.fields.push_back({kind, key, std::move(value)});
    return 0;
}

vdec_status set_reserved(const char* call, const std::string& key, std::string value) {
    guard hold;
    record(call, key, value);
    if (const vdec_status status = key_rule(key); status != 0) {
        return status;
    }
    reserved[key] = std::move(value);
    return 0;
}

std::string quoted(const std::string& s) {
    return "\"" + s + "\"";
}

std::string double_text(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.17g", value);
    return buffer;
}

}  // namespace

extern "C" {

std::int32_t VDEC_CALL Init() {
    guard hold;
    read_behaviour();
    record("Init");
    return rules.init;
}

void VDEC_CALL Uninit() {
    guard hold;
    record("Uninit");
}

vdec_status VDEC_CALL SetOptionA(std::uint32_t scope, std::uint32_t option, std::uint32_t value,
                                 std::uint32_t reserved_word) {
    guard hold;
    record("SetOptionA", std::to_string(scope), std::to_string(option), std::to_string(value),
           std::to_string(reserved_word));
    return 0;
}

vdec_status VDEC_CALL SetOptionVarLenA(std::uint32_t scope, std::uint32_t option, const void* bytes,
                                       std::uint32_t size) {
    guard hold;
    record("SetOptionVarLenA", std::to_string(scope), std::to_string(option),
           std::string(static_cast<const char*>(bytes), size), std::to_string(size));
    return 0;
}

vdec_status VDEC_CALL OverWriteReservedKeyStringA(const char* key, const char* value) {
    return set_reserved("OverWriteReservedKeyStringA", text(key), text(value));
}

vdec_status VDEC_CALL OverWriteReservedKeyStringW(const wchar_t* key, const wchar_t* value) {
    return set_reserved("OverWriteReservedKeyStringW", utf8(key), utf8(value));
}

vdec_status VDEC_CALL OverWriteReservedKeyInt64A(const char* key, std::int64_t value) {
    return set_reserved("OverWriteReservedKeyInt64A", text(key), std::to_string(value));
}

vdec_status VDEC_CALL OverWriteReservedKeyInt64W(const wchar_t* key, std::int64_t value) {
    return set_reserved("OverWriteReservedKeyInt64W", utf8(key), std::to_string(value));
}

vdec_handle VDEC_CALL CreateEcEventA(const telemetry::event_descriptor* descriptor) {
    guard hold;
    if (descriptor == nullptr) {
        record("CreateEcEventA", "<null>");
        return 0;
    }
    record("CreateEcEventA", std::to_string(descriptor->size), text(descriptor->name),
           text(descriptor->version), text(descriptor->application));
    if (rules.fail_create || descriptor->size != sizeof(telemetry::event_descriptor)) {
        return 0;
    }
    const vdec_handle handle = ++next_handle;
    events[handle] = {descriptor->name, descriptor->version, descriptor->application, {}};
    return handle;
}

vdec_status VDEC_CALL AddKeyValueEventW(vdec_handle handle, const wchar_t* key,
                                        const wchar_t* value) {
    return add_field(handle, 'W', utf8(key), utf8(value));
}

vdec_status VDEC_CALL AddKeyValueEventA(vdec_handle handle, const char* key, const char* value) {
    return add_field(handle, 'A', text(key), text(value));
}

// A 64-bit parameter as the library declares it: on the 32-bit program its two stack words.
vdec_status VDEC_CALL AddKeyValueEventInt64W(vdec_handle handle, const wchar_t* key,
                                             std::int64_t value) {
    return add_field(handle, 'I', utf8(key), std::to_string(value));
}

vdec_status VDEC_CALL AddKeyValueEventInt64A(vdec_handle handle, const char* key,
                                             std::int64_t value) {
    return add_field(handle, 'I', text(key), std::to_string(value));
}

vdec_status VDEC_CALL AddKeyValueEventDoubleW(vdec_handle handle, const wchar_t* key,
                                              double value) {
    return add_field(handle, 'D', utf8(key), double_text(value));
}

vdec_status VDEC_CALL AddKeyValueEventDoubleA(vdec_handle handle, const char* key, double value) {
    return add_field(handle, 'D', text(key), double_text(value));
}

vdec_status VDEC_CALL GetEventTextA(vdec_handle handle, char** out) {
    guard hold;
    record("GetEventTextA", handle_text(handle));
    const auto it = events.find(handle);
    if (it == events.end() || out == nullptr) {
        return -1;
    }
    const event& e = it->second;
    std::string json = "{\"name\":" + quoted(e.name) + ",\"version\":" + quoted(e.version) +
                       ",\"application\":" + quoted(e.application);
    for (const auto& [key, value] : reserved) {
        json += "," + quoted(key) + ":" + quoted(value);
    }
    for (const auto& f : e.fields) {
        json += "," + quoted(f.key) + ":" +
                (f.kind == 'W' || f.kind == 'A' ? quoted(f.value) : f.value);
    }
    json += "}";
    *out = static_cast<char*>(std::malloc(json.size() + 1));
    if (*out == nullptr) {
        return 1;
    }
    std::memcpy(*out, json.c_str(), json.size() + 1);
    return 0;
}

vdec_status VDEC_CALL FreeEventTextA(char* text_pointer) {
    guard hold;
    record("FreeEventTextA");
    std::free(text_pointer);
    return 0;
}

vdec_status VDEC_CALL SubmitEvent(vdec_handle handle, std::uint32_t flags,
                                  std::uint32_t reserved_word) {
    guard hold;
    record("SubmitEvent", handle_text(handle), std::to_string(flags),
           std::to_string(reserved_word));
    const auto it = events.find(handle);
    if (it == events.end()) {
        return -1;
    }
    if (rules.submit != 0) {
        return rules.submit;
    }
    const event& e = it->second;
    std::string block = "event\t" + e.name + "\t" + e.version + "\t" + e.application + "\n";
    for (const auto& [key, value] : reserved) {
        block += "reserved\t" + key + "\t" + value + "\n";
    }
    for (const auto& f : e.fields) {
        block += std::string("field\t") + f.kind + "\t" + f.key + "\t" + f.value + "\n";
    }
    append(block + "end\n");
    return 0;
}

vdec_status VDEC_CALL DestroyEvent(vdec_handle handle) {
    guard hold;
    record("DestroyEvent", handle_text(handle));
    return events.erase(handle) == 1 ? 0 : -1;
}

#define VDEC_UNUSED_EXPORT(name)   \
    vdec_status VDEC_CALL name() { \
        guard hold;                \
        record(#name);             \
        return 0;                  \
    }

VDEC_UNUSED_EXPORT(InitEx)
VDEC_UNUSED_EXPORT(RegisterCallbackA)
VDEC_UNUSED_EXPORT(CreateEcEventW)
VDEC_UNUSED_EXPORT(CreateChildEvent)
VDEC_UNUSED_EXPORT(CreateArrayOfStrings)
VDEC_UNUSED_EXPORT(CreateArrayOfEvents)
VDEC_UNUSED_EXPORT(AppendEventToArray)
VDEC_UNUSED_EXPORT(AppendIntegerToArray)
VDEC_UNUSED_EXPORT(AppendStringToArrayA)
VDEC_UNUSED_EXPORT(AppendStringToArrayW)
VDEC_UNUSED_EXPORT(AppendValueToParentW)
VDEC_UNUSED_EXPORT(ReloadCommonFields)
VDEC_UNUSED_EXPORT(ApplySettingsOnTheFly)
VDEC_UNUSED_EXPORT(AppendValueToParentA)
VDEC_UNUSED_EXPORT(UnregisterCallbackA)

}  // extern "C"
