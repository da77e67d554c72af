// TLS 1.2 client connections over mbedTLS for the MQTT and HTTPS layers.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <mbedtls/asn1.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/oid.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <new>
#include <set>
#include <sstream>
#include <string>

#include "port/linux/hal_internal.h"
#include "tether/hal.h"

using tether_port::prt;

namespace {

constexpr int kHostMax = 253;
constexpr int kHandshakeTimeoutMs = 10000;
constexpr int kConnectTimeoutS = 10;
constexpr size_t kAnchorFileMax = 1 << 20;

thread_local int t_last_error = HAL_SSL_OK;

std::mutex g_lock;
void* (*g_malloc)(uint32_t) = nullptr;
void (*g_free)(void*) = nullptr;
std::string g_anchor;        // override PEM; empty = none
std::set<uintptr_t> g_live;  // handles not yet destroyed
std::string g_own_cert;      // client certificate PEM; empty = none
std::string g_own_key;
std::string g_own_key_password;

struct TlsConn {
    int fd;
    // The endpoint's address when it is an IP literal (ip_len 4 or 16).
    unsigned char ip[16];
    size_t ip_len;
    // The peer has closed (close-notify or end of stream); once the bytes
    // before it are read, every read says so at once.
    bool peer_closed;
    void (*free_fn)(void*);
    mbedtls_ssl_context ssl;
    mbedtls_ssl_config conf;
    mbedtls_x509_crt ca;
    mbedtls_x509_crt own_cert;
    mbedtls_pk_context own_key;
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
};

std::string err_text(int code) {
    char buf[128];
    mbedtls_strerror(code, buf, sizeof(buf));
    return buf;
}

int fail(int code) {
    t_last_error = code;
    return 0;
}

// --- socket I/O for mbedTLS -------------------------------------------------

int bio_send(void* ctx, const unsigned char* buf, size_t len) {
    int fd = static_cast<TlsConn*>(ctx)->fd;
    ssize_t n = send(fd, buf, len, MSG_NOSIGNAL);
    if (n >= 0) {
        return static_cast<int>(n);
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        return MBEDTLS_ERR_SSL_WANT_WRITE;
    }
    if (errno == EPIPE || errno == ECONNRESET) {
        return MBEDTLS_ERR_NET_CONN_RESET;
    }
    return MBEDTLS_ERR_NET_SEND_FAILED;
}

// poll() rather than select(): descriptors above FD_SETSIZE stay usable.
int bio_recv_timeout(void* ctx, unsigned char* buf, size_t len, uint32_t timeout) {
    int fd = static_cast<TlsConn*>(ctx)->fd;
    struct pollfd pfd = {fd, POLLIN, 0};
    int pr = poll(&pfd, 1, timeout == 0 ? -1 : static_cast<int>(timeout));
    if (pr == 0) {
        return MBEDTLS_ERR_SSL_TIMEOUT;
    }
    if (pr < 0) {
        return errno == EINTR ? MBEDTLS_ERR_SSL_WANT_READ : MBEDTLS_ERR_NET_RECV_FAILED;
    }
    ssize_t n = recv(fd, buf, len, 0);
    if (n >= 0) {
        return static_cast<int>(n);
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        return MBEDTLS_ERR_SSL_WANT_READ;
    }
    if (errno == ECONNRESET || errno == EPIPE) {
        return MBEDTLS_ERR_NET_CONN_RESET;
    }
    return MBEDTLS_ERR_NET_RECV_FAILED;
}

// --- connecting ---------------------------------------------------------------

int connect_addr(const struct sockaddr* sa, socklen_t len) {
    int fd = socket(sa->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        prt(LOG_ERR_LEVEL, "socket failed - '%s' (%d)", strerror(errno), errno);
        return -1;
    }
    struct timeval tv = {kConnectTimeoutS, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) != 0) {
        prt(LOG_ERR_LEVEL, "setsockopt SO_SNDTIMEO timeout: %ds", kConnectTimeoutS);
    }
    if (connect(fd, sa, len) != 0) {
        prt(LOG_DEBUG_LEVEL, "connect failed - '%s' (%d)", strerror(errno), errno);
        close(fd);
        return -1;
    }
    return fd;
}

// The library's resolver first, retried with a pause, then every address.
int connect_own_dns(const char* host, uint16_t port) {
    unsigned char v6[sizeof(struct in6_addr)];
    if (inet_pton(AF_INET6, host, v6) == 1) {
        return -1;  // an IPv6 literal: nothing to ask an A resolver
    }
    uint32_t addrs[DNS_MAX_ADDRS];
    int n = -1;
    int attempts = tether_port::dns_attempts();
    for (int i = 0; i < attempts; ++i) {
        n = dns_getaddrinfo(host, addrs);
        if (n > 0) {
            break;
        }
        prt(LOG_WARNING_LEVEL, "getaddrinfo error[%d], res: %s, host: %s, port: %u\n", i + 1,
            "no answer", host, port);
        if (i + 1 < attempts) {
            HAL_SleepMs(static_cast<uint32_t>(tether_port::dns_retry_pause_ms()));
        }
    }
    for (int i = 0; i < n; ++i) {
        struct sockaddr_in sa;
        memset(&sa, 0, sizeof(sa));
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = addrs[i];
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &sa.sin_addr, text, sizeof(text));
        prt(LOG_DEBUG_LEVEL, "ip address: %s\n", text);
        int fd = connect_addr(reinterpret_cast<struct sockaddr*>(&sa), sizeof(sa));
        if (fd >= 0) {
            return fd;
        }
    }
    return -1;
}

int connect_system_dns(const char* host, uint16_t port) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    char port_text[8];
    snprintf(port_text, sizeof(port_text), "%u", port);
    struct addrinfo* res = nullptr;
    int rc = getaddrinfo(host, port_text, &hints, &res);
    if (rc != 0) {
        prt(LOG_ERR_LEVEL, "getaddrinfo error[%d], res: %s, host: %s, port: %s\n", rc,
            gai_strerror(rc), host, port_text);
        return -1;
    }
    int fd = -1;
    for (struct addrinfo* ai = res; ai != nullptr && fd < 0; ai = ai->ai_next) {
        fd = connect_addr(ai->ai_addr, ai->ai_addrlen);
    }
    freeaddrinfo(res);
    return fd;
}

bool is_ip_literal(const char* host) {
    unsigned char buf[sizeof(struct in6_addr)];
    return inet_pton(AF_INET, host, buf) == 1 || inet_pton(AF_INET6, host, buf) == 1;
}

// 4 or 16 address bytes of an IP literal, 0 for a host name.
size_t ip_literal_bytes(const char* host, unsigned char out[16]) {
    if (inet_pton(AF_INET, host, out) == 1)
        return 4;
    if (inet_pton(AF_INET6, host, out) == 1)
        return 16;
    return 0;
}

// Whether the certificate's subjectAltName lists the address as an
// iPAddress entry. mbedTLS keeps only dNSName entries in its parsed list, so
// the raw extensions are walked: SEQUENCE OF Extension { OID, [BOOLEAN],
// OCTET STRING { SEQUENCE OF GeneralName } }, iPAddress being [7].
bool cert_names_ip(const mbedtls_x509_crt* crt, const unsigned char* addr, size_t len) {
    if (crt == nullptr || crt->v3_ext.p == nullptr)
        return false;
    unsigned char* p = crt->v3_ext.p;
    const unsigned char* end = p + crt->v3_ext.len;
    size_t n = 0;
    const int seq = MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE;
    if (mbedtls_asn1_get_tag(&p, end, &n, seq) != 0)
        return false;
    end = p + n;
    while (p < end) {
        if (mbedtls_asn1_get_tag(&p, end, &n, seq) != 0)
            return false;
        const unsigned char* ext_end = p + n;
        if (mbedtls_asn1_get_tag(&p, ext_end, &n, MBEDTLS_ASN1_OID) != 0)
            return false;
        bool san = n == MBEDTLS_OID_SIZE(MBEDTLS_OID_SUBJECT_ALT_NAME) &&
                   memcmp(p, MBEDTLS_OID_SUBJECT_ALT_NAME, n) == 0;
        p += n;
        int critical = 0;
        int rc = mbedtls_asn1_get_bool(&p, ext_end, &critical);
        if (rc != 0 && rc != MBEDTLS_ERR_ASN1_UNEXPECTED_TAG)
            return false;
        if (mbedtls_asn1_get_tag(&p, ext_end, &n, MBEDTLS_ASN1_OCTET_STRING) != 0 ||
            p + n != ext_end)
            return false;
        if (!san) {
            p += n;
            continue;
        }
        if (mbedtls_asn1_get_tag(&p, ext_end, &n, seq) != 0 || p + n != ext_end)
            return false;
        while (p < ext_end) {
            unsigned char tag = *p++;
            if (mbedtls_asn1_get_len(&p, ext_end, &n) != 0)
                return false;
            if (tag == (MBEDTLS_ASN1_CONTEXT_SPECIFIC | 7) && n == len && memcmp(p, addr, len) == 0)
                return true;
            p += n;
        }
        return false;
    }
    return false;
}

// For an address endpoint the leaf must name that address: mbedTLS matches
// DNS names only, and a chain alone would let any certificate under the
// anchor pass for it.
int verify_ip_san(void* ctx, mbedtls_x509_crt* crt, int depth, uint32_t* flags) {
    TlsConn* c = static_cast<TlsConn*>(ctx);
    if (c == nullptr || depth != 0 || c->ip_len == 0)
        return 0;
    if (!cert_names_ip(crt, c->ip, c->ip_len)) {
        prt(LOG_ERR_LEVEL, "server certificate does not name the endpoint's address");
        *flags |= MBEDTLS_X509_BADCERT_CN_MISMATCH;
    }
    return 0;
}

void* conn_alloc(void (**free_out)(void*)) {
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_malloc != nullptr) {
        *free_out = g_free;
        return g_malloc(sizeof(TlsConn));
    }
    *free_out = free;
    return malloc(sizeof(TlsConn));
}

void conn_free(TlsConn* c) {
    if (c->fd >= 0) {
        close(c->fd);
    }
    mbedtls_ssl_free(&c->ssl);
    mbedtls_ssl_config_free(&c->conf);
    mbedtls_x509_crt_free(&c->ca);
    mbedtls_x509_crt_free(&c->own_cert);
    mbedtls_pk_free(&c->own_key);
    mbedtls_ctr_drbg_free(&c->drbg);
    mbedtls_entropy_free(&c->entropy);
    c->free_fn(c);
}

// Classifies a failed verification; the order puts the most telling first.
int report_verify(uint32_t flags) {
    prt(LOG_DEBUG_LEVEL, "certificate verification result: 0x%02x", flags);
    if (flags & MBEDTLS_X509_BADCERT_EXPIRED) {
        prt(LOG_ERR_LEVEL, "! fail ! ERROR_CERTIFICATE_EXPIRED");
        return HAL_SSL_ERR_CERT_EXPIRED;
    }
    if (flags & MBEDTLS_X509_BADCERT_REVOKED) {
        prt(LOG_ERR_LEVEL, "! fail ! server certificate has been revoked");
        return HAL_SSL_ERR_CERT_REVOKED;
    }
    // An untrusted chain says nothing about names: that is the reason.
    if (flags & MBEDTLS_X509_BADCERT_NOT_TRUSTED) {
        prt(LOG_ERR_LEVEL, "! fail ! self-signed or not signed by a trusted CA");
        return HAL_SSL_ERR_CERT_UNTRUSTED;
    }
    if (flags & MBEDTLS_X509_BADCERT_CN_MISMATCH) {
        prt(LOG_ERR_LEVEL, "! fail ! CN mismatch");
        return HAL_SSL_ERR_CN_MISMATCH;
    }
    prt(LOG_ERR_LEVEL, "! fail ! self-signed or not signed by a trusted CA");
    return HAL_SSL_ERR_CERT_UNTRUSTED;
}

bool live(uintptr_t h) {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_live.count(h) != 0;
}

int64_t now_ms() {
    return static_cast<int64_t>(HAL_UptimeMs());
}

// PEM text as given, or the content of the file it names.
bool read_pem(const char* pem_or_path, const char* what, std::string* out) {
    if (strstr(pem_or_path, "-----BEGIN") != nullptr) {
        *out = pem_or_path;
        return true;
    }
    std::ifstream in(pem_or_path, std::ios::binary);
    if (!in) {
        prt(LOG_ERR_LEVEL, "%s: cannot open '%s' - '%s' (%d)", what, pem_or_path, strerror(errno),
            errno);
        return false;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    *out = ss.str();
    if (out->size() > kAnchorFileMax) {
        prt(LOG_ERR_LEVEL, "%s: '%s' is too large", what, pem_or_path);
        return false;
    }
    return true;
}

// Parses the client certificate and its key and checks that they belong
// together. 0 or an mbedTLS error code.
int load_own_identity(const std::string& cert, const std::string& key, const std::string& password,
                      mbedtls_x509_crt* crt, mbedtls_pk_context* pk) {
    int rc = mbedtls_x509_crt_parse(crt, reinterpret_cast<const unsigned char*>(cert.c_str()),
                                    cert.size() + 1);
    if (rc != 0)
        return rc;
    rc = mbedtls_pk_parse_key(
        pk, reinterpret_cast<const unsigned char*>(key.c_str()), key.size() + 1,
        password.empty() ? nullptr : reinterpret_cast<const unsigned char*>(password.c_str()),
        password.size());
    if (rc != 0)
        return rc;
    return mbedtls_pk_check_pair(&crt->pk, pk);
}

}  // namespace

int HAL_SetClientCertificate(const char* cert_pem_or_path, const char* key_pem_or_path,
                             const char* key_password) {
    bool none = (cert_pem_or_path == nullptr || cert_pem_or_path[0] == '\0') &&
                (key_pem_or_path == nullptr || key_pem_or_path[0] == '\0');
    std::string cert, key, password = key_password ? key_password : "";
    if (!none) {
        if (cert_pem_or_path == nullptr || key_pem_or_path == nullptr ||
            cert_pem_or_path[0] == '\0' || key_pem_or_path[0] == '\0') {
            prt(LOG_ERR_LEVEL, "client certificate: give both the certificate and its key");
            return -1;
        }
        if (!read_pem(cert_pem_or_path, "client certificate", &cert) ||
            !read_pem(key_pem_or_path, "client key", &key)) {
            return -1;
        }
        mbedtls_x509_crt crt;
        mbedtls_pk_context pk;
        mbedtls_x509_crt_init(&crt);
        mbedtls_pk_init(&pk);
        int rc = load_own_identity(cert, key, password, &crt, &pk);
        mbedtls_x509_crt_free(&crt);
        mbedtls_pk_free(&pk);
        if (rc != 0) {
            prt(LOG_ERR_LEVEL, "client certificate or key unusable: -0x%04x (%s)",
                static_cast<unsigned>(-rc), err_text(rc).c_str());
            return -1;
        }
    }
    std::lock_guard<std::mutex> lock(g_lock);
    g_own_cert = cert;
    g_own_key = key;
    g_own_key_password = password;
    return 0;
}

int HAL_SSLHooks_set(void* (*malloc_fn)(uint32_t size), void (*free_fn)(void* ptr)) {
    if ((malloc_fn == nullptr) != (free_fn == nullptr)) {
        prt(LOG_ERR_LEVEL, "ssl hooks: give both functions or neither");
        return -1;
    }
    std::lock_guard<std::mutex> lock(g_lock);
    g_malloc = malloc_fn;
    g_free = free_fn;
    return 0;
}

int HAL_SetTrustAnchorPem(const char* pem_or_path) {
    std::string pem;
    if (pem_or_path != nullptr && pem_or_path[0] != '\0') {
        if (!read_pem(pem_or_path, "trust anchor", &pem)) {
            return -1;
        }
        mbedtls_x509_crt crt;
        mbedtls_x509_crt_init(&crt);
        int rc = mbedtls_x509_crt_parse(&crt, reinterpret_cast<const unsigned char*>(pem.c_str()),
                                        pem.size() + 1);
        bool any = rc >= 0 && crt.version != 0;
        mbedtls_x509_crt_free(&crt);
        if (!any) {
            prt(LOG_ERR_LEVEL, "trust anchor: no usable certificate (-0x%04x)",
                static_cast<unsigned>(-rc));
            return -1;
        }
    }
    std::lock_guard<std::mutex> lock(g_lock);
    g_anchor = pem;
    return 0;
}

const char* HAL_GetTrustAnchorPem(void) {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_anchor.empty() ? HAL_GetBuiltinTrustAnchorPem() : g_anchor.c_str();
}

int HAL_SSL_LastError(void) {
    return t_last_error;
}

namespace {

// What a connection takes from the process-wide settings, copied under the
// lock once so that a concurrent change cannot mix two of them.
struct ConnSettings {
    std::string anchor;
    std::string own_cert;
    std::string own_key;
    std::string own_key_password;
};

bool endpoint_usable(const char* host, uint16_t port) {
    if (host == nullptr || host[0] == '\0' || port == 0) {
        prt(LOG_ERR_LEVEL, "input params are NULL, abort");
        return false;
    }
    int host_len = static_cast<int>(strnlen(host, kHostMax + 1));
    if (host_len > kHostMax) {
        prt(LOG_ERR_LEVEL, "invalid host: '%.64s...'(len=%d), abort", host,
            static_cast<int>(strlen(host)));
        return false;
    }
    return true;
}

// The override anchor wins over the caller's, which wins over the built-in one.
ConnSettings settings_for(const char* ca_crt, uint32_t ca_crt_len) {
    ConnSettings s;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        s.anchor = g_anchor;
        s.own_cert = g_own_cert;
        s.own_key = g_own_key;
        s.own_key_password = g_own_key_password;
    }
    if (s.anchor.empty()) {
        if (ca_crt != nullptr && ca_crt_len > 0) {
            s.anchor.assign(ca_crt, strnlen(ca_crt, ca_crt_len));
        } else {
            s.anchor = HAL_GetBuiltinTrustAnchorPem();
        }
    }
    return s;
}

// Every context is initialised here, before any step can fail, so that
// conn_free is the one release for every outcome.
TlsConn* conn_new() {
    void (*free_fn)(void*) = nullptr;
    TlsConn* c = static_cast<TlsConn*>(conn_alloc(&free_fn));
    if (c == nullptr) {
        prt(LOG_ERR_LEVEL, "no memory for the TLS connection");
        return nullptr;
    }
    c->fd = -1;
    c->ip_len = 0;
    c->peer_closed = false;
    c->free_fn = free_fn;
    mbedtls_ssl_init(&c->ssl);
    mbedtls_ssl_config_init(&c->conf);
    mbedtls_x509_crt_init(&c->ca);
    mbedtls_x509_crt_init(&c->own_cert);
    mbedtls_pk_init(&c->own_key);
    mbedtls_entropy_init(&c->entropy);
    mbedtls_ctr_drbg_init(&c->drbg);
    return c;
}

// Each step below returns HAL_SSL_OK or the HAL_SSL_ERR_* the caller reports;
// none releases anything, the caller frees the whole record on failure.

int seed_rng(TlsConn* c) {
    static const char kPers[] = "tether_tls";
    int rc = mbedtls_ctr_drbg_seed(&c->drbg, mbedtls_entropy_func, &c->entropy,
                                   reinterpret_cast<const unsigned char*>(kPers), sizeof(kPers));
    if (rc != 0) {
        prt(LOG_ERR_LEVEL, "failed ! mbedtls_ctr_drbg_seed returned -0x%04x",
            static_cast<unsigned>(-rc));
        return HAL_SSL_ERR_MEMORY;
    }
    return HAL_SSL_OK;
}

int load_anchor(TlsConn* c, const std::string& anchor) {
    prt(LOG_DEBUG_LEVEL, "Loading the CA root certificate ...");
    int rc = mbedtls_x509_crt_parse(&c->ca, reinterpret_cast<const unsigned char*>(anchor.c_str()),
                                    anchor.size() + 1);
    if (rc < 0 || c->ca.version == 0) {
        prt(LOG_ERR_LEVEL, "failed ! x509parse_crt returned -0x%04x",
            static_cast<unsigned>(rc < 0 ? -rc : 0));
        return HAL_SSL_ERR_CA;
    }
    prt(LOG_DEBUG_LEVEL, "ok (%d skipped)", rc);
    return HAL_SSL_OK;
}

int connect_tcp(TlsConn* c, const char* host, uint16_t port) {
    // Also sent with MSG_NOSIGNAL; the process-wide setting covers callers
    // that write to sockets of their own.
    signal(SIGPIPE, SIG_IGN);
    c->fd = connect_own_dns(host, port);
    if (c->fd < 0) {
        c->fd = connect_system_dns(host, port);
    }
    if (c->fd < 0) {
        prt(LOG_ERR_LEVEL, "backup failed ! net_connect returned -0x%04x",
            static_cast<unsigned>(-MBEDTLS_ERR_NET_CONNECT_FAILED));
        return HAL_SSL_ERR_CONNECT;
    }
    return HAL_SSL_OK;
}

// TLS 1.2 only, the peer verified against the anchor (and, for an address
// endpoint, its iPAddress name).
int configure(TlsConn* c, const char* host) {
    int rc = mbedtls_ssl_config_defaults(&c->conf, MBEDTLS_SSL_IS_CLIENT,
                                         MBEDTLS_SSL_TRANSPORT_STREAM, MBEDTLS_SSL_PRESET_DEFAULT);
    if (rc != 0) {
        prt(LOG_ERR_LEVEL, "failed ! mbedtls_ssl_config_defaults returned -0x%04x",
            static_cast<unsigned>(-rc));
        return HAL_SSL_ERR_HANDSHAKE;
    }
    mbedtls_ssl_conf_min_version(&c->conf, MBEDTLS_SSL_MAJOR_VERSION_3,
                                 MBEDTLS_SSL_MINOR_VERSION_3);
    mbedtls_ssl_conf_max_version(&c->conf, MBEDTLS_SSL_MAJOR_VERSION_3,
                                 MBEDTLS_SSL_MINOR_VERSION_3);
    mbedtls_ssl_conf_authmode(&c->conf, MBEDTLS_SSL_VERIFY_REQUIRED);
    mbedtls_ssl_conf_ca_chain(&c->conf, &c->ca, nullptr);
    c->ip_len = ip_literal_bytes(host, c->ip);
    mbedtls_ssl_conf_verify(&c->conf, verify_ip_san, c);
    mbedtls_ssl_conf_rng(&c->conf, mbedtls_ctr_drbg_random, &c->drbg);
    mbedtls_ssl_conf_read_timeout(&c->conf, kHandshakeTimeoutMs);
    return HAL_SSL_OK;
}

// The client certificate, when one is set, for peers that ask for it.
int use_own_identity(TlsConn* c, const ConnSettings& s) {
    if (s.own_cert.empty()) {
        return HAL_SSL_OK;
    }
    int rc =
        load_own_identity(s.own_cert, s.own_key, s.own_key_password, &c->own_cert, &c->own_key);
    if (rc == 0)
        rc = mbedtls_ssl_conf_own_cert(&c->conf, &c->own_cert, &c->own_key);
    if (rc != 0) {
        prt(LOG_ERR_LEVEL, "failed\n  ! mbedtls_ssl_conf_own_cert returned %d\n", rc);
        return HAL_SSL_ERR_CA;
    }
    return HAL_SSL_OK;
}

int bind_session(TlsConn* c, const char* host) {
    int rc = mbedtls_ssl_setup(&c->ssl, &c->conf);
    // IP literals: no SNI; verify_ip_san matches the address instead.
    if (rc == 0 && !is_ip_literal(host)) {
        rc = mbedtls_ssl_set_hostname(&c->ssl, host);
    }
    if (rc != 0) {
        prt(LOG_ERR_LEVEL, "failed ! mbedtls_ssl_setup returned -0x%04x",
            static_cast<unsigned>(-rc));
        return HAL_SSL_ERR_MEMORY;
    }
    mbedtls_ssl_set_bio(&c->ssl, c, bio_send, nullptr, bio_recv_timeout);
    return HAL_SSL_OK;
}

// A failed verification is reported by its cause; any other failure as a
// handshake fault.
int handshake(TlsConn* c) {
    prt(LOG_DEBUG_LEVEL, "Performing the SSL/TLS handshake...");
    int rc;
    while ((rc = mbedtls_ssl_handshake(&c->ssl)) != 0) {
        if (rc != MBEDTLS_ERR_SSL_WANT_READ && rc != MBEDTLS_ERR_SSL_WANT_WRITE) {
            break;
        }
    }
    uint32_t flags = mbedtls_ssl_get_verify_result(&c->ssl);
    if (rc != 0) {
        prt(LOG_ERR_LEVEL, "failed  ! mbedtls_ssl_handshake returned -0x%04x (%s)",
            static_cast<unsigned>(-rc), err_text(rc).c_str());
        if (rc == MBEDTLS_ERR_X509_CERT_VERIFY_FAILED && flags != 0 && flags != 0xffffffffu) {
            return report_verify(flags);
        }
        return HAL_SSL_ERR_HANDSHAKE;
    }
    if (flags != 0) {
        return report_verify(flags);
    }
    return HAL_SSL_OK;
}

// The steps in order, stopping at the first failure.
int open_session(TlsConn* c, const char* host, uint16_t port, const ConnSettings& s) {
    int why = seed_rng(c);
    if (why == HAL_SSL_OK)
        why = load_anchor(c, s.anchor);
    if (why == HAL_SSL_OK)
        why = connect_tcp(c, host, port);
    if (why == HAL_SSL_OK)
        why = configure(c, host);
    if (why == HAL_SSL_OK)
        why = use_own_identity(c, s);
    if (why == HAL_SSL_OK)
        why = bind_session(c, host);
    if (why == HAL_SSL_OK)
        why = handshake(c);
    return why;
}

}  // namespace

uintptr_t HAL_SSL_Establish(const char* host, uint16_t port, const char* ca_crt,
                            uint32_t ca_crt_len) {
    t_last_error = HAL_SSL_OK;
    if (!endpoint_usable(host, port)) {
        return fail(HAL_SSL_ERR_PARAM);
    }
    const ConnSettings settings = settings_for(ca_crt, ca_crt_len);
    TlsConn* c = conn_new();
    if (c == nullptr) {
        return fail(HAL_SSL_ERR_MEMORY);
    }
    int why = open_session(c, host, port, settings);
    if (why != HAL_SSL_OK) {
        conn_free(c);
        return fail(why);
    }
    uintptr_t h = reinterpret_cast<uintptr_t>(c);
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_live.insert(h);
    }
    return h;
}

// Whether the socket has bytes (or an end) waiting, without waiting for any:
// a read with no time left must not cost a millisecond when nothing is there,
// since the MQTT client polls with such reads while it holds its lock.
static bool socket_readable(int fd) {
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

int HAL_SSL_Read(uintptr_t handle, char* buf, int len, int timeout_ms) {
    if (!live(handle) || buf == nullptr || len < 0) {
        prt(LOG_ERR_LEVEL, "ssl read: paras err");
        return -1;
    }
    TlsConn* c = reinterpret_cast<TlsConn*>(handle);
    if (c->peer_closed && mbedtls_ssl_get_bytes_avail(&c->ssl) == 0)
        return len > 0 ? -2 : 0;
    int64_t deadline = now_ms() + (timeout_ms > 0 ? timeout_ms : 0);
    int got = 0;
    bool tried = false;
    while (got < len) {
        int64_t left = deadline - now_ms();
        if (left <= 0) {
            if (mbedtls_ssl_get_bytes_avail(&c->ssl) == 0 && (tried || !socket_readable(c->fd))) {
                break;
            }
            left = 1;  // 0 would mean "wait for ever" to mbedTLS
        }
        mbedtls_ssl_conf_read_timeout(&c->conf, static_cast<uint32_t>(left));
        int rc = mbedtls_ssl_read(&c->ssl, reinterpret_cast<unsigned char*>(buf) + got,
                                  static_cast<size_t>(len - got));
        tried = true;
        if (rc > 0) {
            got += rc;
            continue;
        }
        if (rc == MBEDTLS_ERR_SSL_TIMEOUT || rc == MBEDTLS_ERR_SSL_WANT_READ ||
            rc == MBEDTLS_ERR_SSL_WANT_WRITE) {
            continue;
        }
        if (rc == 0 || rc == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY || rc == MBEDTLS_ERR_SSL_CONN_EOF ||
            rc == MBEDTLS_ERR_NET_CONN_RESET) {
            c->peer_closed = true;
            prt(LOG_DEBUG_LEVEL, "ssl recv error: code = %d, err_str = '%s'", rc,
                err_text(rc).c_str());
            return got > 0 ? got : -2;
        }
        prt(LOG_ERR_LEVEL, "ssl recv error: code = %d, err_str = '%s'", rc, err_text(rc).c_str());
        return -1;
    }
    return got;
}

int HAL_SSL_Write(uintptr_t handle, const char* buf, int len, int timeout_ms) {
    if (!live(handle) || buf == nullptr || len < 0) {
        prt(LOG_ERR_LEVEL, "ssl write: paras err");
        return -1;
    }
    TlsConn* c = reinterpret_cast<TlsConn*>(handle);
    int64_t deadline = now_ms() + (timeout_ms > 0 ? timeout_ms : 0);
    int sent = 0;
    bool tried = false;
    while (sent < len) {
        int64_t left = deadline - now_ms();
        if (left <= 0) {
            if (tried) {
                break;
            }
            left = 1;
        }
        struct timeval tv = {static_cast<time_t>(left / 1000),
                             static_cast<suseconds_t>((left % 1000) * 1000)};
        setsockopt(c->fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
        int rc = mbedtls_ssl_write(&c->ssl, reinterpret_cast<const unsigned char*>(buf) + sent,
                                   static_cast<size_t>(len - sent));
        tried = true;
        if (rc > 0) {
            sent += rc;
            continue;
        }
        if (rc == MBEDTLS_ERR_SSL_WANT_WRITE || rc == MBEDTLS_ERR_SSL_WANT_READ) {
            continue;
        }
        prt(LOG_ERR_LEVEL, "ssl write error: code = %d, err_str = '%s'", rc, err_text(rc).c_str());
        return -1;
    }
    return sent;
}

int HAL_SSL_WaitReadable(uintptr_t handle, void* waker, int timeout_ms) {
    if (!live(handle)) {
        prt(LOG_ERR_LEVEL, "ssl wait: unknown handle");
        return -1;
    }
    TlsConn* c = reinterpret_cast<TlsConn*>(handle);
    // Decrypted bytes already taken off the socket, or a close already seen,
    // would never wake poll.
    if (mbedtls_ssl_get_bytes_avail(&c->ssl) > 0 || c->peer_closed)
        return 1;
    struct pollfd p[2] = {{c->fd, POLLIN, 0}, {tether_port::waker_fd(waker), POLLIN, 0}};
    int n = poll(p, waker ? 2 : 1, timeout_ms < 0 ? -1 : timeout_ms);
    if (n <= 0)
        return 0;
    if (waker && (p[1].revents & POLLIN)) {
        uint64_t count = 0;
        ssize_t r = read(p[1].fd, &count, sizeof(count));
        (void)r;
    }
    return (p[0].revents & (POLLIN | POLLHUP | POLLERR)) ? 1 : 0;
}

int32_t HAL_SSL_Destroy(uintptr_t handle) {
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (g_live.erase(handle) == 0) {
            prt(LOG_ERR_LEVEL, "ssl destroy: unknown handle");
            return -1;
        }
    }
    TlsConn* c = reinterpret_cast<TlsConn*>(handle);
    struct timeval tv = {1, 0};
    setsockopt(c->fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    mbedtls_ssl_close_notify(&c->ssl);
    conn_free(c);
    return 0;
}
