#include "net/net_connector.h"

#include <mutex>

#include "core/logger.h"
#include "net/dns_service.h"
#include "net/net_engine.h"
#include "net/net_tls.h"
#include "net/net_transmission.h"

namespace kestrel {

namespace {

std::mutex g_mutex;
bool g_init = false;
SharedPtr<NetEngine> g_engine;
SharedPtr<DnsService> g_dns;
unsigned long g_max_sockets = NetEngine::kDefaultMaxSockets;

SharedPtr<NetEngine> engine() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_engine;
}

bool query(unsigned long id, SharedPtr<NetSocket>& out) {
    SharedPtr<NetEngine> e = engine();
    return e && e->Query(id, out);
}

// Connects the socket waiting on a name once the name is resolved.
class NetConnectorDns : public DnsProtocolResult {
  public:
    explicit NetConnectorDns(unsigned long id) : id_(id) {}
    void OnResult(int code, const std::string& ip, unsigned short port,
                  unsigned long timeout_ms) override {
        SharedPtr<NetSocket> socket;
        if (!query(id_, socket)) {
            return;  // closed while its name was being looked up
        }
        if (code != DNS_RESULT_OK) {
            KS_LOGE("Dns parse failed, ret = %d \n", code);
            socket->Close();
            return;
        }
        socket->SetRemoteIp(ip, port);
        socket->Connect(timeout_ms);
    }

  private:
    unsigned long id_;
};

}  // namespace

int NetConnector::Start() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_init) {
        return 0;
    }
    SharedPtr<NetEngine> e(new NetEngine(g_max_sockets));
    if (e->Start() < 0) {
        KS_LOGE("Network engine start failed");
        return -1;
    }
    SharedPtr<DnsService> dns(new DnsService);
    dns->Start();
    g_engine = e;
    g_dns = dns;
    g_init = true;
    return 0;
}

void NetConnector::Stop() {
    SharedPtr<NetEngine> e;
    SharedPtr<DnsService> dns;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!g_init) {
            return;
        }
        g_init = false;
        e = g_engine;
        dns = g_dns;
    }
    // Handlers told of their disconnect may call back into the connector,
    // so the lock is not held while the engine winds down.
    e->Stop(true);
    dns->Stop();
    std::lock_guard<std::mutex> lock(g_mutex);
    g_engine = SharedPtr<NetEngine>();
    g_dns = SharedPtr<DnsService>();
}

int NetConnector::SetMaxSockets(unsigned long n) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (n == 0 || n > NetEngine::kMaxSocketsLimit || g_init) {
        KS_LOGE("Socket limit %lu refused%s", n, g_init ? ", connector running" : "");
        return -1;
    }
    g_max_sockets = n;
    return 0;
}

unsigned long NetConnector::GetMaxSockets() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_max_sockets;
}

bool NetConnector::IsStarted() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_init;
}

unsigned long NetConnector::Create(SharedPtr<NetSocketHandler> handler, int protocol,
                                   const char* ca, unsigned long ca_len) {
    SharedPtr<NetEngine> e = engine();
    if (!e) {
        KS_LOGE("Connector is not started");
        return 0;
    }
    SharedPtr<NetSocket> socket;
    if (ca != nullptr && ca_len != 0) {
        NetTransmissionSecurity* tls = new NetTransmissionSecurity(handler);
        // A failed set-up still yields a socket: it closes with a socket
        // error on its first write step, so the handler hears of it.
        tls->Init(ca, ca_len);
        socket = SharedPtr<NetSocket>(tls);
    } else {
        socket = SharedPtr<NetSocket>(new NetTransmission(handler));
    }
    socket->SetConnectProtocol(protocol);
    return e->Add(socket);
}

void NetConnector::Connect(unsigned long id, const std::string& host, unsigned short port,
                           unsigned long timeout_ms) {
    SharedPtr<NetSocket> socket;
    if (!query(id, socket)) {
        KS_LOGE("Connect on an unknown socket, id = %lu", id);
        return;
    }
    socket->SetServerName(host);
    if (NetSocketCommon::IpValid(host)) {
        socket->SetRemoteIp(host, port);
        socket->Connect(timeout_ms);
        return;
    }
    SharedPtr<DnsService> dns;
    SharedPtr<NetEngine> e;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        dns = g_dns;
        e = g_engine;
    }
    if (!dns || !dns->IsStarted()) {
        KS_LOGE("Dns parse failed, ret = %d \n", DNS_RESULT_NO_ANSWER);
        socket->Close();
        return;
    }
    dns->GetAddrInfo(host, port, timeout_ms, e,
                     SharedPtr<DnsProtocolResult>(new NetConnectorDns(id)));
}

long NetConnector::Send(unsigned long id, const char* data, unsigned long len) {
    SharedPtr<NetSocket> socket;
    if (!query(id, socket)) {
        return -1;
    }
    return socket->Send(data, len);
}

long NetConnector::Pending(unsigned long id) {
    SharedPtr<NetSocket> socket;
    if (!query(id, socket)) {
        return -1;
    }
    return socket->Pending();
}

void NetConnector::Close(unsigned long id) {
    SharedPtr<NetSocket> socket;
    if (query(id, socket)) {
        socket->Close();
    }
}

void NetConnector::SetLogInfo(unsigned long id, const std::string& info) {
    SharedPtr<NetSocket> socket;
    if (query(id, socket)) {
        socket->SetLogInfo(info);
    }
}

void NetConnector::SetKeepAlive(unsigned long id, int idle_s, int interval_s, int count) {
    SharedPtr<NetSocket> socket;
    if (query(id, socket)) {
        socket->SetKeepAlive(idle_s, interval_s, count);
    }
}

void NetConnector::RequestWrite(unsigned long id) {
    SharedPtr<NetSocket> socket;
    if (query(id, socket)) {
        socket->RequestWrite();
    }
}

void NetConnector::SetTimer(unsigned long id, unsigned long delay_ms) {
    SharedPtr<NetSocket> socket;
    if (query(id, socket)) {
        socket->SetTimer(delay_ms);
    }
}

void NetConnector::SetTrustAnchorOverride(const std::string& pem) {
    net_tls_set_anchor_override(pem);
}

SharedPtr<NetSocket> NetConnector::Find(unsigned long id) {
    SharedPtr<NetSocket> socket;
    query(id, socket);
    return socket;
}

unsigned long NetConnector::SocketCount() {
    SharedPtr<NetEngine> e = engine();
    return e ? e->GetSocketCount() : 0;
}

}  // namespace kestrel
