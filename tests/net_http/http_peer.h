// The HTTP client's real peer for tests and the benchmark: a throwaway CA
// with a server certificate for 127.0.0.1 and localhost, and
// http_test_server.py serving plain and TLS on loopback ports it picks itself.
#pragma once

#include <sys/types.h>

#include <string>

namespace http_test {

class HttpPeer {
  public:
    ~HttpPeer() { Stop(); }
    // False with error set when openssl or the server cannot be started.
    bool Start();
    void Stop();

    unsigned short plain_port = 0;
    unsigned short tls_port = 0;
    std::string ca;       // PEM text of the CA
    std::string ca_file;  // and its path, for other clients
    std::string error;

  private:
    bool Run(const std::string& cmd);
    bool MakePki();
    bool Spawn();
    std::string dir_;
    pid_t pid_ = -1;
};

// Byte i of the server's /bytes/N body.
std::string Pattern(size_t n);

}  // namespace http_test
