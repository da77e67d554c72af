// Real peers for the TLS and DNS tests, all on 127.0.0.1: a throwaway PKI made
// with the openssl CLI, an `openssl s_server` echo peer and a tiny UDP DNS
// responder.
#ifndef TESTS_CLOUDLINK_PORT_PEERS_H
#define TESTS_CLOUDLINK_PORT_PEERS_H

#include <stdint.h>
#include <sys/types.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace port_test {

// A port that was free a moment ago (bound to 0 and released).
int free_port(int type);

// Throwaway CA, a second unrelated CA and a server certificate for the names
// "device.test" and "localhost", signed by the first CA.
struct Pki {
    std::string dir;
    std::string ca_pem, wrong_ca_pem;     // file paths
    std::string server_cert, server_key;  // file paths
    // The same key certified for "other.test" and the addresses 10.9.8.7
    // and 127.0.0.1 (iPAddress subjectAltNames).
    std::string ip_server_cert;
    // The device's own certificate (signed by the first CA) and its key, and
    // a key that belongs to no certificate.
    std::string client_cert, client_key, stray_key;
    bool make(const std::string& in_dir);

  private:
    bool make_client();
};

// `openssl s_server -rev` (answers each line reversed) on 127.0.0.1.
class TlsEchoServer {
  public:
    ~TlsEchoServer() { stop(); }
    // require_client_cert: the peer asks for a client certificate and
    // refuses a handshake without one signed by the first CA.
    bool start(const Pki& pki, bool require_client_cert = false);
    void stop();
    uint16_t port() const { return port_; }

  private:
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

// Answers A queries from a table; a few names give broken answers on purpose.
class DnsResponder {
  public:
    ~DnsResponder() { stop(); }
    bool start();
    void stop();
    // Call before start().
    void add(const std::string& name, std::vector<std::string> ipv4) { table_[name] = ipv4; }
    std::string address() const;  // "127.0.0.1:<port>"
    int queries() const { return queries_.load(); }

  private:
    void loop();
    std::string answer(const unsigned char* q, int len);
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> queries_{0};
    std::map<std::string, std::vector<std::string>> table_;
    std::thread thread_;
};

}  // namespace port_test

#endif  // TESTS_CLOUDLINK_PORT_PEERS_H
