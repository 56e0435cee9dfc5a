#include "fakes/fake_trust.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>

#include "base/error.h"
#include "base/utf.h"

namespace fakes {
namespace {

constexpr std::int32_t result_of(std::uint32_t code) {
    return static_cast<std::int32_t>(code);
}
constexpr std::uint32_t file_not_found_result = 0x80070002u;
constexpr std::uint32_t signer_info_bytes = 64;

std::vector<std::uint8_t> hash_of(const std::wstring& key) {
    std::vector<std::uint8_t> hash(20);
    std::size_t h = std::hash<std::wstring>{}(key);
    for (std::size_t i = 0; i < hash.size(); ++i) {
        hash[i] =
            static_cast<std::uint8_t>(h >> ((i % sizeof(h)) * 8)) ^ static_cast<std::uint8_t>(i);
    }
    return hash;
}

}  // namespace

fake_trust::file_model& fake_trust::add_unsigned(const std::wstring& path) {
    file_model& f = files_[text::to_lower(path)];
    f = file_model{};
    f.hash = hash_of(text::to_lower(path));
    return f;
}

fake_trust::file_model& fake_trust::add_signed(const std::wstring& path, cert_model signer) {
    file_model& f = add_unsigned(path);
    f.signer = std::move(signer);
    return f;
}

fake_trust::file_model& fake_trust::add_tampered(const std::wstring& path, cert_model signer) {
    file_model& f = add_signed(path, std::move(signer));
    f.tampered = true;
    return f;
}

fake_trust::catalog_model& fake_trust::add_catalog(const std::wstring& path,
                                                   const std::vector<std::wstring>& members,
                                                   std::int32_t result) {
    catalog_model c;
    c.path = path;
    c.result = result;
    for (const auto& m : members) {
        if (file_model* f = find(m)) {
            c.hashes.insert(f->hash);
        }
    }
    catalogs_.push_back(std::move(c));
    return catalogs_.back();
}

int fake_trust::open_handles() const {
    return static_cast<int>(live_.size() + blocks_.size());
}

std::uintptr_t fake_trust::hand_out(resource r) {
    const std::uintptr_t h = next_;
    next_ += 4;
    live_[h] = std::move(r);
    ++opened;
    return h;
}

bool fake_trust::take_back(std::uintptr_t handle, kind what) {
    auto it = live_.find(handle);
    if (it == live_.end() || it->second.what != what) {
        ++bad_releases;
        return false;
    }
    live_.erase(it);
    return true;
}

const fake_trust::resource* fake_trust::live(std::uintptr_t handle, kind what) const {
    auto it = live_.find(handle);
    return it == live_.end() || it->second.what != what ? nullptr : &it->second;
}

fake_trust::file_model* fake_trust::find(const std::wstring& path) {
    auto it = files_.find(text::to_lower(path));
    return it == files_.end() ? nullptr : &it->second;
}

bool fake_trust::failing(call c, std::uint32_t& error) const {
    auto it = fail.find(c);
    if (it == fail.end()) {
        return false;
    }
    error = it->second;
    return true;
}

std::int32_t fake_trust::verify_file(const std::wstring& path) {
    ++embedded_verifications;
    const file_model* f = find(path);
    if (f == nullptr) {
        return result_of(file_not_found_result);
    }
    if (f->embedded_result) {
        return *f->embedded_result;
    }
    if (!f->signer) {
        return result_of(winapi::trust_e_nosignature);
    }
    return f->tampered ? result_of(winapi::trust_e_bad_digest) : 0;
}

std::int32_t fake_trust::verify_catalog_member(const std::wstring& catalog_path,
                                               const std::wstring& member_path,
                                               winapi::trust_file member, const std::uint8_t* hash,
                                               std::uint32_t hash_size) {
    catalogs_verified.push_back(catalog_path);
    const resource* open = live(member, kind::file);
    const file_model* f = find(member_path);
    if (open == nullptr || f == nullptr || !text::iequals(open->path, member_path) ||
        hash == nullptr || std::vector<std::uint8_t>(hash, hash + hash_size) != f->hash) {
        return result_of(0x80070057u);  // E_INVALIDARG: the code passed something inconsistent
    }
    for (const auto& c : catalogs_) {
        if (c.path == catalog_path) {
            return c.hashes.count(f->hash) ? c.result : result_of(winapi::trust_e_nosignature);
        }
    }
    return result_of(file_not_found_result);
}

winapi::trust_file fake_trust::open_file(const std::wstring& path, std::uint32_t& error) {
    if (failing(call::open_file, error)) {
        return 0;
    }
    if (find(path) == nullptr) {
        error = winapi::error_file_not_found;
        return 0;
    }
    error = 0;
    return hand_out({kind::file, path});
}

void fake_trust::close_file(winapi::trust_file file) {
    take_back(file, kind::file);
}

void* fake_trust::allocate(std::size_t size) noexcept {
    if (fail_allocation) {
        return nullptr;
    }
    auto* block = new (std::nothrow) std::uint8_t[size == 0 ? 1 : size];
    if (block == nullptr) {
        return nullptr;
    }
    try {
        blocks_[block] = size;
    } catch (...) {
        delete[] block;
        return nullptr;
    }
    ++opened;
    return block;
}

void fake_trust::free_memory(void* block) noexcept {
    auto it = blocks_.find(block);
    if (it == blocks_.end()) {
        ++bad_releases;
        return;
    }
    blocks_.erase(it);
    delete[] static_cast<std::uint8_t*>(block);
}

bool fake_trust::calc_file_hash(winapi::trust_file handle, std::uint32_t& size,
                                std::uint8_t* buffer, std::uint32_t& error) {
    if (failing(buffer == nullptr ? call::hash_size : call::hash, error)) {
        return false;
    }
    const resource* open = live(handle, kind::file);
    const file_model* f = open ? find(open->path) : nullptr;
    if (f == nullptr) {
        error = 6;  // ERROR_INVALID_HANDLE
        return false;
    }
    const auto needed = static_cast<std::uint32_t>(f->hash.size());
    const auto block = blocks_.find(buffer);
    if (buffer == nullptr || size < needed || block == blocks_.end() || block->second < needed) {
        size = needed;
        error = winapi::error_insufficient_buffer;
        return false;
    }
    std::memcpy(buffer, f->hash.data(), needed);
    size = needed;
    error = 0;
    return true;
}

bool fake_trust::acquire_catalog_admin(winapi::catalog_admin& admin, std::uint32_t& error) {
    if (failing(call::acquire_admin, error)) {
        admin = 0;
        return false;
    }
    admin = hand_out({kind::admin, {}, 0});
    error = 0;
    return true;
}

void fake_trust::release_catalog_admin(winapi::catalog_admin admin) {
    take_back(admin, kind::admin);
}

winapi::catalog_info fake_trust::next_catalog(winapi::catalog_admin admin, const std::uint8_t* hash,
                                              std::uint32_t hash_size,
                                              winapi::catalog_info& previous) {
    std::size_t start = 0;
    if (previous != 0) {
        const resource* prev = live(previous, kind::catalog);
        if (prev == nullptr) {
            ++bad_releases;
            return 0;
        }
        start = prev->index + 1;
        take_back(previous, kind::catalog);  // the enumeration releases the previous catalog
    }
    if (live(admin, kind::admin) == nullptr || hash == nullptr) {
        return 0;
    }
    const std::vector<std::uint8_t> wanted(hash, hash + hash_size);
    for (std::size_t i = start; i < catalogs_.size(); ++i) {
        if (catalogs_[i].hashes.count(wanted)) {
            resource r{kind::catalog, {}, 0};
            r.index = i;
            return hand_out(std::move(r));
        }
    }
    return 0;
}

void fake_trust::release_catalog(winapi::catalog_admin admin, winapi::catalog_info catalog) {
    if (live(admin, kind::admin) == nullptr) {
        ++bad_releases;
    }
    take_back(catalog, kind::catalog);
}

bool fake_trust::catalog_file(winapi::catalog_info catalog, std::wstring& path,
                              std::uint32_t& error) {
    const resource* r = live(catalog, kind::catalog);
    if (r == nullptr) {
        error = 6;
        return false;
    }
    if (failing(call::catalog_file, error)) {
        return false;
    }
    if (!catalogs_[r->index].readable) {
        error = winapi::error_gen_failure;
        return false;
    }
    path = catalogs_[r->index].path;
    error = 0;
    return true;
}

bool fake_trust::query_embedded_signature(const std::wstring& path, winapi::cert_store& store,
                                          winapi::crypt_message& message, std::uint32_t& error) {
    store = 0;
    message = 0;
    if (failing(call::query, error)) {
        return false;
    }
    const file_model* f = find(path);
    if (f == nullptr) {
        error = winapi::error_file_not_found;
        return false;
    }
    if (!f->signer) {
        error = winapi::crypt_e_no_match;
        return false;
    }
    store = hand_out({kind::store, path});
    message = hand_out({kind::message, path});
    error = 0;
    return true;
}

void fake_trust::close_message(winapi::crypt_message message) {
    take_back(message, kind::message);
}

void fake_trust::close_store(winapi::cert_store store) {
    take_back(store, kind::store);
}

bool fake_trust::signer_info(winapi::crypt_message message, void* buffer, std::uint32_t& size,
                             std::uint32_t& error) {
    if (failing(buffer == nullptr ? call::signer_info_size : call::signer_info, error)) {
        return false;
    }
    if (live(message, kind::message) == nullptr) {
        error = 6;
        return false;
    }
    const auto block = blocks_.find(buffer);
    if (buffer == nullptr || size < signer_info_bytes || block == blocks_.end() ||
        block->second < signer_info_bytes) {
        size = signer_info_bytes;
        error = buffer == nullptr ? 0 : winapi::error_more_data;
        return buffer == nullptr;
    }
    // The signer information names its message, so the certificate search can check it.
    std::memset(buffer, 0, signer_info_bytes);
    std::memcpy(buffer, &message, sizeof(message));
    size = signer_info_bytes;
    error = 0;
    return true;
}

winapi::cert_context fake_trust::find_signer_certificate(winapi::cert_store store,
                                                         const void* signer_info,
                                                         std::uint32_t& error) {
    if (failing(call::find_certificate, error)) {
        return 0;
    }
    const resource* s = live(store, kind::store);
    winapi::crypt_message message = 0;
    if (signer_info != nullptr) {
        std::memcpy(&message, signer_info, sizeof(message));
    }
    const resource* m = live(message, kind::message);
    if (s == nullptr || m == nullptr || m->path != s->path) {
        error = 0x80070057u;
        return 0;
    }
    const file_model* f = find(s->path);
    if (f == nullptr || !f->signer_in_store) {
        error = winapi::crypt_e_not_found;
        return 0;
    }
    error = 0;
    return hand_out({kind::certificate, s->path});
}

void fake_trust::free_certificate(winapi::cert_context certificate) {
    take_back(certificate, kind::certificate);
}

bool fake_trust::serial_number(winapi::cert_context certificate,
                               std::vector<std::uint8_t>& stored) {
    const resource* c = live(certificate, kind::certificate);
    const file_model* f = c ? find(c->path) : nullptr;
    if (f == nullptr || !f->signer->has_info) {
        return false;
    }
    stored = f->signer->serial_stored;
    return true;
}

std::uint32_t fake_trust::name_string(winapi::cert_context certificate, std::uint32_t type,
                                      std::uint32_t flags, std::uint32_t capacity,
                                      std::wstring& out, std::uint32_t& error) {
    out.assign(capacity, L'\0');
    if (failing(capacity == 0 ? call::name_length : call::name, error)) {
        return 0;
    }
    const resource* c = live(certificate, kind::certificate);
    const file_model* f = c ? find(c->path) : nullptr;
    if (f == nullptr || type != winapi::cert_name_simple_display_type) {
        error = 0x80070057u;
        return 0;
    }
    const std::wstring& name =
        (flags & winapi::cert_name_issuer_flag) ? f->signer->issuer : f->signer->subject;
    const auto needed = static_cast<std::uint32_t>(name.size() + 1);
    error = 0;
    if (capacity == 0) {
        return needed;
    }
    // As the system does: a short buffer gets as much as fits, null-terminated.
    const std::uint32_t count = std::min(capacity, needed);
    std::copy(name.begin(), name.begin() + (count - 1), out.begin());
    return count;
}

}  // namespace fakes
