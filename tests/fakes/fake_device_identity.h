// The device id's Windows sources: a machine GUID, a digest that records what it was given, COM
// set-up that counts its balance, and the Windows folder.
#pragma once

#include <new>
#include <vector>

#include "fakes/kit.h"
#include "winapi/device_identity.h"

namespace fakes {

class fake_device_identity final : public fake_base, public winapi::device_identity {
public:
    using fake_base::fake_base;

    winapi::machine_guid_value guid{74, L"5e1a2c3d-0000-4000-8000-123456789abc"};
    std::wstring digest = L"0123456789abcdef0123456789abcdef01234567";
    bool out_of_memory = false;
    std::vector<std::vector<std::uint8_t>> hashed;  // the input of every digest
    int com_balance = 0;                            // initialisations not yet balanced
    std::wstring windows = L"D:\\Windows";

    stdext::expected<winapi::machine_guid_value> machine_guid() override {
        return answer("machine_guid", [&] { return guid; });
    }
    stdext::expected<std::wstring> sha1_hex(const std::vector<std::uint8_t>& bytes) override {
        if (out_of_memory) {
            throw std::bad_alloc();
        }
        hashed.push_back(bytes);
        return answer("sha1_hex", [&] { return digest; });
    }
    bool com_initialize() override { return !check("com_initialize") && ++com_balance > 0; }
    void com_uninitialize() override { --com_balance; }
    stdext::expected<void> com_initialize_security() override {
        return answer("com_initialize_security", [] {});
    }
    stdext::expected<std::wstring> windows_folder() override {
        return answer("windows_folder", [&] { return windows; });
    }
};

}  // namespace fakes
