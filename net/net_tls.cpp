#include "net/net_tls.h"

#include <mbedtls/error.h>

#include <cstring>
#include <algorithm>
#include <cassert>
#include <mutex>
#include <vector>

#include "core/logger.h"
#include "net/x509_ip_san.h"

namespace kestrel {

namespace {

std::mutex g_anchor_mutex;
std::string g_anchor_override;

std::string anchor_override() {
    std::lock_guard<std::mutex> lock(g_anchor_mutex);
    return g_anchor_override;
}

// AES-128-GCM first (AES-NI and ten rounds make it mbedTLS's cheapest
// record protection here), then ChaCha20, then mbedTLS's own order; uploads
// of large pictures and segments are bound by this cost.
const int* preferred_ciphersuites() {
    static const std::vector<int> list = [] {
        std::vector<int> out;
        for (const char* name : {"TLS-ECDHE-ECDSA-WITH-AES-128-GCM-SHA256",
                                 "TLS-ECDHE-RSA-WITH-AES-128-GCM-SHA256",
                                 "TLS-ECDHE-ECDSA-WITH-CHACHA20-POLY1305-SHA256",
                                 "TLS-ECDHE-RSA-WITH-CHACHA20-POLY1305-SHA256"}) {
            int id = mbedtls_ssl_get_ciphersuite_id(name);
            if (id != 0) {
                out.push_back(id);
            }
        }
        for (const int* p = mbedtls_ssl_list_ciphersuites(); *p != 0; ++p) {
            if (std::find(out.begin(), out.end(), *p) == out.end()) {
                out.push_back(*p);
            }
        }
        out.push_back(0);
        return out;
    }();
    return list.data();
}

}  // namespace

void net_tls_set_anchor_override(const std::string& pem) {
    std::lock_guard<std::mutex> lock(g_anchor_mutex);
    g_anchor_override = pem;
}

NetTransmissionSecurity::NetTransmissionSecurity(SharedPtr<NetSocketHandler> handler)
    : handler_(handler),
      cipher_out_(16384, true),
      cipher_in_(16384, true),
      plain_in_(16384, true),
      plain_out_(16384, true) {}

NetTransmissionSecurity::~NetTransmissionSecurity() {
    freeTls();
}

void NetTransmissionSecurity::freeTls() {
    if (!initialised_) {
        return;
    }
    mbedtls_ssl_free(&ssl_);
    mbedtls_ssl_config_free(&conf_);
    mbedtls_x509_crt_free(&ca_);
    mbedtls_ctr_drbg_free(&drbg_);
    mbedtls_entropy_free(&entropy_);
    initialised_ = false;
}

int NetTransmissionSecurity::Init(const char* ca, unsigned long ca_len) {
    if (initialised_) {
        KS_LOGD("Already init");
        return 0;
    }
    mbedtls_ssl_init(&ssl_);
    mbedtls_ssl_config_init(&conf_);
    mbedtls_x509_crt_init(&ca_);
    mbedtls_ctr_drbg_init(&drbg_);
    mbedtls_entropy_init(&entropy_);
    initialised_ = true;  // from here freeTls() releases what was set up

    int ret = mbedtls_ctr_drbg_seed(&drbg_, mbedtls_entropy_func, &entropy_, nullptr, 0);
    if (ret != 0) {
        KS_LOGE("mbedtls_ctr_drbg_seed returned -0x%x", static_cast<unsigned>(-ret));
        freeTls();
        return -1;
    }
    // The parser wants NUL-terminated PEM; a copy guarantees the terminator
    // instead of reading one byte past the caller's buffer.
    std::string anchor = anchor_override();
    if (anchor.empty() && ca != nullptr) {
        anchor.assign(ca, strnlen(ca, ca_len));
    }
    ret = mbedtls_x509_crt_parse(&ca_, reinterpret_cast<const unsigned char*>(anchor.c_str()),
                                 anchor.size() + 1);
    if (ret != 0) {
        KS_LOGE("mbedtls_x509_crt_parse returned -0x%x", static_cast<unsigned>(-ret));
        freeTls();
        return -1;
    }
    ret = mbedtls_ssl_config_defaults(&conf_, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                      MBEDTLS_SSL_PRESET_DEFAULT);
    if (ret != 0) {
        KS_LOGE("mbedtls_ssl_config_defaults returned -0x%x", static_cast<unsigned>(-ret));
        freeTls();
        return -2;
    }
    // Uploads carry signed requests: a peer that cannot prove it holds a
    // certificate from our anchor (and, for names, that name) gets nothing.
    mbedtls_ssl_conf_authmode(&conf_, MBEDTLS_SSL_VERIFY_REQUIRED);
    mbedtls_ssl_conf_ca_chain(&conf_, &ca_, nullptr);
    mbedtls_ssl_conf_verify(&conf_, &NetTransmissionSecurity::verifyPeer, this);
    mbedtls_ssl_conf_ciphersuites(&conf_, preferred_ciphersuites());
    mbedtls_ssl_conf_rng(&conf_, mbedtls_ctr_drbg_random, &drbg_);
    ret = mbedtls_ssl_setup(&ssl_, &conf_);
    if (ret != 0) {
        KS_LOGE("mbedtls_ssl_setup returned -0x%x", static_cast<unsigned>(-ret));
        freeTls();
        return -3;
    }
    mbedtls_ssl_set_bio(&ssl_, this, &NetTransmissionSecurity::bioSend,
                        &NetTransmissionSecurity::bioRecv, nullptr);
    KS_LOGV("Ssl setup success");
    return 0;
}

void NetTransmissionSecurity::SetServerName(const std::string& name) {
    if (!initialised_) {
        return;
    }
    ip_len_ = ip_literal_bytes(name, ip_);
    if (ip_len_ != 0 || NetSocketCommon::IpValid(name)) {
        return;  // no SNI for an address; verifyPeer checks it instead
    }
    int ret = mbedtls_ssl_set_hostname(&ssl_, name.c_str());
    if (ret != 0) {
        KS_LOGE("%s mbedtls_ssl_set_hostname returned -0x%x, host = %s", LogInfo().c_str(),
                static_cast<unsigned>(-ret), name.c_str());
    }
}

// mbedTLS matches DNS names only: for an address endpoint the leaf must name
// that address, else any certificate under the anchor would do.
int NetTransmissionSecurity::verifyPeer(void* self, mbedtls_x509_crt* crt, int depth,
                                        uint32_t* flags) {
    auto* t = static_cast<NetTransmissionSecurity*>(self);
    if (t == nullptr || depth != 0 || t->ip_len_ == 0) {
        return 0;
    }
    if (!x509_crt_names_ip(crt, t->ip_, t->ip_len_)) {
        KS_LOGE("%s Server certificate does not name the endpoint's address",
                t->LogInfo().c_str());
        *flags |= MBEDTLS_X509_BADCERT_CN_MISMATCH;
    }
    return 0;
}

int NetTransmissionSecurity::bioSend(void* ctx, const unsigned char* buf, size_t len) {
    // Init hands mbedTLS this socket as the context: never null.
    assert(ctx != nullptr);
    if (ctx == nullptr) {
        return MBEDTLS_ERR_SSL_INTERNAL_ERROR;
    }
    auto* self = static_cast<NetTransmissionSecurity*>(ctx);
    long ret = self->cipher_out_.AddTailData(reinterpret_cast<const char*>(buf), len);
    return ret < 0 ? MBEDTLS_ERR_SSL_WANT_WRITE : static_cast<int>(ret);
}

long NetTransmissionSecurity::takeCipher(void* self, const char* data, unsigned long len) {
    auto* t = static_cast<NetTransmissionSecurity*>(self);
    unsigned long n = len < t->recv_want_ ? len : t->recv_want_;
    memcpy(t->recv_target_, data, n);
    return static_cast<long>(n);
}

int NetTransmissionSecurity::bioRecv(void* ctx, unsigned char* buf, size_t len) {
    // Init hands mbedTLS this socket as the context: never null.
    assert(ctx != nullptr);
    if (ctx == nullptr) {
        return MBEDTLS_ERR_SSL_INTERNAL_ERROR;
    }
    auto* self = static_cast<NetTransmissionSecurity*>(ctx);
    if (self->cipher_in_.GetSize() == 0) {
        return MBEDTLS_ERR_SSL_WANT_READ;
    }
    self->recv_target_ = buf;
    self->recv_want_ = len;
    long n = self->cipher_in_.PopHeadData(&NetTransmissionSecurity::takeCipher, self);
    return n <= 0 ? MBEDTLS_ERR_SSL_WANT_READ : static_cast<int>(n);
}

long NetTransmissionSecurity::Send(const char* data, unsigned long len) {
    if (!initialised_) {
        return -1;
    }
    if (len == 0) {
        return 0;
    }
    long ret = plain_out_.AddTailData(data, len);
    if (ret < 0) {
        KS_LOGE("%s Send queue full, len = %lu, queued = %lu", LogInfo().c_str(), len,
                plain_out_.GetSize());
        return -1;
    }
    ring();
    return ret;
}

long NetTransmissionSecurity::Pending() {
    return static_cast<long>(plain_out_.GetSize() + cipher_out_.GetSize());
}

void NetTransmissionSecurity::OnConnect() {
    if (handler_) {
        handler_->OnConnect();
    }
}

void NetTransmissionSecurity::OnDisConnect(NetSocketDisconnectResult reason) {
    if (handler_) {
        handler_->OnDisConnect(reason);
    }
}

void NetTransmissionSecurity::OnTimer() {
    if (handler_) {
        handler_->OnTimer();
    }
}

int NetTransmissionSecurity::handshake() {
    if (handshake_done_) {
        return 0;
    }
    handshake_started_ = true;
    int ret = mbedtls_ssl_handshake(&ssl_);
    if (ret == MBEDTLS_ERR_SSL_WANT_READ || ret == MBEDTLS_ERR_SSL_WANT_WRITE) {
        return 1;
    }
    if (ret != 0) {
        KS_LOGE("%s mbedtls_ssl_handshake returned -0x%x", LogInfo().c_str(),
                static_cast<unsigned>(-ret));
        uint32_t flags = mbedtls_ssl_get_verify_result(&ssl_);
        if (flags != 0 && flags != static_cast<uint32_t>(-1)) {
            char info[512];
            mbedtls_x509_crt_verify_info(info, sizeof(info), "", flags);
            KS_LOGE("%s Server certificate refused: %s", LogInfo().c_str(), info);
        }
        return -1;
    }
    handshake_done_ = true;
    write_requested_ = true;  // the owner's first turn with a secure channel
    KS_LOGV("%s Handshake done, %s", LogInfo().c_str(), mbedtls_ssl_get_ciphersuite(&ssl_));
    return 0;
}

long NetTransmissionSecurity::deliver(void* self, const char* data, unsigned long len) {
    auto* t = static_cast<NetTransmissionSecurity*>(self);
    return t->handler_ ? t->handler_->OnData(data, len) : static_cast<long>(len);
}

long NetTransmissionSecurity::OnRead(const char* data, unsigned long len, bool last) {
    if (!initialised_) {
        return -1;
    }
    if (len > 0 && cipher_in_.AddTailData(data, len) < 0) {
        KS_LOGE("%s Receive queue full, len = %lu", LogInfo().c_str(), len);
        return -1;
    }
    if (!last) {
        return static_cast<long>(len);
    }
    int hs = handshake();
    if (hs < 0) {
        return -1;
    }
    if (hs > 0) {
        return static_cast<long>(len);
    }
    for (;;) {
        int n =
            mbedtls_ssl_read(&ssl_, reinterpret_cast<unsigned char*>(scratch_), sizeof(scratch_));
        if (n > 0) {
            if (plain_in_.AddTailData(scratch_, static_cast<unsigned long>(n)) < 0) {
                KS_LOGE("%s Plaintext queue full", LogInfo().c_str());
                return -1;
            }
            continue;
        }
        if (n == MBEDTLS_ERR_SSL_WANT_READ || n == MBEDTLS_ERR_SSL_WANT_WRITE) {
            break;
        }
        KS_LOGE("%s mbedtls_ssl_read returned -0x%x", LogInfo().c_str(), static_cast<unsigned>(-n));
        return -1;
    }
    if (plain_in_.GetSize() > 0 &&
        plain_in_.PopHeadData(&NetTransmissionSecurity::deliver, this) < 0) {
        return -1;
    }
    return static_cast<long>(len);
}

long NetTransmissionSecurity::encrypt(void* self, const char* data, unsigned long len) {
    auto* t = static_cast<NetTransmissionSecurity*>(self);
    int n = mbedtls_ssl_write(&t->ssl_, reinterpret_cast<const unsigned char*>(data), len);
    if (n == MBEDTLS_ERR_SSL_WANT_READ || n == MBEDTLS_ERR_SSL_WANT_WRITE) {
        return 0;
    }
    if (n < 0) {
        KS_LOGE("%s mbedtls_ssl_write returned -0x%x", t->LogInfo().c_str(),
                static_cast<unsigned>(-n));
    }
    return n;
}

long NetTransmissionSecurity::writeOut(void* self, const char* data, unsigned long len) {
    return static_cast<NetTransmissionSecurity*>(self)->privateSend(data, len);
}

long NetTransmissionSecurity::topUpCipher() {
    // Encrypt a slice at a time and write it, rather than all that is queued
    // first: the kernel starts sending while the next slice is encrypted.
    while (plain_out_.GetSize() > 0 && cipher_out_.GetSize() < kCipherSlice) {
        long n = plain_out_.PopHeadData(&NetTransmissionSecurity::encrypt, this);
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            break;
        }
    }
    return 0;
}

long NetTransmissionSecurity::OnWrite() {
    if (!initialised_) {
        return -1;
    }
    int hs = 0;
    if (!handshake_done_ && cipher_out_.GetSize() == 0) {
        hs = handshake();
        if (hs < 0) {
            return -1;
        }
    }
    if (handshake_done_) {
        // The owner pulls while what is queued runs low, so the socket never
        // waits for the owner's next piece.
        if (handler_ && writeRequested() && Pending() < static_cast<long>(kPullLowWater)) {
            takeWriteRequest();
            if (handler_->OnWrite() < 0) {
                return -1;
            }
        }
        if (topUpCipher() < 0) {
            return -1;
        }
    }
    if (cipher_out_.GetSize() == 0) {
        return 0;
    }
    long ret = cipher_out_.PopHeadData(&NetTransmissionSecurity::writeOut, this);
    if (ret > 0 && handshake_done_ && Pending() < static_cast<long>(kPullLowWater)) {
        write_requested_ = true;  // running low: the owner may pull more
    }
    return ret;
}

bool NetTransmissionSecurity::WantsWrite() {
    if (!initialised_) {
        return true;  // the first write step reports the failed set-up
    }
    if (cipher_out_.GetSize() > 0 || !handshake_started_) {
        return true;
    }
    return handshake_done_ && (plain_out_.GetSize() > 0 || writeRequested());
}

}  // namespace kestrel
