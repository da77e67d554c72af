// Real peers for the connector tests, all on 127.0.0.1: a throwaway PKI made
// with the openssl CLI (including an expired certificate), openssl s_server,
// dnsmasq, and a scripted UDP name server for what no real server does.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace net_test {

int FreePort(int type);
std::string MakeTempDir(const std::string& tag);
bool Run(const std::string& cmd);
std::string ReadFile(const std::string& path);

// A child process with its output in a log file; stopped on destruction.
class Process {
  public:
    ~Process() { Stop(); }
    bool Start(const std::vector<std::string>& argv, const std::string& log);
    void Stop();
    bool Alive();

  private:
    pid_t pid_ = -1;
};

// CA and a second, unrelated CA; server certificates signed by the first:
// "device.test" (valid), "wrong.test" (valid, another name), "device.test"
// expired since 2020, "wrong.test" with the address 10.9.8.7 and one with
// 127.0.0.1 (iPAddress subjectAltNames).
struct Pki {
    std::string dir, ca, wrong_ca;
    std::string device_cert, device_key, wrong_cert, wrong_key, expired_cert, expired_key;
    std::string other_ip_cert, other_ip_key, loopback_ip_cert, loopback_ip_key;
    bool Make(const std::string& dir);
};

// openssl s_server answering each line reversed. It presents `cert`, or
// `sni_cert` to a client that names `sni_name`.
class TlsServer {
  public:
    bool Start(const std::string& cert, const std::string& key, const std::string& log,
               const std::string& sni_name = "", const std::string& sni_cert = "",
               const std::string& sni_key = "", const std::vector<std::string>& extra = {});
    uint16_t Port() const { return port_; }

  private:
    Process proc_;
    uint16_t port_ = 0;
};

// dnsmasq with a fixed table and nothing upstream; every other ".test" name
// is NXDOMAIN.
class Dnsmasq {
  public:
    bool Start(const std::string& dir, const std::vector<std::string>& options);
    void Stop() { proc_.Stop(); }
    uint16_t Port() const { return port_; }

  private:
    Process proc_;
    uint16_t port_ = 0;
};

// A name server that misbehaves on purpose.
class ScriptedDns {
  public:
    enum Mode {
        kAnswer,        // answers every name with the address
        kSilent,        // reads queries, never answers
        kWrongIdFirst,  // answers with another id, then correctly
        kTruncated,     // answers cut in the middle of the record
        kLoseFirst,     // ignores the first query, answers the second
    };
    ~ScriptedDns() { Stop(); }
    bool Start(Mode mode, const std::string& addr);
    void Stop();
    uint16_t Port() const { return port_; }
    int Queries() const { return queries_.load(); }

  private:
    void Loop();
    int fd_ = -1;
    uint16_t port_ = 0;
    Mode mode_ = kSilent;
    uint8_t addr_[4] = {0, 0, 0, 0};
    std::atomic<bool> stop_{false};
    std::atomic<int> queries_{0};
    std::thread thread_;
};

}  // namespace net_test
