// Files with or without a signature, system catalogs that list file hashes, and the signer
// certificates behind the signatures. Every handle and buffer the code receives is counted, so
// tests can check that each is released exactly once; any call can be made to fail.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/sys/trust.h"

namespace fakes {

class fake_trust final : public winapi::trust {
public:
    struct cert_model {
        std::vector<std::uint8_t> serial_stored{0x01};  // least significant byte first
        std::wstring issuer = L"Test Root";
        std::wstring subject = L"Test Signer";
        bool has_info = true;  // false: a context without certificate information
    };
    struct file_model {
        std::optional<cert_model> signer;  // the embedded signature's signer; none: unsigned
        bool tampered = false;             // signed, but the content no longer matches
        bool signer_in_store = true;       // false: the signature lacks the signer certificate
        std::optional<std::int32_t> embedded_result;  // overrides the embedded verification
        std::vector<std::uint8_t> hash;               // the catalog hash of the content
    };
    struct catalog_model {
        std::wstring path;
        std::set<std::vector<std::uint8_t>> hashes;
        bool readable = true;     // false: its catalog information cannot be read
        std::int32_t result = 0;  // what verifying a listed member gives
    };

    // Calls that can be made to fail; the failing call reports the given error.
    enum class call {
        open_file,
        hash_size,
        hash,
        acquire_admin,
        catalog_file,
        query,
        signer_info_size,
        signer_info,
        find_certificate,
        name_length,
        name,
    };

    // Test set-up. Paths compare ignoring case; a file's hash is made from its path.
    file_model& add_unsigned(const std::wstring& path);
    file_model& add_signed(const std::wstring& path, cert_model signer);
    file_model& add_tampered(const std::wstring& path, cert_model signer);
    // A catalog that lists the given files' hashes; the walk meets catalogs in this order.
    catalog_model& add_catalog(const std::wstring& path, const std::vector<std::wstring>& members,
                               std::int32_t result = 0);

    std::map<call, std::uint32_t> fail;
    bool fail_allocation = false;

    // What happened.
    int open_handles() const;                     // handles and buffers not yet released
    int opened = 0;                               // every handle and buffer handed out
    int bad_releases = 0;                         // releases of unknown or already released handles
    std::vector<std::wstring> catalogs_verified;  // catalog paths, in the order verified
    int embedded_verifications = 0;

    // winapi::trust
    std::int32_t verify_file(const std::wstring& path) override;
    std::int32_t verify_catalog_member(const std::wstring& catalog_path,
                                       const std::wstring& member_path, winapi::trust_file member,
                                       const std::uint8_t* hash, std::uint32_t hash_size) override;
    winapi::trust_file open_file(const std::wstring& path, std::uint32_t& error) override;
    void close_file(winapi::trust_file file) override;
    void* allocate(std::size_t size) noexcept override;
    void free_memory(void* block) noexcept override;
    bool calc_file_hash(winapi::trust_file file, std::uint32_t& size, std::uint8_t* buffer,
                        std::uint32_t& error) override;
    bool acquire_catalog_admin(winapi::catalog_admin& admin, std::uint32_t& error) override;
    void release_catalog_admin(winapi::catalog_admin admin) override;
    winapi::catalog_info next_catalog(winapi::catalog_admin admin, const std::uint8_t* hash,
                                      std::uint32_t hash_size,
                                      winapi::catalog_info& previous) override;
    void release_catalog(winapi::catalog_admin admin, winapi::catalog_info catalog) override;
    bool catalog_file(winapi::catalog_info catalog, std::wstring& path,
                      std::uint32_t& error) override;
    bool query_embedded_signature(const std::wstring& path, winapi::cert_store& store,
                                  winapi::crypt_message& message, std::uint32_t& error) override;
    void close_message(winapi::crypt_message message) override;
    void close_store(winapi::cert_store store) override;
    bool signer_info(winapi::crypt_message message, void* buffer, std::uint32_t& size,
                     std::uint32_t& error) override;
    winapi::cert_context find_signer_certificate(winapi::cert_store store, const void* signer_info,
                                                 std::uint32_t& error) override;
    void free_certificate(winapi::cert_context certificate) override;
    bool serial_number(winapi::cert_context certificate,
                       std::vector<std::uint8_t>& stored) override;
    std::uint32_t name_string(winapi::cert_context certificate, std::uint32_t type,
                              std::uint32_t flags, std::uint32_t capacity, std::wstring& out,
                              std::uint32_t& error) override;

private:
    enum class kind { file, admin, catalog, store, message, certificate, memory };
    struct resource {
        kind what;
        std::wstring path;      // file, store, message, certificate: the file it belongs to
        std::size_t index = 0;  // catalog: its position in catalogs_
    };

    std::uintptr_t hand_out(resource r);
    bool take_back(std::uintptr_t handle, kind what);
    const resource* live(std::uintptr_t handle, kind what) const;
    file_model* find(const std::wstring& path);
    bool failing(call c, std::uint32_t& error) const;

    std::map<std::wstring, file_model> files_;  // key: lower-case path
    std::vector<catalog_model> catalogs_;
    std::map<std::uintptr_t, resource> live_;
    std::map<void*, std::size_t> blocks_;  // buffers handed out, with their sizes
    std::uintptr_t next_ = 0x1000;
};

}  // namespace fakes
