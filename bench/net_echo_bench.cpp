// The connector's echo round trip on loopback beside a plain blocking socket
// (what an application would write by hand), and what 200 open, idle
// connections cost the engine.
//   build/bench/net_echo_bench
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "net/net_connector.h"
#include "net/net_engine.h"

using namespace kestrel;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRounds = 2000;
constexpr size_t kMsg = 64;

// Echoes every byte back, one thread per accepted connection.
class EchoServer {
  public:
    EchoServer() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        listen(fd_, 512);
        socklen_t len = sizeof(a);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] {
            for (;;) {
                int c = accept(fd_, nullptr, nullptr);
                if (c < 0)
                    return;
                int on = 1;
                setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
                std::thread([c] {
                    char buf[4096];
                    ssize_t n;
                    while ((n = read(c, buf, sizeof(buf))) > 0)
                        if (write(c, buf, n) != n)
                            break;
                    close(c);
                }).detach();
            }
        });
    }
    ~EchoServer() {
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        thread_.join();
    }
    uint16_t Port() const { return port_; }

  private:
    int fd_;
    uint16_t port_;
    std::thread thread_;
};

class EchoClient : public NetSocketHandler {
  public:
    void OnConnect() override {
        std::lock_guard<std::mutex> lk(mu_);
        connected_ = true;
        cv_.notify_all();
    }
    void OnDisConnect(NetSocketDisconnectResult) override {}
    long OnData(const char*, unsigned long len) override {
        std::lock_guard<std::mutex> lk(mu_);
        got_ += len;
        cv_.notify_all();
        return static_cast<long>(len);
    }
    long OnWrite() override { return 0; }
    bool WaitConnected() {
        std::unique_lock<std::mutex> lk(mu_);
        return cv_.wait_for(lk, std::chrono::seconds(5), [&] { return connected_; });
    }
    bool WaitBytes(size_t n) {
        std::unique_lock<std::mutex> lk(mu_);
        return cv_.wait_for(lk, std::chrono::seconds(5), [&] { return got_ >= n; });
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool connected_ = false;
    size_t got_ = 0;
};

void Percentiles(benchmark::State& state, std::vector<double>& us) {
    std::sort(us.begin(), us.end());
    state.counters["p50_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[us.size() * 99 / 100];
    state.counters["max_us"] = us.back();
}

void BM_ConnectorEchoRoundTrip(benchmark::State& state) {
    EchoServer server;
    NetConnector::Start();
    SharedPtr<EchoClient> client(new EchoClient);
    unsigned long id = NetConnector::Create(client, NET_PROTOCOL_TCP, nullptr, 0);
    NetConnector::Connect(id, "127.0.0.1", server.Port(), 3000);
    if (!client->WaitConnected()) {
        state.SkipWithError("no connection");
        NetConnector::Stop();
        return;
    }
    char msg[kMsg] = {};
    size_t expect = 0;
    std::vector<double> us;
    for (auto _ : state) {
        us.clear();
        for (int i = 0; i < kRounds; ++i) {
            auto t0 = Clock::now();
            NetConnector::Send(id, msg, kMsg);
            expect += kMsg;
            client->WaitBytes(expect);
            us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        }
    }
    Percentiles(state, us);
    NetConnector::Stop();
}
BENCHMARK(BM_ConnectorEchoRoundTrip)->Iterations(1)->Unit(benchmark::kMillisecond);

// Reference: the same exchange over a blocking socket, no engine in between.
void BM_BlockingSocketEchoRoundTrip(benchmark::State& state) {
    EchoServer server;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(server.Port());
    connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    char msg[kMsg] = {};
    std::vector<double> us;
    for (auto _ : state) {
        us.clear();
        for (int i = 0; i < kRounds; ++i) {
            auto t0 = Clock::now();
            if (write(fd, msg, kMsg) != static_cast<ssize_t>(kMsg))
                break;
            size_t got = 0;
            while (got < kMsg) {
                ssize_t n = read(fd, msg, kMsg - got);
                if (n <= 0)
                    break;
                got += static_cast<size_t>(n);
            }
            us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        }
    }
    Percentiles(state, us);
    close(fd);
}
BENCHMARK(BM_BlockingSocketEchoRoundTrip)->Iterations(1)->Unit(benchmark::kMillisecond);

double CpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// 200 connected sockets that say nothing for 2 s: the engine should sleep.
void BM_IdleConnections200(benchmark::State& state) {
    EchoServer server;
    NetConnector::Start();
    std::vector<SharedPtr<EchoClient>> clients;
    for (int i = 0; i < 200; ++i) {
        SharedPtr<EchoClient> c(new EchoClient);
        unsigned long id = NetConnector::Create(c, NET_PROTOCOL_TCP, nullptr, 0);
        NetConnector::Connect(id, "127.0.0.1", server.Port(), 3000);
        clients.push_back(c);
    }
    for (auto& c : clients)
        c->WaitConnected();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    double cpu0 = CpuSeconds();
    for (auto _ : state)
        std::this_thread::sleep_for(std::chrono::seconds(2));
    state.counters["cpu_percent"] = (CpuSeconds() - cpu0) / 2.0 * 100.0;
    NetConnector::Stop();
}
BENCHMARK(BM_IdleConnections200)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
