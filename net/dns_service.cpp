#include "net/dns_service.h"

#include <sys/random.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "core/logger.h"
#include "core/time.h"
#include "net/net_engine.h"
#include "net/net_socket_handler.h"
#include "net/net_transmission.h"
#include "proto/dns.h"

namespace kestrel {

namespace {

std::mutex g_config_mutex;
std::string g_resolv_path = "/etc/resolv.conf";
unsigned short g_server_port = 53;

// Used only when the resolver file names no usable server.
const char* const kFallbackServers[] = {"8.8.8.8", "1.1.1.1", "9.9.9.9"};

uint64_t now_ms() {
    return Time::GetSystemTimeInt(0);
}

uint16_t random_id() {
    uint16_t id = 0;
    if (getrandom(&id, sizeof(id), GRND_NONBLOCK) != static_cast<ssize_t>(sizeof(id))) {
        // No entropy yet this early in boot: the clock still varies the id.
        id = static_cast<uint16_t>(now_ms() * 2654435761u >> 16);
    }
    return id;
}

}  // namespace

class DnsService::Cache {
  public:
    void Store(const std::string& host, const std::vector<std::string>& ips, uint32_t ttl_s) {
        if (ttl_s == 0 || ips.empty()) {
            return;
        }
        if (ttl_s > kMaxCacheSeconds) {
            ttl_s = kMaxCacheSeconds;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        entries_[host] = Entry{ips, now_ms() + ttl_s * 1000ull};
    }
    bool Lookup(const std::string& host, std::string* ip) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = entries_.find(host);
        if (it == entries_.end()) {
            return false;
        }
        if (it->second.expires_ms <= now_ms()) {
            entries_.erase(it);
            return false;
        }
        *ip = it->second.ips[now_ms() % it->second.ips.size()];
        return true;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.clear();
    }

  private:
    struct Entry {
        std::vector<std::string> ips;
        uint64_t expires_ms;
    };
    std::mutex mutex_;
    std::map<std::string, Entry> entries_;
};

// One look-up in flight, on its own UDP socket.
class DnsProtocolProcess : public NetSocketHandler {
  public:
    DnsProtocolProcess(SharedPtr<DnsProtocolResult> result, const std::string& host,
                       unsigned short port, unsigned long timeout_ms,
                       SharedPtr<DnsService::Cache> cache)
        : result_(result),
          host_(host),
          port_(port),
          caller_timeout_(timeout_ms),
          deadline_(now_ms() + (timeout_ms ? timeout_ms : DnsService::kDefaultTimeoutMs)),
          id_(random_id()),
          cache_(cache) {}

    void Attach(SharedPtr<NetSocket> socket) {
        socket_ = socket;
        ready_ = true;
    }

    void OnConnect() override {
        int len = dns_build_query(host_, id_, query_, sizeof(query_));
        if (len <= 0) {
            KS_LOGE("dnsRequestConstruct failed, host = %s, ret = %d", host_.c_str(), len);
            finish(DNS_RESULT_BAD_QUERY, "");
            return;
        }
        query_len_ = static_cast<unsigned long>(len);
        sendQuery();
    }

    void OnDisConnect(NetSocketDisconnectResult reason) override {
        if (!done_) {
            KS_LOGE("Dns query for %s ended without an answer, reason = %d", host_.c_str(),
                    static_cast<int>(reason));
            deliver(DNS_RESULT_NO_ANSWER, "");
        }
    }

    long OnData(const char* data, unsigned long len) override {
        if (done_) {
            return static_cast<long>(len);
        }
        std::vector<uint32_t> addrs;
        uint32_t ttl = 0;
        size_t used = 0;
        int ret = dns_parse_answer(reinterpret_cast<const uint8_t*>(data), len, id_, host_, &addrs,
                                   &ttl, &used);
        if (ret == DNS_NOT_ANSWER) {
            // Not ours (another id or question): a late or forged datagram
            // must not end the look-up.
            KS_LOGW("Dns datagram for %s ignored: not the answer to our query, len = %lu",
                    host_.c_str(), len);
            return static_cast<long>(len);
        }
        if (ret != DNS_OK) {
            KS_LOGE("Dns answer for %s refused, ret = %d, at byte %zu of %lu", host_.c_str(), ret,
                    used, len);
            finish(DNS_RESULT_NO_ADDRESS, "");
            return static_cast<long>(len);
        }
        std::vector<std::string> ips;
        for (uint32_t a : addrs) {
            ips.push_back(dns_ipv4_text(a));
        }
        cache_->Store(host_, ips, ttl);
        std::string ip = ips[now_ms() % ips.size()];
        KS_LOGV("DnsProtocolProcess IP: %s port:%d", ip.c_str(), port_);
        finish(DNS_RESULT_OK, ip);
        return static_cast<long>(len);
    }

    long OnWrite() override { return 0; }

    void OnTimer() override {
        if (done_) {
            return;
        }
        if (now_ms() >= deadline_) {
            KS_LOGE("Dns query for %s timed out", host_.c_str());
            finish(DNS_RESULT_NO_ANSWER, "");
            return;
        }
        KS_LOGD("Dns query for %s unanswered, sending again", host_.c_str());
        sendQuery();
    }

  private:
    void sendQuery() {
        SharedPtr<NetSocket> socket = socket_.Lock();
        if (!socket) {
            KS_LOGE("Socket not exist");
            return;
        }
        if (socket->Send(reinterpret_cast<const char*>(query_), query_len_) < 0) {
            KS_LOGE("Dns query for %s could not be queued", host_.c_str());
        }
        uint64_t now = now_ms();
        unsigned long left = deadline_ > now ? static_cast<unsigned long>(deadline_ - now) : 0;
        socket->SetTimer(left < DnsService::kRetryMs ? (left ? left : 1) : DnsService::kRetryMs);
    }

    void finish(int code, const std::string& ip) {
        deliver(code, ip);
        SharedPtr<NetSocket> socket = socket_.Lock();
        if (socket) {
            socket->Close();
        }
    }

    void deliver(int code, const std::string& ip) {
        done_ = true;
        if (!result_) {
            return;
        }
        unsigned long left = 0;
        if (code == DNS_RESULT_OK && caller_timeout_ != 0) {
            uint64_t now = now_ms();
            left = deadline_ > now + 1000 ? static_cast<unsigned long>(deadline_ - now) : 1000;
        }
        SharedPtr<DnsProtocolResult> result = result_;
        result_ = SharedPtr<DnsProtocolResult>();
        result->OnResult(code, code == DNS_RESULT_OK ? ip : "", code == DNS_RESULT_OK ? port_ : 0,
                         left);
    }

    SharedPtr<DnsProtocolResult> result_;
    std::string host_;
    unsigned short port_;
    unsigned long caller_timeout_;
    uint64_t deadline_;
    uint16_t id_;
    SharedPtr<DnsService::Cache> cache_;
    WeakPtr<NetSocket> socket_;
    bool ready_ = false;
    bool done_ = false;
    uint8_t query_[kDnsMaxMessage];
    unsigned long query_len_ = 0;
};

DnsService::DnsService() = default;
DnsService::~DnsService() = default;

void DnsService::SetResolvConfPath(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_config_mutex);
    g_resolv_path = path;
}

void DnsService::SetServerPort(unsigned short port) {
    std::lock_guard<std::mutex> lock(g_config_mutex);
    g_server_port = port ? port : 53;
}

int DnsService::Start() {
    std::string path;
    unsigned short port;
    {
        std::lock_guard<std::mutex> lock(g_config_mutex);
        path = g_resolv_path;
        port = g_server_port;
    }
    std::vector<std::string> servers;
    std::ifstream file(path);
    if (!file) {
        KS_LOGW("No resolv.conf file, path = %s", path.c_str());
    }
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream tokens(line);
        std::string key, value;
        if (!(tokens >> key >> value) || key != "nameserver") {
            continue;
        }
        if (!NetSocketCommon::IpValid(value)) {
            // IPv6 and scoped resolvers: this resolver speaks IPv4 only.
            KS_LOGD("Name server %s skipped: not an IPv4 address", value.c_str());
            continue;
        }
        servers.push_back(value);
    }
    if (servers.empty()) {
        for (const char* s : kFallbackServers) {
            servers.push_back(s);
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    servers_ = servers;
    server_port_ = port;
    if (!cache_) {
        cache_ = SharedPtr<Cache>(new Cache);
    }
    started_ = true;
    return 0;
}

void DnsService::Stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    started_ = false;
    if (cache_) {
        cache_->Clear();
    }
}

bool DnsService::IsStarted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return started_;
}

std::vector<std::string> DnsService::Servers() {
    std::lock_guard<std::mutex> lock(mutex_);
    return servers_;
}

void DnsService::CacheClear() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cache_) {
        cache_->Clear();
    }
}

void DnsService::GetAddrInfo(const std::string& host, unsigned short port, unsigned long timeout_ms,
                             SharedPtr<NetEngine> engine, SharedPtr<DnsProtocolResult> result) {
    std::string server;
    unsigned short server_port;
    SharedPtr<Cache> cache;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!started_ || servers_.empty()) {
            KS_LOGE("Service is not started");
            return;
        }
        server = servers_[(now_ms() + rotate_++) % servers_.size()];
        server_port = server_port_;
        cache = cache_;
    }
    std::string ip;
    if (cache->Lookup(host, &ip)) {
        KS_LOGV("Dns cache hit, %s = %s", host.c_str(), ip.c_str());
        result->OnResult(DNS_RESULT_OK, ip, port, timeout_ms ? timeout_ms : 0);
        return;
    }
    if (!engine) {
        KS_LOGE("Dns query for %s without an engine", host.c_str());
        result->OnResult(DNS_RESULT_NO_ANSWER, "", 0, 0);
        return;
    }
    SharedPtr<DnsProtocolProcess> process(
        new DnsProtocolProcess(result, host, port, timeout_ms, cache));
    SharedPtr<NetSocket> socket(new NetTransmission(process));
    socket->SetConnectProtocol(1);
    socket->SetLogInfo("[Dns:" + host + "]");
    socket->SetRemoteIp(server, server_port);
    process->Attach(socket);
    socket->Connect(0);  // the look-up bounds itself with its retry timer
    if (engine->Add(socket) == 0) {
        KS_LOGE("Dns query for %s refused by the engine", host.c_str());
        result->OnResult(DNS_RESULT_NO_ANSWER, "", 0, 0);
    }
}

}  // namespace kestrel
