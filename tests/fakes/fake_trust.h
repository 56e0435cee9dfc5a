// Files with or without a signature, system catalogs that list file hashes, and the signer
// certificates behind the signatures. Every handle and buffer handed out must come back exactly
// once; any call can be made to fail.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "stdext/expected.h"
#include "stdext/utf.h"
#include "winapi/trust.h"
#include "winapi/win_error_category.h"

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
        std::optional<cert_model> signer{};  // the embedded signature's signer; none: unsigned
        bool tampered = false;               // signed, but the content no longer matches
        bool signer_in_store = true;         // false: the signature lacks the signer certificate
    };
    struct catalog_model {
        std::wstring path;
        std::set<std::vector<std::uint8_t>> hashes{};
        std::int32_t result = 0;  // what verifying a listed member gives
        bool readable = true;     // false: its catalog information cannot be read
    };

    // Paths compare ignoring case.
    file_model& add(const std::wstring& path, std::optional<cert_model> signer = std::nullopt) {
        return files_[stdext::to_lower(path)] = file_model{std::move(signer)};
    }
    // A catalog that lists the given files; the walk meets catalogs in the order they are added.
    catalog_model& add_catalog(const std::wstring& path, const std::vector<std::wstring>& members,
                               std::int32_t result = 0) {
        catalog_model& c = catalogs_.emplace_back(catalog_model{path, {}, result});
        for (const auto& m : members) {
            c.hashes.insert(hash_of(m));
        }
        return c;
    }

    // The call of that name fails with this error; "calc_file_hash:size", "signer_info:size" and
    // "name_string:length" name the first, sizing, call of those pairs.
    std::map<std::string, std::uint32_t> fail;
    bool fail_allocation = false;
    std::vector<std::wstring> catalogs_verified;  // catalog paths, in the order verified

    // Every handle and buffer came back exactly once.
    bool clean() const { return live_.empty() && blocks_.empty() && bad_releases_ == 0; }

    std::int32_t verify_file(const std::wstring& path) override {
        const file_model* f = find(path);
        if (f == nullptr || !f->signer) {
            return result_of(winapi::trust_e_nosignature);
        }
        return f->tampered ? result_of(winapi::trust_e_bad_digest) : 0;
    }
    std::int32_t verify_catalog_member(const std::wstring& catalog_path,
                                       const std::wstring& member_path, winapi::trust_file member,
                                       const std::uint8_t* hash, std::uint32_t hash_size) override {
        catalogs_verified.push_back(catalog_path);
        const resource* open = live(member, kind::file);
        if (open == nullptr || open->path != stdext::to_lower(member_path) || hash == nullptr ||
            std::vector<std::uint8_t>(hash, hash + hash_size) != hash_of(member_path)) {
            return result_of(0x80070057u);  // the member was not passed consistently
        }
        for (const auto& c : catalogs_) {
            if (c.path == catalog_path) {
                return c.hashes.count(hash_of(member_path))
                           ? c.result
                           : result_of(winapi::trust_e_nosignature);
            }
        }
        return result_of(0x80070002u);
    }

    winapi::trust_file open_file(const std::wstring& path, std::uint32_t& error) override {
        if (failing("open_file", error)) {
            return 0;
        }
        if (find(path) == nullptr) {
            return refuse(error, winapi::error_file_not_found);
        }
        return hand_out({kind::file, stdext::to_lower(path)});
    }
    void close_file(winapi::trust_file file) override { take_back(file, kind::file); }

    void* allocate(std::size_t size) noexcept override {
        if (fail_allocation) {
            return nullptr;
        }
        std::vector<std::uint8_t> block(size + 1);
        void* p = block.data();
        blocks_.emplace(p, std::move(block));
        return p;
    }
    void free_memory(void* block) noexcept override {
        if (blocks_.erase(block) == 0) {
            ++bad_releases_;
        }
    }

    bool calc_file_hash(winapi::trust_file file, std::uint32_t& size, std::uint8_t* buffer,
                        std::uint32_t& error) override {
        if (failing(buffer == nullptr ? "calc_file_hash:size" : "calc_file_hash", error)) {
            return false;
        }
        const resource* open = live(file, kind::file);
        if (open == nullptr) {
            return refuse(error, error_invalid_handle);
        }
        const std::vector<std::uint8_t> hash = hash_of(open->path);
        const bool fit = fits(buffer, size, hash.size());
        size = static_cast<std::uint32_t>(hash.size());
        if (!fit) {
            return refuse(error, winapi::error_insufficient_buffer);
        }
        std::copy(hash.begin(), hash.end(), buffer);
        return true;
    }

    bool acquire_catalog_admin(winapi::catalog_admin& admin, std::uint32_t& error) override {
        admin = failing("acquire_catalog_admin", error) ? 0 : hand_out({kind::admin});
        return admin != 0;
    }
    void release_catalog_admin(winapi::catalog_admin admin) override {
        take_back(admin, kind::admin);
    }
    winapi::catalog_info next_catalog(winapi::catalog_admin admin, const std::uint8_t* hash,
                                      std::uint32_t hash_size,
                                      winapi::catalog_info& previous) override {
        std::size_t start = 0;
        if (previous != 0) {
            const resource* prev = live(previous, kind::catalog);
            start = prev == nullptr ? catalogs_.size() : prev->index + 1;
            take_back(previous, kind::catalog);  // the enumeration releases the previous catalog
        }
        if (live(admin, kind::admin) == nullptr || hash == nullptr) {
            return 0;
        }
        const std::vector<std::uint8_t> wanted(hash, hash + hash_size);
        for (std::size_t i = start; i < catalogs_.size(); ++i) {
            if (catalogs_[i].hashes.count(wanted)) {
                return hand_out({kind::catalog, {}, i});
            }
        }
        return 0;
    }
    void release_catalog(winapi::catalog_admin, winapi::catalog_info catalog) override {
        take_back(catalog, kind::catalog);
    }
    bool catalog_file(winapi::catalog_info catalog, std::wstring& path,
                      std::uint32_t& error) override {
        const resource* r = live(catalog, kind::catalog);
        if (r == nullptr || !catalogs_[r->index].readable) {
            return refuse(error, r == nullptr ? error_invalid_handle : winapi::error_gen_failure);
        }
        path = catalogs_[r->index].path;
        error = 0;
        return true;
    }

    bool query_embedded_signature(const std::wstring& path, winapi::cert_store& store,
                                  winapi::crypt_message& message, std::uint32_t& error) override {
        store = message = 0;
        if (failing("query_embedded_signature", error)) {
            return false;
        }
        const file_model* f = find(path);
        if (f == nullptr || !f->signer) {
            return refuse(error,
                          f == nullptr ? winapi::error_file_not_found : winapi::crypt_e_no_match);
        }
        store = hand_out({kind::store, stdext::to_lower(path)});
        message = hand_out({kind::message, stdext::to_lower(path)});
        return true;
    }
    void close_message(winapi::crypt_message message) override {
        take_back(message, kind::message);
    }
    void close_store(winapi::cert_store store) override { take_back(store, kind::store); }

    bool signer_info(winapi::crypt_message message, void* buffer, std::uint32_t& size,
                     std::uint32_t& error) override {
        if (failing(buffer == nullptr ? "signer_info:size" : "signer_info", error)) {
            return false;
        }
        if (live(message, kind::message) == nullptr) {
            return refuse(error, error_invalid_handle);
        }
        const bool fit = fits(buffer, size, signer_info_bytes);
        size = signer_info_bytes;
        if (buffer == nullptr) {
            return true;  // only the size was asked for
        }
        if (!fit) {
            return refuse(error, winapi::error_more_data);
        }
        // The signer information names its message, so the certificate search can check it.
        std::memset(buffer, 0, signer_info_bytes);
        std::memcpy(buffer, &message, sizeof(message));
        return true;
    }
    winapi::cert_context find_signer_certificate(winapi::cert_store store, const void* signer_info,
                                                 std::uint32_t& error) override {
        if (failing("find_signer_certificate", error)) {
            return 0;
        }
        winapi::crypt_message message = 0;
        if (signer_info != nullptr) {
            std::memcpy(&message, signer_info, sizeof(message));
        }
        const resource* s = live(store, kind::store);
        const resource* m = live(message, kind::message);
        if (s == nullptr || m == nullptr || m->path != s->path) {
            return refuse(error, 0x80070057u);
        }
        if (!find(s->path)->signer_in_store) {
            return refuse(error, winapi::crypt_e_not_found);
        }
        return hand_out({kind::certificate, s->path});
    }
    void free_certificate(winapi::cert_context certificate) override {
        take_back(certificate, kind::certificate);
    }

    bool serial_number(winapi::cert_context certificate,
                       std::vector<std::uint8_t>& stored) override {
        const cert_model* c = cert(certificate);
        if (c == nullptr || !c->has_info) {
            return false;
        }
        stored = c->serial_stored;
        return true;
    }
    std::uint32_t name_string(winapi::cert_context certificate, std::uint32_t type,
                              std::uint32_t flags, std::uint32_t capacity, std::wstring& out,
                              std::uint32_t& error) override {
        out.assign(capacity, L'\0');
        if (failing(capacity == 0 ? "name_string:length" : "name_string", error)) {
            return 0;
        }
        const cert_model* c = cert(certificate);
        if (c == nullptr || type != winapi::cert_name_simple_display_type) {
            return refuse(error, 0x80070057u);
        }
        const std::wstring& name = (flags & winapi::cert_name_issuer_flag) ? c->issuer : c->subject;
        const auto needed = static_cast<std::uint32_t>(name.size() + 1);
        if (capacity == 0) {
            return needed;
        }
        // As the system does: a short buffer gets as much as fits, null-terminated.
        const std::uint32_t count = std::min(capacity, needed);
        std::copy_n(name.begin(), count - 1, out.begin());
        return count;
    }

private:
    static constexpr std::uint32_t error_invalid_handle = 6;
    static constexpr std::uint32_t signer_info_bytes = 64;

    enum class kind { file, admin, catalog, store, message, certificate };
    struct resource {
        kind what;
        std::wstring path{};    // file, store, message, certificate: the file (lower case)
        std::size_t index = 0;  // catalog: its position in catalogs_
    };

    static constexpr std::int32_t result_of(std::uint32_t code) {
        return static_cast<std::int32_t>(code);
    }
    // The catalog hash of a file's content, made from its path.
    static std::vector<std::uint8_t> hash_of(const std::wstring& path) {
        const std::string bytes = stdext::wide_to_utf8(stdext::to_lower(path));
        return {bytes.begin(), bytes.end()};
    }

    file_model* find(const std::wstring& path) {
        auto it = files_.find(stdext::to_lower(path));
        return it == files_.end() ? nullptr : &it->second;
    }
    const cert_model* cert(winapi::cert_context certificate) {
        const resource* c = live(certificate, kind::certificate);
        return c == nullptr ? nullptr : &*find(c->path)->signer;
    }
    // An injected failure sets its error; otherwise the error is cleared for a success.
    bool failing(const std::string& call, std::uint32_t& error) const {
        auto it = fail.find(call);
        error = it == fail.end() ? 0 : it->second;
        return it != fail.end();
    }
    // Sets the error of a failed call and answers false (or no handle, or no count).
    static bool refuse(std::uint32_t& error, std::uint32_t code) {
        error = code;
        return false;
    }
    // A buffer from allocate() of at least needed bytes, announced as at least that size.
    bool fits(const void* buffer, std::uint32_t announced, std::size_t needed) const {
        auto it = blocks_.find(buffer);
        return it != blocks_.end() && announced >= needed && it->second.size() > needed;
    }

    std::uintptr_t hand_out(resource r) {
        next_ += 4;
        live_.emplace(next_, std::move(r));
        return next_;
    }
    void take_back(std::uintptr_t handle, kind what) {
        if (live(handle, what) == nullptr) {
            ++bad_releases_;
            return;
        }
        live_.erase(handle);
    }
    const resource* live(std::uintptr_t handle, kind what) const {
        auto it = live_.find(handle);
        return it == live_.end() || it->second.what != what ? nullptr : &it->second;
    }

    std::map<std::wstring, file_model> files_;  // key: lower-case path
    std::vector<catalog_model> catalogs_;
    std::map<std::uintptr_t, resource> live_;
    std::map<const void*, std::vector<std::uint8_t>> blocks_;  // buffers handed out
    std::uintptr_t next_ = 0x1000;
    int bad_releases_ = 0;
};

}  // namespace fakes
