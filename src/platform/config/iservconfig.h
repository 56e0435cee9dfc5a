// The product configuration library ("IServConfig.dll") as the supervisor sees it: two exported
// C functions that create and destroy named objects, and the IServConfig interface of the
// "productinfo" object. The lab stand-in of the library is built from this same header.
//
// Calling conventions, in one place: the exports use the C convention (cdecl) and undecorated
// names; the interfaces' operations use the compiler's default convention for member functions
// (thiscall on 32-bit Windows, the only convention of the 64-bit ABI). Both sides of the binding
// are compiled from these declarations, so they always agree.
#pragma once

#include <cstdint>

namespace platform::config {

// A class or interface identifier, laid out as Windows lays out a GUID.
struct guid {
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::uint8_t data4[8];
};

constexpr bool operator==(const guid& a, const guid& b) {
    if (a.data1 != b.data1 || a.data2 != b.data2 || a.data3 != b.data3) {
        return false;
    }
    for (int i = 0; i < 8; ++i) {
        if (a.data4[i] != b.data4[i]) {
            return false;
        }
    }
    return true;
}

// An object created by the library. Its first operation hands out one of its interfaces, or
// null when it has none with that identifier. Objects are destroyed by the library's destroy
// function, never through this type.
class vd_object {
public:
    virtual void* get_interface(guid interface_id) = 0;

protected:
    ~vd_object() = default;
};

// Property identifiers of IServConfig's string properties read by the supervisor.
inline constexpr std::int32_t SZ_PRODUCT_NAME = 0;
inline constexpr std::int32_t SZ_PRODUCT_FOLDER = 2;  // sub-folder under Program Files
inline constexpr std::int32_t SZ_REG_PATH_PRODUCT = 755;

// The product information interface. The first six operations belong to the library and are
// never called by the supervisor; they are declared only so that get_string_property has its
// place, the seventh, in the table.
class IServConfig {
public:
    static constexpr const char* object_name = "productinfo";
    static constexpr guid class_id{
        0x66551AB3, 0xFCA3, 0xBC90, {0x5F, 0x42, 0xC5, 0xF7, 0x92, 0xE2, 0x4B, 0x51}};
    static constexpr guid interface_id{
        0x5666C9D0, 0x9724, 0x666B, {0x66, 0x46, 0x08, 0x61, 0x3D, 0xC9, 0x66, 0xF6}};

    virtual std::int32_t reserved_1() = 0;
    virtual std::int32_t reserved_2() = 0;
    virtual std::int32_t reserved_3() = 0;
    virtual std::int32_t reserved_4() = 0;
    virtual std::int32_t reserved_5() = 0;
    virtual std::int32_t reserved_6() = 0;
    // The property's text, or null when the object has none. The text belongs to the object
    // and stays valid while the object lives. flags is 0.
    [[nodiscard]] virtual const wchar_t* get_string_property(std::int32_t id,
                                                             std::int32_t flags) = 0;

protected:
    ~IServConfig() = default;
};

// The library's exports.
extern "C" {
// Creates the object of that name and class into *object; 0 on success, an error number
// otherwise.
using vd_create_object_fn = std::int32_t (*)(const char* name, guid class_id, vd_object** object);
// Destroys an object made by the create function.
using vd_destroy_object_fn = void (*)(vd_object* object);
}

inline constexpr const char* vd_create_object_export = "VdCreateObject";
inline constexpr const char* vd_destroy_object_export = "VdDestroyObject";

}  // namespace platform::config
