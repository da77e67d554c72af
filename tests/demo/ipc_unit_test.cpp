// The camera through its dummy_ipc_* interface, with its real threads.
#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "camera/dummy_ipc.h"
#include "camera/media_parse.h"
#include "camera/picture_parser.h"
#include "camera_fixture.h"

using namespace camera_test;

namespace {

struct Record {
    int service_id;
    std::vector<ks_query_record_response_item_s> items;
    std::vector<std::string> names;
    std::vector<int> days;
};

// What the five sinks received.
struct Received {
    Recorder frames;
    std::mutex mutex;
    std::vector<std::string> properties;
    std::vector<std::string> property_auth;
    std::vector<Record> records;
    std::vector<std::string> pictures;
};
Received* g_received = nullptr;

void OnVideo(int service_id, ks_video_format_e format, unsigned char* p, unsigned len,
             unsigned timestamp, int key) {
    g_received->frames.Add(service_id, 0, format, p, len, timestamp, key);
}
void OnAudio(int service_id, ks_audio_format_e format, unsigned char* p, unsigned len,
             unsigned timestamp) {
    g_received->frames.Add(service_id, 1, format, p, len, timestamp, 0);
}
void OnPicture(const ks_device_auth_s* auth, unsigned char* p, unsigned len) {
    std::lock_guard<std::mutex> lock(g_received->mutex);
    g_received->pictures.push_back(std::string(auth->device_name) + ":" +
                                   std::string(reinterpret_cast<char*>(p), len));
}
int OnProperty(const ks_device_auth_s* auth, const char* json) {
    std::lock_guard<std::mutex> lock(g_received->mutex);
    g_received->properties.push_back(json);
    g_received->property_auth.push_back(std::to_string(auth->dev_id) + "/" + auth->product_key +
                                        "/" + auth->device_name + "/" + auth->device_secret);
    return 0;
}
int OnRecord(int service_id, const ks_query_record_response_param_s* response) {
    Record r;
    r.service_id = service_id;
    for (int i = 0; i < response->num; ++i) {
        r.items.push_back(response->infos[i]);
        r.names.push_back(response->infos[i].file_name);
    }
    if (response->days != nullptr) {
        r.days.assign(response->days, response->days + 31);
    }
    std::lock_guard<std::mutex> lock(g_received->mutex);
    g_received->records.push_back(r);
    return 0;
}

const char kPicture[] = "\xff\xd8 not really a jpeg \xff\xd9";

class Camera : public testing::Test {
  public:
    void SetUp() override {
        g_received = &received;
        // Two-second streams, key frames every 400 ms.
        WriteStream(dir.File("main"), Gop(2000, 10),
                    "video.format=h264\nvideo.fps=25\naudio.format=aac\n"
                    "audio.sample_rate=16000\naudio.bits_per_sample=16\naudio.channel=1\n");
        WriteStream(dir.File("sub"), Gop(2000, 10),
                    "video.format=h265\nvideo.fps=15\naudio.format=g711a\n"
                    "audio.sample_rate=8000\naudio.bits_per_sample=16\naudio.channel=1\n");
        for (const char* vod : {"vod1", "vod2"}) {
            WriteStream(dir.File(vod), Gop(2000, 10),
                        "video.format=h264\nvideo.fps=25\naudio.format=aac\n"
                        "audio.sample_rate=16000\naudio.bits_per_sample=16\naudio.channel=1\n"
                        "duration=2\n");
        }
        WriteText(dir.File("pic.jpg"), std::string(kPicture, sizeof(kPicture) - 1));
        SetName(live_names[0], "main");
        SetName(live_names[1], "sub");
        SetName(vod_names[0], "vod1");
        SetName(vod_names[1], "vod2");
        picture = dir.File("pic.jpg");
        camera = {DUMMY_IPC_SOURCE_NAMED,
                  live_names,
                  DUMMY_IPC_SOURCE_NAMED,
                  vod_names,
                  picture.c_str(),
                  600,
                  &auth};
        config = {1, &camera, &OnVideo, &OnAudio, &OnPicture, &OnProperty, &OnRecord, nullptr};
    }

    void TearDown() override {
        dummy_ipc_stop();
        g_received = nullptr;
    }

    void SetName(char* buf, const char* name) {
        snprintf(buf, DUMMY_IPC_NAME_LEN, "%s", dir.File(name).c_str());
    }

    void Start() {
        testing::internal::CaptureStdout();
        int rc = dummy_ipc_start(&config);
        std::string out = testing::internal::GetCapturedStdout();
        ASSERT_EQ(rc, 0) << out;
    }

    static dummy_ipc_request_s Request(int service_id, int stream = 0, unsigned seek_ms = 0) {
        dummy_ipc_request_s r;
        memset(&r, 0, sizeof(r));
        r.service_id = service_id;
        r.stream = stream;
        r.seek_ms = seek_ms;
        return r;
    }

    // Frames for one service id that arrive within `ms`.
    std::vector<Frame> FramesOf(int service_id, size_t at_least, unsigned ms = 3000) {
        std::vector<Frame> mine;
        WaitFor(
            [&] {
                for (const Frame& f : received.frames.Take()) {
                    if (f.service_id == service_id) {
                        mine.push_back(f);
                    }
                }
                return mine.size() >= at_least;
            },
            ms);
        return mine;
    }

    std::vector<std::string> Properties() {
        std::lock_guard<std::mutex> lock(received.mutex);
        std::vector<std::string> out;
        out.swap(received.properties);
        return out;
    }

    TempDir dir;
    Received received;
    char pk[3] = "pk", dn[3] = "dn", ds[3] = "ds";
    ks_device_auth_s auth = {0, pk, dn, ds};
    char live_names[2][DUMMY_IPC_NAME_LEN];
    char vod_names[2][DUMMY_IPC_NAME_LEN];
    std::string picture;
    dummy_ipc_camera_s camera;
    dummy_ipc_config_s config;
};

TEST_F(Camera, StartRejectsBadConfigurationsAndLeavesNothingRunning) {
    struct Case {
        const char* what;
        void (*spoil)(Camera* t);
        std::string printed;
    } cases[] = {
        {"no record sink", [](Camera* t) { t->config.record = nullptr; }, "Ipc sink illegal\n"},
        {"no video sink", [](Camera* t) { t->config.video = nullptr; }, "Ipc sink illegal\n"},
        {"no camera", [](Camera* t) { t->config.num = 0; }, "Ipc num illegal\n"},
        {"no identity", [](Camera* t) { t->camera.auth = nullptr; }, "Ipc unit auth failed\n"},
        {"identity without secret", [](Camera* t) { t->auth.device_secret = nullptr; },
         "Ipc unit auth failed\n"},
        {"missing index", [](Camera* t) { unlink((t->dir.File("vod2") + ".index").c_str()); },
         "Check files failed: " + dir.File("vod2") + ".index\nStart ipc unit failed\n"},
        {"missing picture",
         [](Camera* t) {
             t->picture = t->dir.File("none.jpg");
             t->camera.picture = t->picture.c_str();
         },
         "Check files failed: " + dir.File("none.jpg") + "\nStart ipc unit failed\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        c.spoil(this);
        testing::internal::CaptureStdout();
        EXPECT_EQ(dummy_ipc_start(&config), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
        auth.device_secret = ds;
        dummy_ipc_request_s r = Request(1);
        testing::internal::CaptureStdout();
        EXPECT_EQ(dummy_ipc_live(&auth, DUMMY_IPC_LIVE_START, &r), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Dummy ipc not started\n");
    }
}

TEST_F(Camera, FindsTheCameraOnlyByItsWholeIdentity) {
    Start();
    EXPECT_EQ(dummy_ipc_start(&config), 0) << "a second start changes nothing";
    char other[] = "dX";
    const ks_device_auth_s strangers[] = {
        {1, pk, dn, ds}, {0, pk, other, ds}, {0, pk, dn, other}, {0, nullptr, dn, ds}};
    for (const ks_device_auth_s& a : strangers) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(dummy_ipc_set_property(&a, "MicSwitch", "1"), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Ipc not exist\n");
    }
    testing::internal::CaptureStdout();
    dummy_ipc_get_all_property(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Ipc not exist\n");
    EXPECT_TRUE(Properties().empty());
}

TEST_F(Camera, LiveFramesFlowOnlyWhileAServiceIsAttached) {
    Start();
    usleep(100 * 1000);
    EXPECT_EQ(received.frames.Size(), 0u) << "unattached live sources deliver nothing";

    dummy_ipc_request_s main_req = Request(5, 0), sub_req = Request(6, 1);
    ASSERT_EQ(dummy_ipc_live(&auth, DUMMY_IPC_LIVE_START, &main_req), 0);
    ASSERT_EQ(dummy_ipc_live(&auth, DUMMY_IPC_LIVE_START, &sub_req), 0);
    std::vector<Frame> main_frames = FramesOf(5, 4);
    ASSERT_GE(main_frames.size(), 4u);
    std::vector<Frame> sub_frames = FramesOf(6, 4);
    ASSERT_GE(sub_frames.size(), 4u);
    for (const Frame& f : main_frames) {
        EXPECT_EQ(f.format, f.media == 0 ? int{KS_VIDEO_FORMAT_H264} : int{KS_AUDIO_FORMAT_AAC});
    }
    for (const Frame& f : sub_frames) {
        EXPECT_EQ(f.format, f.media == 0 ? int{KS_VIDEO_FORMAT_H265} : int{KS_AUDIO_FORMAT_G711A});
    }

    received.frames.Take();
    ASSERT_EQ(dummy_ipc_live(&auth, DUMMY_IPC_LIVE_KEY_FRAME, &sub_req), 0);
    std::vector<Frame> after_request;
    WaitFor([&] {
        for (const Frame& f : FramesOf(6, 1, 200)) {
            if (f.media == 0) {
                after_request.push_back(f);
            }
        }
        return !after_request.empty();
    });
    ASSERT_FALSE(after_request.empty());
    // The request may land between two cycles, so allow the frame already due.
    EXPECT_TRUE(after_request[0].key == 1 || (after_request.size() > 1 && after_request[1].key))
        << "a key frame follows the request";

    ASSERT_EQ(dummy_ipc_live(&auth, DUMMY_IPC_LIVE_STOP, &main_req), 0);
    usleep(60 * 1000);
    received.frames.Take();
    usleep(150 * 1000);
    for (const Frame& f : received.frames.Take()) {
        EXPECT_NE(f.service_id, 5) << "a stopped service gets no more frames";
    }

    dummy_ipc_request_s stranger = Request(99);
    testing::internal::CaptureStdout();
    EXPECT_EQ(dummy_ipc_live(&auth, DUMMY_IPC_LIVE_STOP, &stranger), -1);
    EXPECT_EQ(dummy_ipc_live(&auth, DUMMY_IPC_LIVE_KEY_FRAME, &stranger), -1);
    EXPECT_EQ(dummy_ipc_live(&auth, 1, &stranger), 0) << "other operations do nothing";
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "LiveStop failed, service id =99\nLiveRequestIFrame failed, service id =99\n");
}

TEST_F(Camera, LiveParametersComeFromTheAttachedSource) {
    Start();
    dummy_ipc_request_s main_req = Request(5, 0), sub_req = Request(6, 1);
    ASSERT_EQ(dummy_ipc_live(&auth, DUMMY_IPC_LIVE_START, &sub_req), 0);
    struct Case {
        bool main_attached;
        int service_id;
        int expect;  // 0 main, 1 sub, -1 failure
    } cases[] = {
        {true, 5, 0},    // its own source
        {true, 6, 1},    //
        {true, 7, 0},    // unknown: the main stream while it is attached
        {false, 3, 1},   // else the sub-stream for an id below the sub-stream's
        {false, 9, -1},  // else nothing
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "service " << c.service_id);
        testing::internal::CaptureStdout();
        dummy_ipc_live(&auth, c.main_attached ? DUMMY_IPC_LIVE_START : DUMMY_IPC_LIVE_STOP,
                       &main_req);
        testing::internal::GetCapturedStdout();
        ks_audio_param_s audio;
        ks_video_param_s video;
        testing::internal::CaptureStdout();
        int rc = dummy_ipc_live_get_media_param(&auth, c.service_id, &audio, &video);
        std::string out = testing::internal::GetCapturedStdout();
        if (c.expect < 0) {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(out, "LiveGetParam failed, service id =9\n");
            continue;
        }
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(video.format, c.expect == 0 ? KS_VIDEO_FORMAT_H264 : KS_VIDEO_FORMAT_H265);
        EXPECT_EQ(video.fps, c.expect == 0 ? 25u : 15u);
        EXPECT_EQ(audio.sample_rate,
                  c.expect == 0 ? KS_AUDIO_SAMPLE_RATE_16000 : KS_AUDIO_SAMPLE_RATE_8000);
    }
    ks_audio_param_s audio;
    EXPECT_EQ(dummy_ipc_live_get_media_param(&auth, 5, &audio, nullptr), -1);
}

TEST_F(Camera, PlaybackByTimeRunsOverTheFilesAsOneTimeline) {
    Start();
    // 2500 ms on the timeline: 500 ms into the second file, whose first key
    // frame at or after that is at 800.
    dummy_ipc_request_s seek = Request(8, 0, 2500);
    ASSERT_EQ(dummy_ipc_vod_by_utc(&auth, DUMMY_IPC_VOD_SEEK, &seek), 0);
    ks_video_param_s video;
    ks_audio_param_s audio;
    ASSERT_EQ(dummy_ipc_vod_get_media_param(&auth, &video, &audio), 0);
    EXPECT_EQ(video.duration, 2u);
    usleep(100 * 1000);
    EXPECT_EQ(received.frames.Size(), 0u) << "a new playback waits for its start command";

    ASSERT_EQ(dummy_ipc_vod_by_utc(&auth, DUMMY_IPC_VOD_RESUME, nullptr), 0);
    std::vector<Frame> v = FramesOf(8, 1);
    ASSERT_FALSE(v.empty());
    EXPECT_EQ(v[0].timestamp, 2000u + 800u);
    EXPECT_EQ(v[0].key, 1);

    // Back into the first file while playing.
    seek.seek_ms = 100;
    ASSERT_EQ(dummy_ipc_vod_by_utc(&auth, DUMMY_IPC_VOD_SEEK, &seek), 0);
    received.frames.Take();
    std::vector<Frame> back;
    WaitFor([&] {
        for (const Frame& f : FramesOf(8, 1, 100)) {
            if (f.timestamp < 2000) {
                back.push_back(f);
            }
        }
        return !back.empty();
    });
    ASSERT_FALSE(back.empty());
    EXPECT_EQ(back[0].timestamp, 400u);

    seek.seek_ms = 4001;
    testing::internal::CaptureStdout();
    EXPECT_EQ(dummy_ipc_vod_by_utc(&auth, DUMMY_IPC_VOD_SEEK, &seek), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Vod seek out of range: 4001\n");

    ASSERT_EQ(dummy_ipc_vod_by_utc(&auth, DUMMY_IPC_VOD_STOP, nullptr), 0);
    usleep(30 * 1000);
    received.frames.Take();
    usleep(100 * 1000);
    EXPECT_EQ(received.frames.Size(), 0u);
    testing::internal::CaptureStdout();
    EXPECT_EQ(dummy_ipc_vod_get_media_param(&auth, &video, &audio), -1);
    testing::internal::GetCapturedStdout();
}

TEST_F(Camera, PlaybackByFileStartsAtTheFileStartAndStaysPausedUntilResumed) {
    Start();
    dummy_ipc_request_s req = Request(4);
    snprintf(req.file_name, sizeof(req.file_name), "%s", dir.File("elsewhere").c_str());
    testing::internal::CaptureStdout();
    EXPECT_EQ(dummy_ipc_vod_by_file(&auth, DUMMY_IPC_VOD_SEEK, &req), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Query file failed");

    snprintf(req.file_name, sizeof(req.file_name), "%s", dir.File("vod2").c_str());
    ASSERT_EQ(dummy_ipc_vod_by_file(&auth, DUMMY_IPC_VOD_SEEK, &req), 0);
    usleep(60 * 1000);
    EXPECT_EQ(received.frames.Size(), 0u);
    ASSERT_EQ(dummy_ipc_vod_by_file(&auth, DUMMY_IPC_VOD_RESUME, &req), 0);
    std::vector<Frame> v = FramesOf(4, 3);
    ASSERT_GE(v.size(), 3u);
    EXPECT_EQ(v[0].timestamp, 0u) << "the file's first key frame is played";
    EXPECT_EQ(v[0].number, 0u);

    // Set speed 2, then stop: the next playback is back at normal speed.
    req.speed = 2;
    ASSERT_EQ(dummy_ipc_vod_by_file(&auth, DUMMY_IPC_VOD_SET_PARAM, &req), 0);
    ASSERT_EQ(dummy_ipc_vod_by_file(&auth, DUMMY_IPC_VOD_STOP, &req), 0);
    ASSERT_EQ(dummy_ipc_vod_by_file(&auth, DUMMY_IPC_VOD_SEEK, &req), 0);
    received.frames.Take();
    ASSERT_EQ(dummy_ipc_vod_by_file(&auth, DUMMY_IPC_VOD_RESUME, &req), 0);
    usleep(300 * 1000);
    std::vector<Frame> all = received.frames.Take();
    ASSERT_FALSE(all.empty());
    EXPECT_LT(all.back().timestamp, 500u) << "300 ms of playback at speed 1, not 2";
}

TEST_F(Camera, RecordListsForBothQueryTypes) {
    Start();
    ks_query_record_param_s query;
    memset(&query, 0, sizeof(query));
    query.service_id = 12;
    query.begin_time = 1700000000;
    query.end_time = 1;  // not used
    dummy_ipc_report_vod_list(&auth, &query);
    query.common_type = 1;
    dummy_ipc_report_vod_list(&auth, &query);
    query.common_type = 2;
    dummy_ipc_report_vod_list(&auth, &query);

    std::lock_guard<std::mutex> lock(received.mutex);
    ASSERT_EQ(received.records.size(), 2u) << "type 2 gets no answer";
    const Record& list = received.records[0];
    EXPECT_EQ(list.service_id, 12);
    ASSERT_EQ(list.items.size(), 2u);
    EXPECT_EQ(list.names[0], dir.File("vod1"));
    EXPECT_EQ(list.names[1], dir.File("vod2"));
    EXPECT_EQ(list.items[0].start_time, 1700000000u);
    EXPECT_EQ(list.items[0].stop_time, 1700000002u);
    EXPECT_EQ(list.items[1].start_time, 1700000002u);
    EXPECT_EQ(list.items[1].stop_time, 1700000004u);
    for (const auto& item : list.items) {
        EXPECT_EQ(item.file_size, 1024u);
        EXPECT_EQ(item.record_type, 2);
    }
    const Record& month = received.records[1];
    EXPECT_TRUE(month.items.empty());
    ASSERT_EQ(month.days.size(), 31u);
    for (int day = 1; day <= 31; ++day) {
        EXPECT_EQ(month.days[day - 1], day == 1 || day == 11 || day == 28 ? 1 : 0) << day;
    }
}

TEST_F(Camera, PropertyTexts) {
    Start();
    struct Case {
        const char* name;
        const char* value;
        const char* reported;
    } cases[] = {
        {"MicSwitch", "1", "{\"MicSwitch\":1}"},
        {"StorageRemainCapacity", "12.5", "{\"StorageRemainCapacity\":12.5}"},
        {"Unknown", "7", "{\"Unknown\":7}"},
        // Texts that are not JSON values go out as JSON strings.
        {"DayNightMode", "auto", "{\"DayNightMode\":\"auto\"}"},
        {"Odd\"Name", "say \"hi\"", "{\"Odd\\\"Name\":\"say \\\"hi\\\"\"}"},
        {nullptr, nullptr, "{\"\":\"\"}"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(dummy_ipc_set_property(&auth, c.name, c.value), 0);
    }
    std::vector<std::string> reports = Properties();
    ASSERT_EQ(reports.size(), sizeof(cases) / sizeof(cases[0]));
    for (size_t i = 0; i < reports.size(); ++i) {
        EXPECT_EQ(reports[i], cases[i].reported);
    }
    EXPECT_EQ(received.property_auth.front(), "0/pk/dn/ds");

    dummy_ipc_get_all_property(&auth);
    reports = Properties();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0],
              "{\"AlarmFrequencyLevel\":0,\"AlarmSwitch\":0,\"DayNightMode\":\"auto\","
              "\"EncryptSwitch\":0,\"ImageFlipState\":0,\"MicSwitch\":1,"
              "\"MotionDetectSensitivity\":0,\"SpeakerSwitch\":0,\"StatusLightSwitch\":0,"
              "\"StorageRecordMode\":0,\"StorageRemainCapacity\":12.5,\"StorageStatus\":1,"
              "\"StorageTotalCapacity\":128.000,\"StreamVideoQuality\":0,"
              "\"SubStreamVideoQuality\":0,\"VoiceDetectionSensitivity\":0}")
        << "an unknown name is reported but not stored";
}

TEST_F(Camera, CaptureHandsOutThePicture) {
    Start();
    unsigned char* p = nullptr;
    unsigned len = 0;
    ASSERT_EQ(dummy_ipc_capture(&auth, &p, &len), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(p), len),
              std::string(kPicture, sizeof(kPicture) - 1));
    EXPECT_EQ(dummy_ipc_capture(&auth, nullptr, &len), -1);
}

void CountPicture(void* user, unsigned char*, unsigned len) {
    static_cast<Recorder*>(user)->Add(0, 2, 0, nullptr, len, 0, 0);
}

TEST(PictureParser, RejectsMissingAndOversizedFiles) {
    TempDir dir;
    WriteText(dir.File("max.jpg"), std::string(65536, 'x'));
    WriteText(dir.File("big.jpg"), std::string(65537, 'x'));
    Recorder rec;
    kestrel::camera::PictureParser parser(&CountPicture, &rec);
    testing::internal::CaptureStdout();
    EXPECT_EQ(parser.Start(600, dir.File("big.jpg")), -1);
    EXPECT_EQ(parser.Start(600, dir.File("none.jpg")), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "File is too large: " + dir.File("big.jpg") +
                  "\nOpen file failed: " + dir.File("none.jpg") + "\n");
    unsigned char* p;
    unsigned len;
    EXPECT_EQ(parser.Capture(&p, &len), -1);
    EXPECT_EQ(parser.Start(600, dir.File("max.jpg")), 0);
    ASSERT_EQ(parser.Capture(&p, &len), 0);
    EXPECT_EQ(len, 65536u);
}

TEST(PictureParser, GivesThePictureEveryIntervalOfAtLeastTenSeconds) {
    TempDir dir;
    WriteText(dir.File("p.jpg"), "jpeg");
    FastClock clock(500);
    Recorder rec(&clock);
    kestrel::camera::PictureParser parser(&CountPicture, &rec, clock);
    uint64_t start = clock.NowMs();
    ASSERT_EQ(parser.Start(3, dir.File("p.jpg")), 0);
    EXPECT_EQ(parser.Interval(), 10u);
    ASSERT_TRUE(WaitFor([&] { return rec.Size() >= 2; }, 5000));
    parser.Stop();
    std::vector<Frame> got = rec.Take();
    EXPECT_EQ(got[0].len, 4u);
    EXPECT_GE(got[0].at - start, 10000u);
    EXPECT_GE(got[1].at - got[0].at, 9900u);
}

void Ignore(void*, int, ks_video_format_e, unsigned char*, unsigned, unsigned, int) {}
void RecordAudio(void* user, int service_id, ks_audio_format_e format, unsigned char* p,
                 unsigned len, unsigned timestamp) {
    static_cast<Recorder*>(user)->Add(service_id, 1, format, p, len, timestamp, 0);
}

TEST(MediaParseThread, LiveRunsOnItsOwnThreadAndRestartsCleanly) {
    TempDir dir;
    WriteStream(dir.File("a"), Gop(200));
    WriteStream(dir.File("b"), Gop(200), "audio.format=g711u\n");
    FastClock clock(20);
    Recorder rec;
    kestrel::camera::MediaParse parse(&Ignore, &RecordAudio, &rec, clock);
    ASSERT_EQ(parse.StartLive(1, dir.File("a")), 0);
    ASSERT_TRUE(WaitFor([&] { return rec.Size() >= 12; }));  // three passes of four
    // Opening another stream while the first one is replaying.
    ASSERT_EQ(parse.StartLive(2, dir.File("b")), 0);
    ASSERT_TRUE(WaitFor([&] {
        std::vector<Frame> got = rec.Take();
        return std::any_of(got.begin(), got.end(), [](const Frame& f) {
            return f.service_id == 2 && f.format == KS_AUDIO_FORMAT_G711U;
        });
    }));
    std::vector<Frame> got;
    ASSERT_TRUE(WaitFor([&] {
        for (const Frame& f : rec.Take()) {
            got.push_back(f);
        }
        return got.size() >= 12;
    }));
    for (size_t i = 1; i < got.size(); ++i) {
        EXPECT_GT(got[i].timestamp, got[i - 1].timestamp);
    }
    parse.Stop();
    EXPECT_FALSE(parse.IsRunning());
}

}  // namespace
