// Matching an IP-literal endpoint against a certificate. mbedTLS matches
// only DNS names; for an address the certificate must list that very
// address among its iPAddress subjectAltNames, or any certificate from a
// trusted root would pass for it.
#pragma once

#include <mbedtls/x509_crt.h>

#include <cstddef>
#include <string>

namespace kestrel {

// 4 (IPv4) or 16 (IPv6) bytes of a literal into `out`; 0 when `host` is not one.
size_t ip_literal_bytes(const std::string& host, unsigned char out[16]);

// Whether the certificate's subjectAltName extension holds an iPAddress
// entry equal to the `len` bytes of `addr`. False for anything malformed.
bool x509_crt_names_ip(const mbedtls_x509_crt* crt, const unsigned char* addr, size_t len);

}  // namespace kestrel
