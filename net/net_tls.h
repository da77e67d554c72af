// TLS client transport over mbedTLS. mbedTLS reads and writes two in-memory
// ciphertext queues rather than the descriptor, so the engine keeps doing all
// descriptor I/O and every mbedTLS call stays on the engine thread.
#pragma once

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include <string>

#include "core/auto_grow_buffer.h"
#include "core/shared_ptr.h"
#include "net/net_socket.h"
#include "net/net_socket_handler.h"

namespace kestrel {

class NetTransmissionSecurity : public NetSocket {
  public:
    explicit NetTransmissionSecurity(SharedPtr<NetSocketHandler> handler);
    ~NetTransmissionSecurity() override;

    // 0, or -1 (random generator), -2 (trust anchor or configuration), -3 (set-up).
    int Init(const char* ca, unsigned long ca_len);

    long Send(const char* data, unsigned long len) override;
    long Pending() override;
    void OnConnect() override;
    void OnDisConnect(NetSocketDisconnectResult reason) override;
    long OnRead(const char* data, unsigned long len, bool last) override;
    long OnWrite() override;
    bool WantsWrite() override;
    void OnTimer() override;
    // Host names are sent as SNI and checked against the certificate; an IP
    // literal must be one of the certificate's iPAddress subjectAltNames.
    void SetServerName(const std::string& name) override;

  private:
    static int bioSend(void* ctx, const unsigned char* buf, size_t len);
    static int bioRecv(void* ctx, unsigned char* buf, size_t len);
    static long writeOut(void* self, const char* data, unsigned long len);
    static long deliver(void* self, const char* data, unsigned long len);
    static long encrypt(void* self, const char* data, unsigned long len);
    static long takeCipher(void* self, const char* data, unsigned long len);
    static int verifyPeer(void* self, mbedtls_x509_crt* crt, int depth, uint32_t* flags);
    // 0 done, 1 in progress, -1 failed.
    int handshake();
    long topUpCipher();

    static constexpr unsigned long kCipherSlice = 64 * 1024;
    static constexpr unsigned long kPullLowWater = 256 * 1024;
    void freeTls();

    SharedPtr<NetSocketHandler> handler_;
    bool initialised_ = false;
    bool handshake_started_ = false;
    bool handshake_done_ = false;
    mbedtls_ssl_context ssl_;
    mbedtls_ssl_config conf_;
    mbedtls_x509_crt ca_;
    mbedtls_entropy_context entropy_;
    mbedtls_ctr_drbg_context drbg_;
    AutoGrowBuffer cipher_out_;
    AutoGrowBuffer cipher_in_;
    AutoGrowBuffer plain_in_;
    AutoGrowBuffer plain_out_;
    // mbedTLS asks for exact byte counts; bioRecv fills this from cipher_in_.
    unsigned char* recv_target_ = nullptr;
    size_t recv_want_ = 0;
    // The endpoint's address when it is an IP literal (ip_len_ 4 or 16).
    unsigned char ip_[16] = {};
    size_t ip_len_ = 0;
    char scratch_[16384];
};

// The PEM that replaces every caller's trust anchor while set (empty: none).
void net_tls_set_anchor_override(const std::string& pem);

}  // namespace kestrel
