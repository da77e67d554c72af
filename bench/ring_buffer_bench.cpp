// Frames per second through the relay's frame ring, one producer thread (the
// camera) and one consumer thread (the network thread), beside the queue one
// would write first: a mutex around a deque of per-frame vectors. Both sides
// copy each frame in once and out once; the producer waits for room instead
// of dropping, so every frame is counted.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "core/logger.h"
#include "sdk/streaming/frame_ring_buffer.h"

using namespace kestrel;

namespace {

constexpr unsigned kRing = 2 * 1024 * 1024;  // the relay's size for 6 Mbit/s and above
constexpr int kBatch = 2000;                 // frames per timed iteration
constexpr int kGop = 25;

void QuietLogger(int, const char*, int, const char*, ...) {}

unsigned FrameLen(int i, unsigned len) {
    return i % kGop == 0 ? len * 4 : len;  // key frames are larger
}

void BM_FrameRingBuffer(benchmark::State& state) {
    logger_set_user_define(QuietLogger);
    const unsigned len = static_cast<unsigned>(state.range(0));
    FrameRingBuffer ring(kRing, "[bench]");
    std::vector<unsigned char> src(len * 4, 0x5A);
    uint64_t bytes = 0;
    for (auto _ : state) {
        std::thread producer([&] {
            for (int i = 0; i < kBatch; ++i) {
                unsigned n = FrameLen(i, len);
                MediaSpecialInfo d{1, static_cast<uint32_t>(i * 40), i % kGop == 0 ? 1u : 0u, 0, 0};
                while (ring.GetDataUnused() < n + FrameRingBuffer::kHeaderSize + sizeof(d))
                    std::this_thread::yield();
                ring.DataOneFrameIn(src.data(), n, &d, sizeof(d));
            }
        });
        std::vector<unsigned char> sink(len * 4);
        for (int got = 0; got < kBatch;) {
            unsigned char* frame;
            unsigned n;
            MediaSpecialInfo* desc;
            unsigned desc_len;
            if (ring.DataOneFrameOut(&frame, &n, &desc, &desc_len) != 0) {
                std::this_thread::yield();
                continue;
            }
            memcpy(sink.data(), frame, n);  // the muxer reads it once
            benchmark::DoNotOptimize(sink.data());
            bytes += n;
            ++got;
        }
        producer.join();
    }
    state.counters["frames/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kBatch, benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    logger_reset_default();
}

// The first thing one would write: a locked deque of vectors, bounded by bytes.
struct DequeQueue {
    std::mutex mu;
    std::deque<std::vector<unsigned char>> frames;
    std::atomic<size_t> bytes{0};
};

void BM_MutexDeque(benchmark::State& state) {
    const unsigned len = static_cast<unsigned>(state.range(0));
    DequeQueue q;
    std::vector<unsigned char> src(len * 4, 0x5A);
    uint64_t total = 0;
    for (auto _ : state) {
        std::thread producer([&] {
            for (int i = 0; i < kBatch; ++i) {
                unsigned n = FrameLen(i, len);
                while (q.bytes.load() + n > kRing)
                    std::this_thread::yield();
                std::vector<unsigned char> f(src.begin(), src.begin() + n);
                std::lock_guard<std::mutex> lk(q.mu);
                q.frames.push_back(std::move(f));
                q.bytes += n;
            }
        });
        std::vector<unsigned char> sink(len * 4);
        for (int got = 0; got < kBatch;) {
            std::vector<unsigned char> f;
            {
                std::lock_guard<std::mutex> lk(q.mu);
                if (!q.frames.empty()) {
                    f = std::move(q.frames.front());
                    q.frames.pop_front();
                    q.bytes -= f.size();
                }
            }
            if (f.empty()) {
                std::this_thread::yield();
                continue;
            }
            memcpy(sink.data(), f.data(), f.size());
            benchmark::DoNotOptimize(sink.data());
            total += f.size();
            ++got;
        }
        producer.join();
    }
    state.counters["frames/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kBatch, benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<int64_t>(total));
}

// 320 B: a G.711 audio frame; 4 KiB: a P-frame at about 1 Mbit/s; 32 KiB: at
// about 6 Mbit/s (key frames are four times larger).
BENCHMARK(BM_FrameRingBuffer)->Arg(320)->Arg(4096)->Arg(32768)->UseRealTime();
BENCHMARK(BM_MutexDeque)->Arg(320)->Arg(4096)->Arg(32768)->UseRealTime();

}  // namespace
