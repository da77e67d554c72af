#include "net/x509_ip_san.h"

#include <arpa/inet.h>
#include <mbedtls/asn1.h>
#include <mbedtls/oid.h>

#include <cstring>

namespace kestrel {

namespace {

// Inside the extension's OCTET STRING: GeneralNames ::= SEQUENCE OF GeneralName.
bool NamesHoldIp(unsigned char* p, const unsigned char* end, const unsigned char* addr,
                 size_t len) {
    size_t seq_len = 0;
    if (mbedtls_asn1_get_tag(&p, end, &seq_len, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) !=
            0 ||
        p + seq_len != end) {
        return false;
    }
    while (p < end) {
        unsigned char tag = *p++;
        size_t item = 0;
        if (mbedtls_asn1_get_len(&p, end, &item) != 0) {
            return false;
        }
        // iPAddress [7] IMPLICIT OCTET STRING: the raw address bytes.
        if (tag == (MBEDTLS_ASN1_CONTEXT_SPECIFIC | 7) && item == len &&
            memcmp(p, addr, len) == 0) {
            return true;
        }
        p += item;
    }
    return false;
}

}  // namespace

size_t ip_literal_bytes(const std::string& host, unsigned char out[16]) {
    if (inet_pton(AF_INET, host.c_str(), out) == 1) {
        return 4;
    }
    if (inet_pton(AF_INET6, host.c_str(), out) == 1) {
        return 16;
    }
    return 0;
}

bool x509_crt_names_ip(const mbedtls_x509_crt* crt, const unsigned char* addr, size_t len) {
    if (crt == nullptr || addr == nullptr || (len != 4 && len != 16) || crt->v3_ext.p == nullptr) {
        return false;
    }
    // v3_ext holds Extensions ::= SEQUENCE OF Extension, where
    // Extension ::= SEQUENCE { extnID OID, critical BOOLEAN DEFAULT FALSE, extnValue OCTET STRING }.
    unsigned char* p = crt->v3_ext.p;
    const unsigned char* end = p + crt->v3_ext.len;
    size_t len_all = 0;
    if (mbedtls_asn1_get_tag(&p, end, &len_all, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) !=
        0) {
        return false;
    }
    end = p + len_all;
    while (p < end) {
        size_t ext_len = 0;
        if (mbedtls_asn1_get_tag(&p, end, &ext_len,
                                 MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) != 0) {
            return false;
        }
        const unsigned char* ext_end = p + ext_len;
        size_t oid_len = 0;
        if (mbedtls_asn1_get_tag(&p, ext_end, &oid_len, MBEDTLS_ASN1_OID) != 0) {
            return false;
        }
        bool san = oid_len == MBEDTLS_OID_SIZE(MBEDTLS_OID_SUBJECT_ALT_NAME) &&
                   memcmp(p, MBEDTLS_OID_SUBJECT_ALT_NAME, oid_len) == 0;
        p += oid_len;
        int critical = 0;
        int r = mbedtls_asn1_get_bool(&p, ext_end, &critical);
        if (r != 0 && r != MBEDTLS_ERR_ASN1_UNEXPECTED_TAG) {
            return false;
        }
        size_t value_len = 0;
        if (mbedtls_asn1_get_tag(&p, ext_end, &value_len, MBEDTLS_ASN1_OCTET_STRING) != 0 ||
            p + value_len != ext_end) {
            return false;
        }
        if (san) {
            return NamesHoldIp(p, ext_end, addr, len);
        }
        p += value_len;
    }
    return false;
}

}  // namespace kestrel
