// The binding to one object of a product library that exports "VdCreateObject" and
// "VdDestroyObject" (see iservconfig.h). The binding owns the library reference, the object and
// the interface taken from it; release() destroys the object and then frees the library.
#pragma once

#include <cstdint>
#include <string>

#include "platform/config/iservconfig.h"
#include "stdext/path.h"
#include "winapi/facility.h"
#include "winapi/modules.h"
#include "winapi/win_error_category.h"

namespace platform::config {

// The error of a load that failed without a Windows error of its own.
inline constexpr std::uint32_t error_object_unavailable = 632;
// What GetProcAddress reports for a name the library does not export.
using winapi::error_proc_not_found;

template <class Interface>
class ExportedObject {
public:
    ExportedObject() = default;
    ~ExportedObject() { release(); }
    ExportedObject(const ExportedObject&) = delete;
    ExportedObject& operator=(const ExportedObject&) = delete;

    // Loads the library and creates the object. The error's code is a Windows error number, or
    // the create function's result; nothing is held after a failure.
    [[nodiscard]] stdext::expected<void> load(const std::wstring& library_path) {
        release();
        name_ = Interface::object_name;
        auto& mods = winapi::facility<winapi::modules>::get();
        auto module = mods.load(library_path, 0);
        if (!module && stdext::path::is_absolute(library_path)) {
            module = mods.load(library_path, winapi::load_with_altered_search_path);
        }
        if (!module) {
            return fail(module.error().code.value(), "LoadLibrary");
        }
        module_ = std::move(*module);
        create_ = reinterpret_cast<vd_create_object_fn>(
            mods.find_export(module_.get(), vd_create_object_export));
        destroy_ = reinterpret_cast<vd_destroy_object_fn>(
            mods.find_export(module_.get(), vd_destroy_object_export));
        if (create_ == nullptr || destroy_ == nullptr) {
            return fail(error_proc_not_found, "GetProcAddress");
        }
        vd_object* object = nullptr;
        if (const auto rc = create_(name_.c_str(), Interface::class_id, &object); rc != 0) {
            release();  // a failed create leaves no object to destroy
            return stdext::unexpected(
                winapi::win_failure(static_cast<std::uint32_t>(rc), vd_create_object_export));
        }
        object_ = object;
        interface_ = object_ == nullptr
                         ? nullptr
                         : static_cast<Interface*>(object_->get_interface(Interface::interface_id));
        if (interface_ == nullptr) {
            return fail(error_object_unavailable, "get_interface");
        }
        return {};
    }

    // Destroys the object through the library, then frees the library.
    void release() noexcept {
        if (object_ != nullptr && destroy_ != nullptr) {
            destroy_(object_);
        }
        object_ = nullptr;
        interface_ = nullptr;
        create_ = nullptr;
        destroy_ = nullptr;
        module_.reset();
    }

    [[nodiscard]] bool loaded() const noexcept { return interface_ != nullptr; }
    Interface* get() const noexcept { return interface_; }
    Interface* operator->() const noexcept { return interface_; }

private:
    // Releases everything; a step that failed without a Windows error of its own gives 632.
    [[nodiscard]] stdext::unexpected<stdext::error> fail(int error, const char* step) {
        release();
        return stdext::unexpected(winapi::win_failure(
            error != 0 ? static_cast<std::uint32_t>(error) : error_object_unavailable, step));
    }

    winapi::unique_module module_;
    vd_object* object_ = nullptr;
    Interface* interface_ = nullptr;
    vd_destroy_object_fn destroy_ = nullptr;
    vd_create_object_fn create_ = nullptr;
    std::string name_;
};

// The product configuration binding and its string properties.
using product_config = ExportedObject<IServConfig>;

// The property's text while the binding is held, or null when it has none (or is not loaded).
[[nodiscard]] const wchar_t* get_string_property(const product_config& binding, std::int32_t id);

// The product name from "IServConfig.dll", or "Valdrin" when it cannot be had.
[[nodiscard]] std::wstring get_product_name();

}  // namespace platform::config
