// Picture uploads of a 1 MiB JPEG over TLS to a local server, one new
// connection per picture as the device makes them: OneTimePutDirect through
// the upload pool (one at a time, and four at a time) against curl -T run once
// per picture. Each iteration is one upload, timed from queueing to its
// result; uploads_per_s and p50_ms / p99_ms summarise the run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "core/async_process.h"
#include "core/logger.h"
#include "http_peer.h"
#include "net/net_connector.h"
#include "sdk/picture/one_time_put.h"
#include "sdk/storage/kiv_ca.h"

namespace {

constexpr size_t kSize = 1024 * 1024;
using Clock = std::chrono::steady_clock;

struct Env {
    http_test::HttpPeer peer;
    std::string file = "/tmp/kestrel_picture_upload_bench.jpg";
    kestrel::SharedPtr<kestrel::SharedBuffer> picture;
    bool ok = false;
    Env() {
        kestrel::logger_set_level(kestrel::KS_LOG_ERROR);
        if (!peer.Start()) {
            fprintf(stderr, "peer: %s\n", peer.error.c_str());
            return;
        }
        std::string body = http_test::Pattern(kSize);
        body[0] = static_cast<char>(0xff);
        body[1] = static_cast<char>(0xd8);
        std::ofstream(file, std::ios::binary) << body;
        picture = kestrel::SharedBuffer::Copy(body.data(), body.size());
        kestrel::KivCa::SetExtraAnchor(peer.ca);
        ok = kestrel::NetConnector::Start() == 0;
    }
    ~Env() {
        kestrel::NetConnector::Stop();
        remove(file.c_str());
    }
    std::string Url() const {
        return "https://127.0.0.1:" + std::to_string(peer.tls_port) + "/sink";
    }
};

Env& env() {
    static Env e;
    return e;
}

struct Results {
    std::mutex mutex;
    std::condition_variable cond;
    int done = 0;
    int failed = 0;
    std::vector<double> ms;  // each upload, queued to result
};

class Result : public kestrel::OneTimePutHandler {
  public:
    explicit Result(Results* r) : r_(r), start_(Clock::now()) {}
    void OnResult(bool ok) override {
        double took = std::chrono::duration<double, std::milli>(Clock::now() - start_).count();
        std::lock_guard<std::mutex> lock(r_->mutex);
        ++r_->done;
        r_->failed += ok ? 0 : 1;
        r_->ms.push_back(took);
        r_->cond.notify_all();
    }

  private:
    Results* r_;
    Clock::time_point start_;
};

void Summarise(benchmark::State& state, std::vector<double>& ms, double wall_s, int failed) {
    std::sort(ms.begin(), ms.end());
    if (ms.empty())
        return;
    state.counters["uploads_per_s"] = ms.size() / wall_s;
    state.counters["p50_ms"] = ms[ms.size() / 2];
    state.counters["p99_ms"] = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
    state.counters["failed"] = failed;
}

// Each iteration queues `parallel` uploads at once and waits for all of them.
void BM_SdkPictureUpload(benchmark::State& state) {
    Env& e = env();
    if (!e.ok) {
        state.SkipWithError("no peer");
        return;
    }
    int parallel = static_cast<int>(state.range(0));
    kestrel::AsyncProcessPool pool;
    pool.SetParallel(static_cast<unsigned>(parallel));
    Results results;
    auto wall = Clock::now();
    int queued = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        for (int i = 0; i < parallel; ++i) {
            kestrel::SharedPtr<kestrel::OneTimePutDirect> put(new kestrel::OneTimePutDirect(
                &pool, kestrel::SharedPtr<kestrel::OneTimePutHandler>(new Result(&results))));
            put->SetAddr(e.Url(), "[bench]");
            put->SendContent(e.picture);
            pool.AddAsyncProcess(put);
        }
        queued += parallel;
        std::unique_lock<std::mutex> lock(results.mutex);
        results.cond.wait(lock, [&] { return results.done >= queued; });
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
    state.SetItemsProcessed(static_cast<int64_t>(queued));
    Summarise(state, results.ms, std::chrono::duration<double>(Clock::now() - wall).count(),
              results.failed);
}
BENCHMARK(BM_SdkPictureUpload)->Arg(1)->Arg(4)->Iterations(40)->UseManualTime();

void BM_CurlPut(benchmark::State& state) {
    Env& e = env();
    if (!e.ok) {
        state.SkipWithError("no peer");
        return;
    }
    std::string cmd = "curl -sS -o /dev/null --fail --cacert " + e.peer.ca_file +
                      " -H 'Content-type: image/jpeg' -T " + e.file + " " + e.Url();
    std::vector<double> ms;
    int failed = 0;
    auto wall = Clock::now();
    for (auto _ : state) {
        auto start = Clock::now();
        failed += system(cmd.c_str()) != 0;
        double took = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        ms.push_back(took);
        state.SetIterationTime(took / 1000.0);
    }
    state.SetItemsProcessed(static_cast<int64_t>(ms.size()));
    Summarise(state, ms, std::chrono::duration<double>(Clock::now() - wall).count(), failed);
}
BENCHMARK(BM_CurlPut)->Iterations(40)->UseManualTime();

}  // namespace
