// The SDK's own IPv4 resolver: one query over UDP through the network engine
// to a name server of the resolver file, retransmitted until the caller's
// time-out, with a small cache that honours the answer's TTL.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "core/shared_ptr.h"

namespace kestrel {

class NetEngine;

enum DnsResultCode {
    DNS_RESULT_OK = 0,
    DNS_RESULT_NO_ADDRESS = -1,  // an answer came, with no usable address
    DNS_RESULT_BAD_QUERY = -2,   // the name cannot be asked for
    DNS_RESULT_NO_ANSWER = -3,   // no answer before the time-out, or the socket failed
};

class DnsProtocolResult {
  public:
    virtual ~DnsProtocolResult() = default;
    // On the engine thread (or on the asking thread for a cached name).
    // timeout_ms: what is left of the caller's time-out, at least 1000 ms;
    // 0 when the caller gave none.
    virtual void OnResult(int code, const std::string& ip, unsigned short port,
                          unsigned long timeout_ms) = 0;
};

class DnsService {
  public:
    // A look-up with no time-out of its own still ends after this long.
    static constexpr unsigned long kDefaultTimeoutMs = 5000;
    // A lost datagram is sent again after this long.
    static constexpr unsigned long kRetryMs = 1000;
    // Cached answers live at most this long whatever their TTL.
    static constexpr uint32_t kMaxCacheSeconds = 300;

    // Where Start() reads the name servers from ("/etc/resolv.conf"), and the
    // port it asks them on (53). Tests point these at a local server; they
    // take effect at the next Start().
    static void SetResolvConfPath(const std::string& path);
    static void SetServerPort(unsigned short port);

    DnsService();
    ~DnsService();
    DnsService(const DnsService&) = delete;
    DnsService& operator=(const DnsService&) = delete;

    int Start();
    void Stop();
    bool IsStarted();
    std::vector<std::string> Servers();

    void GetAddrInfo(const std::string& host, unsigned short port, unsigned long timeout_ms,
                     SharedPtr<NetEngine> engine, SharedPtr<DnsProtocolResult> result);

    void CacheClear();

    class Cache;

  private:
    std::mutex mutex_;
    bool started_ = false;
    std::vector<std::string> servers_;
    unsigned short server_port_ = 53;
    SharedPtr<Cache> cache_;
    uint64_t rotate_ = 0;
};

}  // namespace kestrel
