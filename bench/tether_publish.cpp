// Messages per second from this library to a local Mosquitto over TLS, QoS 0
// and QoS 1, and the same messages sent by mosquitto_pub -l for comparison.
//
// Library QoS 0: the batch is followed by one QoS 1 publication whose PUBACK
// proves the broker has taken every message before it (it handles one
// connection in order). Library QoS 1: all acknowledged. mosquitto_pub: the
// whole process, connect and TLS handshake included, so its figure is a
// lower bound on its sending rate.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cloudlink/broker_fixture.h"
#include "infra/mqtt_client.h"
#include "tether/tether_api.h"

namespace {

constexpr int kBatch = 2000;
constexpr size_t kPayload = 200;

struct Env {
    tethertest::Device dev{"pkBench", "bench-cam", "bench-secret"};
    tethertest::Broker broker;
    std::string topic;
    std::string payload;
    bool ok = false;

    Env() {
        broker.SetQuietLog(true);
        std::string err = broker.Start({dev});
        if (!err.empty()) {
            fprintf(stderr, "broker: %s\n", err.c_str());
            return;
        }
        IOT_SetLogLevel(LOG_ERR_LEVEL);
        HAL_SetTrustAnchorPem(broker.ca_path().c_str());
        IOT_Ioctl(TETHER_IOCTL_SET_MQTT_DOMAIN, const_cast<char*>("127.0.0.1"));
        uint16_t port = static_cast<uint16_t>(broker.port());
        IOT_Ioctl(TETHER_IOCTL_SET_MQTT_PORT, &port);
        tether_dev_meta_info_t meta{};
        strcpy(meta.product_key, dev.pk.c_str());
        strcpy(meta.device_name, dev.dn.c_str());
        strcpy(meta.device_secret, dev.ds.c_str());
        if (IOT_Tether_Open(TETHER_DEV_TYPE_MASTER, &meta) != 0 || IOT_Tether_Connect(0) != 0) {
            fprintf(stderr, "connect failed\n");
            return;
        }
        topic = "/sys/" + dev.pk + "/" + dev.dn + "/user/bench";
        payload = std::string(kPayload - 8, 'p');
        ok = true;
    }
    ~Env() { IOT_Tether_Close(0); }

    size_t PubWait() {
        nexo_mc_stats_t s;
        nexo_mc_get_stats(nullptr, &s);
        return s.pub_wait;
    }

    // Publishes QoS 1 once the window of 20 has room (probing with a
    // publish that overflows would log an error each time).
    bool PublishQos1(const std::string& body) {
        while (PubWait() >= TETHER_MQTT_PUB_WAIT_MAX)
            HAL_SleepMs(0);
        return IOT_MQTT_Publish_Simple(nullptr, topic.c_str(), 1, const_cast<char*>(body.data()),
                                       static_cast<int>(body.size())) > 0;
    }
    bool DrainAcks() {
        uint64_t end = HAL_UptimeMs() + 30000;
        while (PubWait() > 0) {
            if (HAL_UptimeMs() > end)
                return false;
            HAL_SleepMs(0);
        }
        return true;
    }
};

Env& E() {
    static Env env;
    return env;
}

std::string Body(int i, const std::string& pad) {
    char n[9];
    snprintf(n, sizeof(n), "%08d", i);
    return std::string(n) + pad;
}

void BM_LibraryPublishQos0(benchmark::State& state) {
    Env& e = E();
    if (!e.ok) {
        state.SkipWithError("no broker / connection");
        return;
    }
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) {
            std::string b = Body(i, e.payload);
            if (IOT_MQTT_Publish_Simple(nullptr, e.topic.c_str(), 0, b.data(),
                                        static_cast<int>(b.size())) != 0) {
                state.SkipWithError("publish failed");
                return;
            }
        }
        if (!e.PublishQos1("fence") || !e.DrainAcks()) {
            state.SkipWithError("fence not acknowledged");
            return;
        }
    }
    state.counters["msgs_per_s"] = benchmark::Counter(
        static_cast<double>(kBatch) * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_LibraryPublishQos1(benchmark::State& state) {
    Env& e = E();
    if (!e.ok) {
        state.SkipWithError("no broker / connection");
        return;
    }
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) {
            if (!e.PublishQos1(Body(i, e.payload))) {
                state.SkipWithError("publish failed");
                return;
            }
        }
        if (!e.DrainAcks()) {
            state.SkipWithError("acknowledgements missing");
            return;
        }
    }
    state.counters["msgs_per_s"] = benchmark::Counter(
        static_cast<double>(kBatch) * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_MosquittoPub(benchmark::State& state) {
    Env& e = E();
    if (!e.ok) {
        state.SkipWithError("no broker / connection");
        return;
    }
    const int qos = static_cast<int>(state.range(0));
    std::vector<std::string> lines;
    for (int i = 0; i < kBatch; ++i)
        lines.push_back(Body(i, e.payload));
    for (auto _ : state) {
        if (e.broker.PublishLines(e.topic, lines, qos) != 0) {
            state.SkipWithError("mosquitto_pub failed");
            return;
        }
    }
    state.counters["msgs_per_s"] = benchmark::Counter(
        static_cast<double>(kBatch) * state.iterations(), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_LibraryPublishQos0)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_LibraryPublishQos1)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_MosquittoPub)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->UseRealTime();

}  // namespace
