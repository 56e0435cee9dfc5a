// The binary interface of the product's telemetry event client library "vdec.dll": its exports,
// the argument types of those the program calls and the event creation descriptor. The lab's
// stand-in of the library is built from this header too, so it only includes the standard library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// Every export uses the cdecl convention: the caller removes the arguments. Only the 32-bit
// program has a choice of conventions; the 64-bit builds have one.
#if defined(__i386__)
#define VDEC_CALL __attribute__((cdecl))
#else
#define VDEC_CALL
#endif

namespace telemetry {

// Every export but "Init", "Uninit" and "CreateEcEventA" returns a status; 0 is success.
using vdec_status = std::int32_t;
// An event of the library; 0 is none. 32 bits in the shipped program.
using vdec_handle = std::uintptr_t;

// The event creation descriptor: its own size, then the event version, the event name and the
// application name. Declared once over the types of its fields, so that the layout of both
// widths can be checked below.
template <class Word, class Text>
struct basic_event_descriptor {
    Word size;
    Text version;
    Text name;
    Text application;
};
using event_descriptor = basic_event_descriptor<std::uintptr_t, const char*>;

template <class Word>
[[nodiscard]] constexpr bool descriptor_is_four_words() {
    using layout = basic_event_descriptor<Word, Word>;
    constexpr std::size_t w = sizeof(Word);
    return sizeof(layout) == 4 * w && offsetof(layout, version) == w &&
           offsetof(layout, name) == 2 * w && offsetof(layout, application) == 3 * w;
}
// The 32-bit program passes four 32-bit words (16 bytes); the 64-bit builds four 64-bit words.
static_assert(descriptor_is_four_words<std::uint32_t>() &&
              sizeof(basic_event_descriptor<std::uint32_t, std::uint32_t>) == 16);
static_assert(descriptor_is_four_words<std::uint64_t>() &&
              sizeof(basic_event_descriptor<std::uint64_t, std::uint64_t>) == 32);
static_assert(sizeof(event_descriptor) == 4 * sizeof(void*) &&
              offsetof(event_descriptor, version) == sizeof(void*) &&
              offsetof(event_descriptor, name) == 2 * sizeof(void*) &&
              offsetof(event_descriptor, application) == 3 * sizeof(void*));
static_assert(sizeof(void*) != 4 || (sizeof(event_descriptor) == 16 && sizeof(vdec_handle) == 4));

// How a 64-bit integer argument reaches the library. The 32-bit program passes it as two 32-bit
// stack words, the low word as the first of the two, which is where the library's own 64-bit
// parameter lies; the 64-bit builds pass it whole.
template <std::size_t PointerBytes>
struct int64_passing {
    using add_fn = vdec_status(VDEC_CALL*)(vdec_handle event, const wchar_t* key,
                                           std::int64_t value);
    [[nodiscard]] static vdec_status add(add_fn fn, vdec_handle event, const wchar_t* key,
                                         std::int64_t value) {
        return fn(event, key, value);
    }
};
template <>
struct int64_passing<4> {
    using add_fn = vdec_status(VDEC_CALL*)(vdec_handle event, const wchar_t* key,
                                           std::uint32_t low_word, std::uint32_t high_word);
    [[nodiscard]] static vdec_status add(add_fn fn, vdec_handle event, const wchar_t* key,
                                         std::int64_t value) {
        const auto bits = static_cast<std::uint64_t>(value);
        return fn(event, key, static_cast<std::uint32_t>(bits),
                  static_cast<std::uint32_t>(bits >> 32));
    }
};
using int64_argument = int64_passing<sizeof(void*)>;

// The exports the program calls.
using vdec_init_fn = std::int32_t(VDEC_CALL*)();  // non-zero is a failure
using vdec_uninit_fn = void(VDEC_CALL*)();
// (0, option id, value, 0)
using vdec_set_option_fn = vdec_status(VDEC_CALL*)(std::uint32_t scope, std::uint32_t option,
                                                   std::uint32_t value, std::uint32_t reserved);
// (0, option id, bytes, byte count)
using vdec_set_option_var_len_fn = vdec_status(VDEC_CALL*)(std::uint32_t scope,
                                                           std::uint32_t option, const void* bytes,
                                                           std::uint32_t size);
using vdec_reserved_key_a_fn = vdec_status(VDEC_CALL*)(const char* key, const char* value);
using vdec_create_event_a_fn = vdec_handle(VDEC_CALL*)(const event_descriptor* descriptor);
using vdec_add_w_fn = vdec_status(VDEC_CALL*)(vdec_handle event, const wchar_t* key,
                                              const wchar_t* value);
using vdec_add_a_fn = vdec_status(VDEC_CALL*)(vdec_handle event, const char* key,
                                              const char* value);
using vdec_add_int64_w_fn = int64_argument::add_fn;
// The text stays the library's until "FreeEventTextA".
using vdec_get_text_fn = vdec_status(VDEC_CALL*)(vdec_handle event, char** text);
using vdec_free_text_fn = vdec_status(VDEC_CALL*)(char* text);
using vdec_submit_fn = vdec_status(VDEC_CALL*)(vdec_handle event, std::uint32_t flags,
                                               std::uint32_t reserved);
using vdec_destroy_fn = vdec_status(VDEC_CALL*)(vdec_handle event);

// Arguments the program passes.
inline constexpr std::uint32_t vdec_option_submit_use_vdnc_cloud = 3;
inline constexpr std::uint32_t vdec_option_app_name = 8;
inline constexpr std::uint32_t vdec_submit_flags = 16;

// Every export of the library, in the order of its table. All must exist for the library to be
// used, also those the program never calls.
inline constexpr std::size_t vdec_export_count = 34;
inline constexpr std::array<std::string_view, vdec_export_count> vdec_export_names = {
    "Init",
    "InitEx",
    "RegisterCallbackA",
    "SetOptionA",
    "SetOptionVarLenA",
    "OverWriteReservedKeyInt64A",
    "OverWriteReservedKeyInt64W",
    "OverWriteReservedKeyStringA",
    "OverWriteReservedKeyStringW",
    "CreateEcEventW",
    "CreateEcEventA",
    "AddKeyValueEventW",
    "AddKeyValueEventA",
    "AddKeyValueEventInt64W",
    "AddKeyValueEventInt64A",
    "AddKeyValueEventDoubleW",
    "AddKeyValueEventDoubleA",
    "CreateChildEvent",
    "CreateArrayOfStrings",
    "CreateArrayOfEvents",
    "AppendEventToArray",
    "AppendIntegerToArray",
    "AppendStringToArrayA",
    "AppendStringToArrayW",
    "AppendValueToParentW",
    "ReloadCommonFields",
    "ApplySettingsOnTheFly",
    "AppendValueToParentA",
    "GetEventTextA",
    "FreeEventTextA",
    "SubmitEvent",
    "DestroyEvent",
    "UnregisterCallbackA",
    "Uninit",
};

// The position of an export in the table; a name that is not there does not compile.
consteval std::size_t vdec_export_index(std::string_view name) {
    for (std::size_t i = 0; i < vdec_export_count; ++i) {
        if (vdec_export_names[i] == name) {
            return i;
        }
    }
    throw "not an export of vdec.dll";
}

}  // namespace telemetry
