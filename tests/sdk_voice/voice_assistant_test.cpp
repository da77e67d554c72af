// The voice session's delivery thread and the downlink body reader: codec
// records that change whole or not at all, frames dropped without codec, a
// full queue that keeps going, and a stop that never waits for the
// application.
#include "sdk/streaming/voice_assistant.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "proto/flv_mux.h"

namespace {

using kestrel::RelayServiceVoiceAssistant;

// What the application got; a gate lets a test hold the callback.
struct Sink {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::string> frames;
    std::vector<uint32_t> timestamps;
    std::vector<ks_audio_param_s> codecs;
    std::vector<int> services;
    bool hold = false;
    bool inside = false;

    static int Take(void* ctx, int, const ks_on_push_streaming_data_param_s* p) {
        Sink* s = static_cast<Sink*>(ctx);
        std::unique_lock<std::mutex> l(s->mu);
        s->inside = true;
        s->cv.notify_all();
        s->cv.wait(l, [s] { return !s->hold; });
        s->inside = false;
        s->frames.emplace_back(reinterpret_cast<const char*>(p->p), p->len);
        s->timestamps.push_back(p->timestamp);
        s->codecs.push_back(*p->audio_param);
        s->services.push_back(p->service_id);
        s->cv.notify_all();
        return 0;
    }
    bool WaitFor(const std::function<bool()>& done, int ms = 3000) {
        std::unique_lock<std::mutex> l(mu);
        return cv.wait_for(l, std::chrono::milliseconds(ms), done);
    }
    void Release() {
        std::lock_guard<std::mutex> l(mu);
        hold = false;
        cv.notify_all();
    }
};

class AssistantTest : public ::testing::Test {
  protected:
    void SetUp() override {
        a.SetDeviceInfo(3, 42, "[dev][Service:42][Voice][Relay]");
        a.SetSink(&Sink::Take, &sink);
        ASSERT_EQ(0, a.Start());
    }
    int Add(const std::string& bytes, unsigned ts) {
        return a.AddAudioData(bytes.data(), static_cast<unsigned>(bytes.size()), ts);
    }
    kestrel_test::LogCapture log;
    Sink sink;
    RelayServiceVoiceAssistant a;
};

TEST_F(AssistantTest, CodecRecordChangesWholeOrNotAtAll) {
    using namespace kestrel;
    struct Case {
        AudioFormat format;
        int bits, channel, rate;
        bool ok;
        int want_format;
    } cases[] = {
        {AUDIO_FORMAT_G711A, 1, 0, 11, true, KS_AUDIO_FORMAT_G711A},
        {AUDIO_FORMAT_G711U, 0, 1, 8, true, KS_AUDIO_FORMAT_G711U},
        {AUDIO_FORMAT_AAC, 1, 0, 12, true, KS_AUDIO_FORMAT_AAC},
        {AUDIO_FORMAT_AAC, 1, 0, 13, false, 0},
        {AUDIO_FORMAT_G711A, 2, 0, 11, false, 0},
        {AUDIO_FORMAT_G711A, 1, 2, 11, false, 0},
        {AUDIO_FORMAT_G711A, 1, 0, -1, false, 0},
        {static_cast<AudioFormat>(3), 1, 0, 11, false, 0},
    };
    ks_audio_param_s before{};
    bool had = false;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.format << "/" << c.bits << "/" << c.channel << "/" << c.rate);
        int ret = a.SetCodec(c.format, static_cast<AudioBit>(c.bits),
                             static_cast<AudioChannel>(c.channel),
                             static_cast<AudioAdditionalRate>(c.rate));
        ks_audio_param_s now{};
        bool set = a.Codec(now);
        if (c.ok) {
            EXPECT_EQ(0, ret);
            EXPECT_TRUE(set);
            EXPECT_EQ(c.want_format, now.format);
            EXPECT_EQ(c.rate, now.sample_rate);
            EXPECT_EQ(c.bits, now.bits_per_sample);
            EXPECT_EQ(c.channel, now.channel);
            before = now;
            had = true;
        } else {
            EXPECT_EQ(-1, ret);
            EXPECT_EQ(had, set);
            EXPECT_EQ(0, memcmp(&before, &now, sizeof now)) << "a refused change left a trace";
        }
    }
    EXPECT_EQ(5u, log.Count("Set audio codec failed"));
}

TEST_F(AssistantTest, FramesWithoutCodecAreDroppedThenDeliveredWithTheRecord) {
    ASSERT_EQ(0, Add("early", 10));
    // Once the line is there the thread has dropped the early frame; it must
    // not reach the application later either.
    ASSERT_TRUE(log.WaitFor("No audio codec info"));
    ASSERT_EQ(0, a.SetCodec(kestrel::AUDIO_FORMAT_G711A, kestrel::AUDIO_BIT_16,
                            kestrel::AUDIO_CHANNEL_MONO, kestrel::AUDIO_ADD_RATE_8000));
    ASSERT_EQ(0, Add("first", 20));
    ASSERT_EQ(0, Add("second", 40));
    ASSERT_TRUE(sink.WaitFor([&] { return sink.frames.size() == 2; }));
    std::lock_guard<std::mutex> l(sink.mu);
    EXPECT_EQ((std::vector<std::string>{"first", "second"}), sink.frames);
    EXPECT_EQ((std::vector<uint32_t>{20, 40}), sink.timestamps);
    EXPECT_EQ(42, sink.services[0]);
    EXPECT_EQ(KS_AUDIO_FORMAT_G711A, sink.codecs[0].format);
    EXPECT_EQ(KS_AUDIO_SAMPLE_RATE_8000, sink.codecs[0].sample_rate);
}

// A slow application fills the 64 KiB queue: the oldest audio goes, the
// newest keeps coming, and once the application catches up it hears the
// latest frames instead of silence for the rest of the session.
TEST_F(AssistantTest, FullQueueDropsOldestAndKeepsDelivering) {
    ASSERT_EQ(0, a.SetCodec(kestrel::AUDIO_FORMAT_G711A, kestrel::AUDIO_BIT_16,
                            kestrel::AUDIO_CHANNEL_MONO, kestrel::AUDIO_ADD_RATE_8000));
    {
        std::lock_guard<std::mutex> l(sink.mu);
        sink.hold = true;
    }
    ASSERT_EQ(0, Add(std::string(160, 'h'), 0));
    ASSERT_TRUE(sink.WaitFor([&] { return sink.inside; }));
    int dropped = 0;
    const int total = 1000;  // 160 KiB of audio behind a held callback
    for (int i = 1; i <= total; ++i) {
        std::string frame(160, static_cast<char>('a' + i % 26));
        memcpy(&frame[0], &i, sizeof i);
        int ret = Add(frame, static_cast<unsigned>(i * 20));
        ASSERT_TRUE(ret == 0 || ret == kestrel::FrameRingBuffer::kStoredAfterDrop) << ret;
        dropped += ret != 0;
    }
    EXPECT_GT(dropped, 0);
    sink.Release();
    ASSERT_TRUE(sink.WaitFor(
        [&] { return !sink.timestamps.empty() && sink.timestamps.back() == total * 20; }));
    ASSERT_EQ(0, Add(std::string(160, 'z'), 30000));
    ASSERT_TRUE(sink.WaitFor([&] { return sink.timestamps.back() == 30000; }));
    std::lock_guard<std::mutex> l(sink.mu);
    // What got through is in order, and the kept tail is unbroken.
    for (size_t i = 1; i < sink.timestamps.size(); ++i)
        EXPECT_LT(sink.timestamps[i - 1], sink.timestamps[i]);
    EXPECT_GT(sink.frames.size(), 300u);
}

// The network thread stops delivery while the application's callback runs:
// the stop returns at once, no frame reaches the application after the
// callback in progress, and the join waits for that callback only.
TEST_F(AssistantTest, HaltNeverWaitsForTheApplication) {
    ASSERT_EQ(0, a.SetCodec(kestrel::AUDIO_FORMAT_G711U, kestrel::AUDIO_BIT_16,
                            kestrel::AUDIO_CHANNEL_MONO, kestrel::AUDIO_ADD_RATE_8000));
    {
        std::lock_guard<std::mutex> l(sink.mu);
        sink.hold = true;
    }
    ASSERT_EQ(0, Add("one", 1));
    ASSERT_TRUE(sink.WaitFor([&] { return sink.inside; }));
    ASSERT_EQ(0, Add("two", 2));
    auto t0 = std::chrono::steady_clock::now();
    a.Halt();
    // The callback is held until Release, so a waiting Halt would take for
    // ever; the bound only has to outlast a busy scheduler.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    sink.Release();
    a.Stop(true);
    std::lock_guard<std::mutex> l(sink.mu);
    EXPECT_EQ((std::vector<std::string>{"one"}), sink.frames);
}

// Downlink bodies as the server sends them: G.711 and AAC configurations,
// data, and what must be refused.
TEST(DownlinkBody, ConfigurationsAndDataAreReadAndBadBodiesRefused) {
    using kestrel::FlvTagBodyAudioDataParse;
    struct Case {
        const char* name;
        std::vector<uint8_t> body;
        int result, type, format, bit, channel, rate;
    } cases[] = {
        {"A-law configuration", {0x72, 0x00, 0xB0, 0x00}, 0, 0, 7, 1, 0, 11},
        {"mu-law stereo 8-bit configuration", {0x81, 0x00, 0x80, 0x00}, 0, 0, 8, 0, 1, 8},
        {"AAC LC 16 kHz mono configuration", {0xAF, 0x00, 0x14, 0x08}, 0, 0, 10, 1, 0, 8},
        {"AAC LC 8 kHz stereo configuration", {0xAF, 0x00, 0x15, 0x90}, 0, 0, 10, 1, 1, 11},
        {"AAC data", {0xAF, 0x01, 0x21, 0x10, 0x05}, 0, 1, -1, -1, -1, -1},
        {"A-law data", {0x72, 0x01, 0xD5, 0xD5}, 0, 1, -1, -1, -1, -1},
        {"AAC explicit frequency", {0xAF, 0x00, 0x17, 0x88}, -8, 0, 0, 0, 0, 0},
        {"AAC 5.1 channels", {0xAF, 0x00, 0x14, 0x30}, -8, 0, 0, 0, 0, 0},
        {"AAC escaped object type", {0xAF, 0x00, 0xF8, 0x00}, -8, 0, 0, 0, 0, 0},
        {"G.711 rate index 13", {0x72, 0x00, 0xD0, 0x00}, -8, 0, 0, 0, 0, 0},
        {"PCM format", {0x32, 0x01, 0x00, 0x00}, -8, 0, 0, 0, 0, 0},
        {"packet type 2", {0x72, 0x02, 0x00, 0x00}, -8, 0, 0, 0, 0, 0},
        {"three bytes", {0x72, 0x01, 0x00}, -8, 0, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FlvTagBodyAudioDataParse p;
        int ret = p.AddData(reinterpret_cast<const char*>(c.body.data()), c.body.size(), nullptr,
                            nullptr);
        ASSERT_EQ(c.result, ret);
        if (ret != 0)
            continue;
        EXPECT_EQ(c.type, p.GetType());
        if (c.type == 1) {
            EXPECT_EQ(c.body.size() - 2, p.GetLen());
            EXPECT_EQ(0, memcmp(c.body.data() + 2, p.GetData(), p.GetLen()));
            continue;
        }
        EXPECT_EQ(c.format, p.GetFormat());
        EXPECT_EQ(c.bit, p.GetBit());
        EXPECT_EQ(c.channel, p.GetChannel());
        EXPECT_EQ(c.rate, p.GetAddRate());
    }
}

}  // namespace
