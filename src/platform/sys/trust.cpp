#include "platform/sys/trust.h"

#include "base/facility.h"

namespace winapi {

void trust_file_traits::close(trust_file file) noexcept {
    if (auto* t = facility<trust>::find()) {
        t->close_file(file);
    }
}

void catalog_admin_traits::close(catalog_admin admin) noexcept {
    if (auto* t = facility<trust>::find()) {
        t->release_catalog_admin(admin);
    }
}

void cert_store_traits::close(cert_store store) noexcept {
    if (auto* t = facility<trust>::find()) {
        t->close_store(store);
    }
}

void crypt_message_traits::close(crypt_message message) noexcept {
    if (auto* t = facility<trust>::find()) {
        t->close_message(message);
    }
}

void cert_context_traits::close(cert_context certificate) noexcept {
    if (auto* t = facility<trust>::find()) {
        t->free_certificate(certificate);
    }
}

void trust_memory_traits::close(void* block) noexcept {
    if (auto* t = facility<trust>::find()) {
        t->free_memory(block);
    }
}

}  // namespace winapi
