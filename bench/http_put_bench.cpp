// HTTPS PUT of 8 MiB to a local server: the SDK's HTTP client (new connection,
// handshake and upload pulled through OnWrite) against curl -T doing the same
// in its own process. Wall time is each upload from connect to the server's
// answer; cpu_s is the CPU spent per upload by this process (engine thread
// included) or by the curl child.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>

#include "core/logger.h"
#include "http_peer.h"
#include "net/http_client.h"
#include "net/net_connector.h"

extern char** environ;

namespace {

constexpr size_t kSize = 8 * 1024 * 1024;
constexpr size_t kQueue = 1024 * 1024;

struct Env {
    http_test::HttpPeer peer;
    std::string body = http_test::Pattern(kSize);
    std::string file = "/tmp/kestrel_http_put_bench.bin";
    bool ok = false;
    Env() {
        kestrel::logger_set_level(kestrel::KS_LOG_WARN);
        if (!peer.Start()) {
            fprintf(stderr, "peer: %s\n", peer.error.c_str());
            return;
        }
        std::ofstream(file, std::ios::binary) << body;
        ok = kestrel::NetConnector::Start() == 0;
    }
    ~Env() {
        kestrel::NetConnector::Stop();
        remove(file.c_str());
    }
};

Env& env() {
    static Env e;
    return e;
}

double CpuSeconds(int who) {
    struct rusage ru;
    getrusage(who, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Sends the head once connected and keeps the socket's queue topped up.
class Upload : public kestrel::HttpClientHandler {
  public:
    kestrel::HttpClient* client = nullptr;
    const std::string* body = nullptr;
    size_t piece = 0;  // bytes handed over per SendContent

    void OnConnect() override {
        kestrel::HttpRequestConstruct req;
        req.SetRequestLine(kestrel::HttpProtocolAssistant::METHOD_PUT, "/sink",
                           kestrel::HttpProtocolAssistant::VERSION_1_1);
        req.SetHost("127.0.0.1");
        req.SetContentLength(body->size());
        client->SendRequest(req);
        Feed();
    }
    void OnHeader(const kestrel::HttpResponseParse& head) override {
        code_ = head.GetStatusCode();
        left_ = head.GetContentLen();
        if (left_ == 0) {
            Finish();
        }
    }
    void OnBody(const char*, size_t len) override {
        left_ -= len;
        if (left_ == 0) {
            Finish();
        }
    }
    void OnWrite() override { Feed(); }
    void OnDisconnect() override { Finish(); }

    // The status code, or 0 when the connection ended (or stalled) without an answer.
    int Wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        bool done = cv_.wait_for(lock, std::chrono::seconds(30), [this] { return done_; });
        return done ? code_ : 0;
    }

  private:
    void Feed() {
        while (sent_ < body->size()) {
            long pending = client->Pending();
            size_t n = std::min(piece, body->size() - sent_);
            if (pending < 0 || static_cast<size_t>(pending) + n > kQueue ||
                client->SendContent(body->data() + sent_, n) < 0) {
                return;
            }
            sent_ += n;
        }
    }
    void Finish() {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
        cv_.notify_all();
    }
    size_t sent_ = 0;
    uint64_t left_ = 0;
    int code_ = 0;
    bool done_ = false;
    std::mutex mutex_;
    std::condition_variable cv_;
};

void BM_KestrelPut(benchmark::State& state) {
    Env& e = env();
    if (!e.ok) {
        state.SkipWithError("no peer");
        return;
    }
    double cpu = 0;
    for (auto _ : state) {
        double cpu0 = CpuSeconds(RUSAGE_SELF);
        auto t0 = std::chrono::steady_clock::now();
        kestrel::SharedPtr<Upload> up(new Upload);
        up->body = &e.body;
        up->piece = static_cast<size_t>(state.range(0)) * 1024;
        bool tls = state.range(1) != 0;
        auto client = kestrel::HttpClient::Create(up, tls ? e.peer.ca.c_str() : nullptr,
                                                  tls ? e.peer.ca.size() : 0);
        up->client = client.get();
        client->ConnectAddr("127.0.0.1", tls ? e.peer.tls_port : e.peer.plain_port, 5000);
        int code = up->Wait();
        client->Close();
        auto t1 = std::chrono::steady_clock::now();
        cpu += CpuSeconds(RUSAGE_SELF) - cpu0;
        if (code != 200) {
            state.SkipWithError("upload failed");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
    state.counters["cpu_s"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
}

void BM_CurlPut(benchmark::State& state) {
    Env& e = env();
    if (!e.ok) {
        state.SkipWithError("no peer");
        return;
    }
    bool tls = state.range(0) != 0;
    std::string url = (tls ? "https://127.0.0.1:" : "http://127.0.0.1:") +
                      std::to_string(tls ? e.peer.tls_port : e.peer.plain_port) + "/sink";
    std::vector<std::string> args = {"curl",         "-sf", "-o",   "/dev/null", "--cacert",
                                     e.peer.ca_file, "-T",  e.file, url};
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);
    double cpu = 0;
    for (auto _ : state) {
        double cpu0 = CpuSeconds(RUSAGE_CHILDREN);
        auto t0 = std::chrono::steady_clock::now();
        pid_t pid = -1;
        int status = -1;
        if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0 ||
            waitpid(pid, &status, 0) != pid || status != 0) {
            state.SkipWithError("curl failed");
            return;
        }
        auto t1 = std::chrono::steady_clock::now();
        cpu += CpuSeconds(RUSAGE_CHILDREN) - cpu0;
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
    state.counters["cpu_s"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
}

// Arguments: KiB per SendContent (the socket's queue takes up to 1 MiB), TLS.
// The plain runs show what the HTTP layer itself costs, apart from TLS.
BENCHMARK(BM_KestrelPut)
    ->ArgNames({"piece_kib", "tls"})
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond)
    ->Args({64, 1})
    ->Args({256, 1})
    ->Args({512, 1})
    ->Args({256, 0});
BENCHMARK(BM_CurlPut)
    ->ArgNames({"tls"})
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond)
    ->Arg(1)
    ->Arg(0);

}  // namespace
