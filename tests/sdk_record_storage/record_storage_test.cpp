// Recording straight to storage against devcloud's object store (HTTPS, every
// signature and append position checked): objects that play on their own,
// the store's refusals, drops and stalls, credential switches and recording
// durations. The SDK runs through its public API; credentials come from the
// store the way the cloud hands them out.
#include <gtest/gtest.h>
#include <kestrel/ks_api.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

#include "cjson/cJSON.h"
#include "core/shared_ptr.h"
#include "core/single.h"
#include "net/dns_service.h"
#include "net/net_connector.h"
#include "net/task_queue.h"
#include "peers.h"
#include "sdk/device_env.h"
#include "sdk/message_service.h"
#include "sdk/storage/kiv_ca.h"
#include "sdk/storage/kiv_identify.h"
#include "sdk/storage/kiv_upload_append.h"
#include "sdk/streaming/doa_service.h"
#include "sdk/streaming/record_link.h"
#include "sdk/streaming/stream_session.h"
#include "sdk_fixture.h"

using namespace kestrel;
using namespace kestrel_test;

namespace {

constexpr const char* kPk = "pkRec";
constexpr const char* kDn = "dnRec";

struct Frame {
    bool video;
    bool key;
    std::string data;
    uint32_t ts;
};

std::string g_dir, g_home;
net_test::Pki* g_pki = nullptr;
net_test::ScriptedDns* g_dns = nullptr;
net_test::Process* g_store = nullptr;
int g_control_port = 0;
int g_store_port = 0;
std::vector<Frame> g_frames;  // 8 s, video and audio in time order

std::mutex g_creds_mutex;
std::string g_creds;  // the "params" the cloud answers a credential request with
std::atomic<int> g_cred_requests{0};

bool WaitFor(const std::function<bool()>& done, int timeout_ms = 8000) {
    for (int waited = 0; waited < timeout_ms; waited += 10) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

std::string Shell(const std::string& cmd, int* status = nullptr) {
    std::string out;
    FILE* f = popen((cmd + " 2>&1").c_str(), "r");
    if (!f)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    int rc = pclose(f);
    if (status)
        *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

std::string Control(const std::string& method, const std::string& path) {
    return Shell("curl -s -X " + method + " 'http://127.0.0.1:" + std::to_string(g_control_port) +
                 path + "'");
}

std::string FreshCredentials() {
    return Control("GET", std::string("/credentials?pk=") + kPk + "&dn=" + kDn);
}

// Access units split at the access unit delimiters x264 writes with aud=1.
void SplitH264(const std::string& es) {
    std::vector<size_t> starts;
    for (size_t i = 0; i + 4 < es.size(); ++i) {
        if (es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 0 && es[i + 3] == 1 &&
            (es[i + 4] & 0x1F) == 9)
            starts.push_back(i);
    }
    starts.push_back(es.size());
    for (size_t k = 0; k + 1 < starts.size(); ++k) {
        std::string au = es.substr(starts[k], starts[k + 1] - starts[k]);
        bool key = false;
        for (size_t i = 0; i + 3 < au.size(); ++i) {
            if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1 && (au[i + 3] & 0x1F) == 5)
                key = true;
        }
        g_frames.push_back({true, key, au, static_cast<uint32_t>(k * 40)});
    }
}

void SplitAdts(const std::string& adts) {
    size_t i = 0, n = 0;
    while (i + 7 <= adts.size()) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(adts.data()) + i;
        size_t len = ((p[3] & 3u) << 11) | (p[4] << 3) | (p[5] >> 5);
        if (p[0] != 0xFF || len < 7 || i + len > adts.size())
            break;
        g_frames.push_back(
            {false, false, adts.substr(i, len), static_cast<uint32_t>(n * 1024 * 1000 / 44100)});
        i += len;
        ++n;
    }
}

void OnRecordPublish(const kestrel::MessageService::MessagePublishParam* p) {
    OnPublish(p);
    std::string topic = p->topic;
    if (topic.find("/vision/pic/kiv/upstream") == std::string::npos || p->dev_id != 0)
        return;  // only device 0 is ever answered
    ++g_cred_requests;
    std::string creds;
    {
        std::lock_guard<std::mutex> lock(g_creds_mutex);
        creds = g_creds;
    }
    static Identity device(0, kPk, kDn, "ZGV2aWNlLXNlY3JldA==");
    std::string answer = "{\"id\":\"1\",\"version\":\"1.0\",\"params\":" + creds + "}";
    SendMessage(&device.auth, KS_MESSAGE_ADAPTER_TYPE_KESTREL, "", "/vision/pic/kiv/downstream",
                answer);
}

// What the application was asked to do.
struct AppStreams {
    std::mutex mutex;
    std::vector<ks_start_push_stream_param_s> starts;
    std::vector<int> stops;
    std::vector<std::pair<int, int>> cmds;  // service id, command
    static AppStreams& Get() {
        static AppStreams a;
        return a;
    }
    void Reset() {
        std::lock_guard<std::mutex> lock(mutex);
        starts.clear();
        stops.clear();
        cmds.clear();
    }
};

int OnAppStart(const ks_device_auth_s*, const ks_start_push_stream_param_s* p) {
    std::lock_guard<std::mutex> lock(AppStreams::Get().mutex);
    AppStreams::Get().starts.push_back(*p);
    return 0;
}

int OnAppStop(const ks_device_auth_s*, const ks_stop_push_stream_param_s* p) {
    std::lock_guard<std::mutex> lock(AppStreams::Get().mutex);
    AppStreams::Get().stops.push_back(p->service_id);
    return 0;
}

int OnAppCmd(const ks_device_auth_s*, const ks_on_push_stream_cmd_param_s* p) {
    std::lock_guard<std::mutex> lock(AppStreams::Get().mutex);
    AppStreams::Get().cmds.push_back({p->service_id, static_cast<int>(p->cmd_type)});
    return 0;
}

// Runs fn on the SDK's task queue, where recording requests run, and waits.
void OnQueue(std::function<void()> fn) {
    struct Task : TaskEntry {
        std::function<void()> fn;
        std::atomic<bool>* done;
        void Run() override {
            fn();
            *done = true;
        }
    };
    std::atomic<bool> done{false};
    auto* t = new Task;
    t->fn = std::move(fn);
    t->done = &done;
    ASSERT_GE(DeviceEnv::Get()->Task()->AddTask(t), 0);
    ASSERT_TRUE(WaitFor([&] { return done.load(); }));
}

struct AppendRecord {
    std::string key;
    int status = 0;
    long long position = -1, next = -1;
};

std::vector<AppendRecord> StoreLog() {
    std::vector<AppendRecord> out;
    std::istringstream in(net_test::ReadFile(g_home + "/storage/storage.log"));
    std::string line;
    while (std::getline(in, line)) {
        cJSON* j = cJSON_Parse(line.c_str());
        if (!j)
            continue;
        AppendRecord r;
        const cJSON* key = cJSON_GetObjectItem(j, "key");
        const cJSON* status = cJSON_GetObjectItem(j, "status");
        const cJSON* pos = cJSON_GetObjectItem(j, "position");
        const cJSON* next = cJSON_GetObjectItem(j, "next_position");
        if (cJSON_IsString(key))
            r.key = key->valuestring;
        if (cJSON_IsNumber(status))
            r.status = status->valueint;
        if (cJSON_IsNumber(pos))
            r.position = static_cast<long long>(pos->valuedouble);
        if (cJSON_IsNumber(next))
            r.next = static_cast<long long>(next->valuedouble);
        if (!r.key.empty())
            out.push_back(r);
        cJSON_Delete(j);
    }
    return out;
}

std::string ObjectPath(const std::string& key) {
    return g_home + "/storage/objects/devcloud/" + key;
}

class RecordStorageTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        g_dir = net_test::MakeTempDir("record");
        g_home = g_dir + "/home";
        g_pki = new net_test::Pki;
        ASSERT_TRUE(g_pki->Make(g_dir));
        g_dns = new net_test::ScriptedDns;
        ASSERT_TRUE(g_dns->Start(net_test::ScriptedDns::kAnswer, "127.0.0.1"));
        std::ofstream(g_dir + "/resolv.conf") << "nameserver 127.0.0.1\n";
        DnsService::SetResolvConfPath(g_dir + "/resolv.conf");
        DnsService::SetServerPort(g_dns->Port());
        MakeMedia();
        StartStore();
    }

    static void MakeMedia() {
        int rc = -1;
        std::string out = Shell(
            "ffmpeg -v error -y -f lavfi -i testsrc=size=320x240:rate=25 -t 8 -c:v libx264 "
            "-pix_fmt yuv420p -g 25 -bf 0 -x264-params aud=1 -f h264 " +
                g_dir + "/v.h264",
            &rc);
        ASSERT_EQ(0, rc) << out;
        out = Shell(
            "ffmpeg -v error -y -f lavfi -i sine=frequency=440:sample_rate=44100 -t 8 "
            "-ac 1 -c:a aac -f adts " +
                g_dir + "/a.aac",
            &rc);
        ASSERT_EQ(0, rc) << out;
        SplitH264(net_test::ReadFile(g_dir + "/v.h264"));
        SplitAdts(net_test::ReadFile(g_dir + "/a.aac"));
        std::stable_sort(g_frames.begin(), g_frames.end(),
                         [](const Frame& a, const Frame& b) { return a.ts < b.ts; });
        ASSERT_GT(g_frames.size(), 500u);
    }

    static void StartStore() {
        ASSERT_TRUE(net_test::Run("mkdir -p " + g_home + " && cp " + g_pki->device_cert + " " +
                                  g_home + "/server.pem && cp " + g_pki->device_key + " " + g_home +
                                  "/server.key"));
        g_store_port = net_test::FreePort(SOCK_STREAM);
        std::string ready = g_dir + "/store.ready";
        std::string endpoint = "device.test:" + std::to_string(g_store_port);
        g_store = new net_test::Process;
        ASSERT_TRUE(g_store->Start(
            {"/usr/bin/python3", "-c",
             "import sys; sys.path.insert(0, sys.argv[1]); from devcloud_lib import stored; "
             "sys.exit(stored.serve(sys.argv[2], int(sys.argv[3]), 0, sys.argv[4], sys.argv[5]))",
             DEVCLOUD_DIR, g_home, std::to_string(g_store_port), ready, endpoint},
            g_dir + "/store.out"));
        ASSERT_TRUE(WaitFor([&] { return !net_test::ReadFile(ready).empty(); }, 10000))
            << "devcloud's store did not start: " << net_test::ReadFile(g_dir + "/store.out");
        cJSON* j = cJSON_Parse(net_test::ReadFile(ready).c_str());
        ASSERT_TRUE(j);
        g_control_port = cJSON_GetObjectItem(j, "control_port")->valueint;
        cJSON_Delete(j);
    }

    static void TearDownTestSuite() {
        delete g_store;
        delete g_dns;
        delete g_pki;
        DnsService::SetResolvConfPath("/etc/resolv.conf");
        DnsService::SetServerPort(53);
        net_test::Run("rm -rf " + g_dir);
    }

    void SetUp() override {
        Recorder::Get().Reset();
        {
            std::lock_guard<std::mutex> lock(g_creds_mutex);
            g_creds = FreshCredentials();
            ASSERT_NE(std::string::npos, g_creds.find("stsToken")) << g_creds;
        }
        Control("POST", "/clear");
        KivAppendLimits limits;
        limits.connect_ms = 3000;
        limits.reply_ms = 400;
        kiv_append_set_limits(limits);
        DoaTimings timings;
        timings.restart_ms = 50;
        timings.flush_ms = 50;
        doa_set_timings(timings);
        ks_init_config_s c = DefaultConfig();
        ks_init_callback_s cb = DefaultCallbacks();
        cb.message_publish_cb = OnRecordPublish;
        cb.start_push_streaming_cb = OnAppStart;
        cb.stop_push_streaming_cb = OnAppStop;
        cb.on_push_streaming_cmd_cb = OnAppCmd;
        AppStreams::Get().Reset();
        ks_init_system_s sys = {0};
        ASSERT_EQ(0, ks_init(&c, &cb, &sys));
        ASSERT_EQ(0, Connect(&device_.auth));
        ASSERT_EQ(
            0, ks_control(KS_CONTROL_STORAGE_TRUST_ANCHOR, net_test::ReadFile(g_pki->ca).c_str()));
        factory_.reset(new DoaServiceFactory);
    }

    void TearDown() override {
        if (factory_) {
            OnQueue([&] { factory_->Clear(); });
        }
        ks_destroy();
        factory_.reset();
        if (HasFailure()) {
            auto lines = log_.Lines();
            size_t from = lines.size() > 60 ? lines.size() - 60 : 0;
            for (size_t i = from; i < lines.size(); ++i)
                fprintf(stderr, "  log| %s\n", lines[i].substr(0, 300).c_str());
            fprintf(stderr, "%s\n", net_test::ReadFile(g_home + "/storage/storage.log").c_str());
        }
        KivCa::SetExtraAnchor("");
        kiv_append_set_limits(KivAppendLimits());
        doa_set_timings(DoaTimings());
        doa_set_clock(nullptr);
    }

    static DoaServiceProperty Property(const std::string& id, int duration, int max_file = 0) {
        DoaServiceProperty p;
        p.id = id;
        p.duration = duration;
        p.max_single_file_duration = max_file;
        p.file_prefix = "rec";
        return p;
    }

    // A storage stream for device 0 with its buffer and audio codec.
    int AddStream(int dev_id = 0, unsigned kbps = 1000) {
        int id = factory_->AddDoa(dev_id, 100 + dev_id);
        factory_->SetBuffer(id, kbps);
        ks_audio_param_s audio{};
        audio.format = KS_AUDIO_FORMAT_AAC;
        audio.bits_per_sample = 1;
        audio.channel = 0;
        audio.sample_rate = 4;
        factory_->SetAudioCodec(id, &audio);
        return id;
    }

    SharedPtr<DoaStreamService> Stream(int id) {
        SharedPtr<DoaService> svc;
        EXPECT_TRUE(factory_->query(id, svc));
        return svc ? svc->Stream() : SharedPtr<DoaStreamService>();
    }

    // The frames of [from_ms, to_ms), their timestamps moved by shift_ms.
    void Feed(int id, uint32_t from_ms, uint32_t to_ms, uint32_t shift_ms = 0) {
        for (const Frame& f : g_frames) {
            if (f.ts < from_ms || f.ts >= to_ms)
                continue;
            const auto* p = reinterpret_cast<const unsigned char*>(f.data.data());
            if (f.video)
                factory_->AddVideoFrame(id, 0, f.key, p, static_cast<unsigned>(f.data.size()),
                                        f.ts + shift_ms);
            else
                factory_->AddAudioFrame(id, p, static_cast<unsigned>(f.data.size()),
                                        f.ts + shift_ms);
        }
    }

    bool WaitDrained(int id) {
        SharedPtr<DoaStreamService> s = Stream(id);
        return s && WaitFor([&] { return s->Drained(); });
    }

    // Every object of the stream that holds data: the store's appends to it
    // are contiguous from 0 to its size, it decodes without error and its
    // first video frame is a key frame. Returns how many there were.
    size_t CheckObjects(int id) { return CheckObjects(Stream(id)); }
    size_t CheckObjects(const SharedPtr<DoaStreamService>& stream) {
        size_t stored = 0;
        for (const std::string& key : stream->Objects()) {
            std::string path = ObjectPath(key);
            std::string data = net_test::ReadFile(path);
            if (data.empty())
                continue;
            ++stored;
            // The store logs an append just after answering it.
            long long expect = 0;
            bool contiguous = true;
            WaitFor(
                [&] {
                    expect = 0;
                    contiguous = true;
                    for (const AppendRecord& r : StoreLog()) {
                        if (r.key != key || r.status != 200)
                            continue;
                        contiguous = contiguous && r.position == expect;
                        expect = r.next;
                    }
                    return expect == static_cast<long long>(data.size());
                },
                2000);
            EXPECT_TRUE(contiguous) << key;
            EXPECT_EQ(static_cast<long long>(data.size()), expect) << key;
            int rc = -1;
            std::string err = Shell("ffmpeg -v error -xerror -i " + path + " -f null -", &rc);
            EXPECT_EQ(0, rc) << key << ": " << err;
            EXPECT_EQ("", err) << key;
            std::string first = Shell(
                "ffprobe -v error -select_streams v -read_intervals %+#1 -show_entries "
                "frame=key_frame -of csv=p=0 " +
                path);
            EXPECT_EQ("1", first.substr(0, 1)) << key << ": " << first;
        }
        return stored;
    }

    void Record(const std::string& method, const std::string& params) {
        ASSERT_EQ(0, SendMessage(&device_.auth, KS_MESSAGE_ADAPTER_TYPE_KESTREL, "",
                                 "/vision/biz/record/downstream",
                                 "{\"method\":\"" + method + "\",\"params\":" + params + "}"));
    }

    static std::string StartParams(const std::string& id, int stream_type) {
        return "{\"id\":\"" + id + "\",\"streamType\":" + std::to_string(stream_type) +
               ",\"recordType\":0,\"duration\":600,\"preDuration\":0,"
               "\"maxSingleFileDuration\":2,\"thumbnailId\":\"th\",\"filePrefix\":\"fp\"}";
    }

    // The application's answer to a start: configuration, then the frames
    // of [from_ms, to_ms) through the public API.
    static void AppFeed(int sid, uint32_t from_ms, uint32_t to_ms) {
        ks_audio_param_s audio{};
        audio.format = KS_AUDIO_FORMAT_AAC;
        audio.bits_per_sample = 1;
        audio.sample_rate = 4;
        ks_video_param_s video{};
        ks_stream_send_config_param_s config{};
        config.bitrate_kbps = 1000;
        config.video = &video;
        config.audio = &audio;
        ASSERT_EQ(0, ks_stream_send_config(sid, &config));
        for (const Frame& f : g_frames) {
            if (f.ts < from_ms || f.ts >= to_ms)
                continue;
            ks_stream_send_media_param_s m{};
            m.type = f.video ? 0 : 1;
            m.len = static_cast<uint32_t>(f.data.size());
            m.timestamp = f.ts;
            m.p = reinterpret_cast<unsigned char*>(const_cast<char*>(f.data.data()));
            m.key_frame = f.key ? 1 : 0;
            m.audio_format = KS_AUDIO_FORMAT_AAC;
            ASSERT_EQ(0, ks_stream_send_media(sid, &m));
        }
    }

    // The recording stream attached to a service id, or empty.
    static SharedPtr<DoaStreamService> RecordingOf(int sid) {
        SharedPtr<StreamRoute> route = Single<StreamSession>::Instance()->Manager()->Route(sid);
        if (!route || !route->recording)
            return SharedPtr<DoaStreamService>();
        return route->recording->Stream();
    }

    static int WaitStart(size_t n) {
        int sid = -1;
        WaitFor([&] {
            std::lock_guard<std::mutex> lock(AppStreams::Get().mutex);
            if (AppStreams::Get().starts.size() < n)
                return false;
            sid = AppStreams::Get().starts[n - 1].service_id;
            return true;
        });
        return sid;
    }

    static bool WaitStop(int sid) {
        return WaitFor([&] {
            std::lock_guard<std::mutex> lock(AppStreams::Get().mutex);
            for (int s : AppStreams::Get().stops)
                if (s == sid)
                    return true;
            return false;
        });
    }

    Identity device_{0, kPk, kDn, "ZGV2aWNlLXNlY3JldA=="};
    LogCapture log_;
    std::unique_ptr<DoaServiceFactory> factory_;
};

TEST_F(RecordStorageTest, ObjectsCutAtKeyFramesAfterTheLongestFileDuration) {
    int id = AddStream();
    OnQueue([&] { factory_->StartRecord(id, Property("r1", 600, 2)); });
    ASSERT_TRUE(WaitFor([&] { return Stream(id)->Started(); }));
    Feed(id, 0, 7000);
    ASSERT_TRUE(WaitDrained(id));
    // 2 s per object at one key frame a second: 0-2, 2-4, 4-6, 6-7.
    EXPECT_EQ(4u, Stream(id)->Objects().size());
    EXPECT_EQ(4u, CheckObjects(id));
    std::string info = Shell("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 " +
                             ObjectPath(Stream(id)->Objects()[1]));
    EXPECT_NE(std::string::npos, info.find("h264")) << info;
    EXPECT_NE(std::string::npos, info.find("aac")) << info;

    // Stopping the last recording closes the stream; credentials that come
    // later start nothing.
    OnQueue([&] { EXPECT_EQ(0, factory_->StopRecord(id, Property("r1", 0))); });
    EXPECT_FALSE(Stream(id)->Started());
    OnQueue([&] { DeviceEnv::Get()->Identify()->ForceStsUpdate(0); });
    OnQueue([] {});
    EXPECT_FALSE(Stream(id)->Started());
    OnQueue([&] { EXPECT_EQ(-1, factory_->StopRecord(id, Property("r1", 0))); });
    EXPECT_TRUE(log_.Contains("Stop record failed"));
}

TEST_F(RecordStorageTest, StoreFailureEndsTheObjectAndRecordingGoesOn) {
    struct Case {
        const char* mode;
        const char* log;
    } cases[] = {
        {"409", "answered 409"},
        {"403", "answered 403"},
        {"no-position", "without a usable next position"},
        {"drop", "the connection ended before the reply"},
        {"stall&seconds=2", "no reply in time"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        int id = AddStream();
        OnQueue([&] { factory_->StartRecord(id, Property("r-fault", 600)); });
        ASSERT_TRUE(WaitFor([&] { return Stream(id)->Started(); }));
        Feed(id, 0, 2000);
        ASSERT_TRUE(WaitDrained(id));
        ASSERT_EQ(1u, Stream(id)->Objects().size());
        Control("POST", std::string("/fault?mode=") + c.mode);
        Feed(id, 2000, 4000);
        ASSERT_TRUE(WaitFor([&] { return log_.Contains(c.log); }));
        // What was in flight is lost with the object; what follows is not.
        Feed(id, 4000, 7000);
        ASSERT_TRUE(WaitDrained(id));
        // The failed object ends where the store last agreed; the recording
        // goes on in a new object from the next key frame.
        EXPECT_GE(Stream(id)->Objects().size(), 2u);
        EXPECT_GE(CheckObjects(id), 2u);
        OnQueue([&] { factory_->DeleteDoa(id); });
        Control("POST", "/clear");
    }
}

// The store refuses the credentials once: new ones are asked of the cloud
// rather than the cached ones handed out again, and the recording goes on
// under them.
TEST_F(RecordStorageTest, ARefusedCredentialIsReplacedNotReused) {
    int id = AddStream();
    OnQueue([&] { factory_->StartRecord(id, Property("r-403", 600)); });
    ASSERT_TRUE(WaitFor([&] { return Stream(id)->Started(); }));
    Feed(id, 0, 2000);
    ASSERT_TRUE(WaitDrained(id));
    const int asked = g_cred_requests.load();
    {
        std::lock_guard<std::mutex> lock(g_creds_mutex);
        g_creds = FreshCredentials();  // what the cloud answers from now on
    }
    Control("POST", "/fault?mode=403&count=1");
    Feed(id, 2000, 4000);
    ASSERT_TRUE(WaitFor([&] { return log_.Contains("refused the credentials (403)"); }));
    ASSERT_TRUE(WaitFor([&] { return g_cred_requests.load() > asked; }));
    Feed(id, 4000, 7000);
    ASSERT_TRUE(WaitDrained(id));
    std::vector<std::string> objects = Stream(id)->Objects();
    ASSERT_GE(objects.size(), 2u);
    EXPECT_NE(objects.front().substr(0, objects.front().rfind('_')),
              objects.back().substr(0, objects.back().rfind('_')));
    EXPECT_GE(CheckObjects(id), 2u);
}

// Endpoints the client cannot use: every attempt gives back what it made,
// and the retries slow down with one line for the lot.
TEST_F(RecordStorageTest, UnusableEndpointsCostNoSocketAndBackOffQuietly) {
    DoaTimings timings = doa_timings();
    timings.restart_ms = 10;
    timings.restart_max_ms = 80;
    doa_set_timings(timings);
    std::string good;
    {
        std::lock_guard<std::mutex> lock(g_creds_mutex);
        good = g_creds;
    }
    const std::string endpoint = "device.test:" + std::to_string(g_store_port);
    for (const char* bad : {"https://host", "host:", "host:0", ":443"}) {
        SCOPED_TRACE(bad);
        std::string creds = good;
        size_t at = creds.find(endpoint);
        ASSERT_NE(std::string::npos, at) << creds;
        creds.replace(at, endpoint.size(), bad);
        {
            std::lock_guard<std::mutex> lock(g_creds_mutex);
            g_creds = creds;
        }
        // Cached before the recording asks, so this case's endpoint is the one used.
        ASSERT_EQ(0, SendMessage(&device_.auth, KS_MESSAGE_ADAPTER_TYPE_KESTREL, "",
                                 "/vision/pic/kiv/downstream",
                                 "{\"id\":\"7\",\"version\":\"1.0\",\"params\":" + creds + "}"));
        OnQueue([] {});
        size_t lines = log_.Count("Storage stream restarts");
        unsigned long sockets = NetConnector::SocketCount();
        int id = AddStream();
        OnQueue([&] { factory_->StartRecord(id, Property("r-bad", 600)); });
        SharedPtr<DoaService> svc;
        ASSERT_TRUE(factory_->query(id, svc));
        // 10, 20, 40, 80, 80, ... ms apart.
        ASSERT_TRUE(WaitFor([&] { return svc->RestartAttempts() >= 8; }));
        EXPECT_FALSE(Stream(id)->Started());
        EXPECT_TRUE(WaitFor([&] { return NetConnector::SocketCount() <= sockets; }))
            << NetConnector::SocketCount() << " sockets, " << sockets << " before";
        EXPECT_EQ(lines + 1, log_.Count("Storage stream restarts"));
        EXPECT_TRUE(log_.Contains(std::string("storage endpoint '") + bad + "' unusable"));
        OnQueue([&] { factory_->DeleteDoa(id); });
    }
}

// H.264 access unit `au` (its slice last) grown to about `size` bytes by
// cabac_zero_words after the slice data, which decoders skip.
std::string Padded(const std::string& au, size_t size) {
    std::string out = au;
    while (out.size() + 3 <= size)
        out.append("\0\0\3", 3);
    return out;
}

// A batch already large when a huge key frame comes must be sent first: one
// append holding both would not fit the socket's queue and the object would
// be lost.
TEST_F(RecordStorageTest, AppendsStayWithinTheSendLimitAroundAHugeKeyFrame) {
    int id = AddStream(0, 8000);
    bool padded_p = false;
    // Queued before the connection exists, so the first turns batch as much
    // as they may: a 200 KiB frame, then a 900 KiB key frame.
    for (const Frame& f : g_frames) {
        if (f.ts >= 4000)
            break;
        std::string data = f.data;
        if (f.video && !f.key && !padded_p) {
            data = Padded(f.data, 200 * 1024);
            padded_p = true;
        } else if (f.video && f.key && f.ts == 1000) {
            data = Padded(f.data, 900 * 1024);
        }
        const auto* p = reinterpret_cast<const unsigned char*>(data.data());
        if (f.video)
            factory_->AddVideoFrame(id, 0, f.key, p, static_cast<unsigned>(data.size()), f.ts);
        else
            factory_->AddAudioFrame(id, p, static_cast<unsigned>(data.size()), f.ts);
    }
    OnQueue([&] { factory_->StartRecord(id, Property("r-big", 600)); });
    ASSERT_TRUE(WaitFor([&] { return Stream(id)->Started(); }));
    ASSERT_TRUE(WaitDrained(id));
    EXPECT_FALSE(log_.Contains("could not be queued"));
    ASSERT_EQ(1u, Stream(id)->Objects().size());
    EXPECT_EQ(1u, CheckObjects(id));
    size_t appends = 0;
    for (const AppendRecord& r : StoreLog()) {
        if (r.status != 200)
            continue;
        ++appends;
        EXPECT_LE(r.next - r.position, static_cast<long long>(DoaStreamService::kAppendMax));
    }
    EXPECT_GE(appends, 2u);
    EXPECT_GT(net_test::ReadFile(ObjectPath(Stream(id)->Objects()[0])).size(), 1100u * 1024);
}

// A recording that runs for long keeps the names of its newest objects only.
TEST_F(RecordStorageTest, ALongRecordingKeepsOnlyItsNewestObjectKeys) {
    int id = AddStream();
    OnQueue([&] { factory_->StartRecord(id, Property("r-long", 600, 1)); });
    ASSERT_TRUE(WaitFor([&] { return Stream(id)->Started(); }));
    for (uint32_t round = 0; round < 5; ++round) {
        Feed(id, 0, 8000, round * 8000);
        ASSERT_TRUE(WaitDrained(id));
    }
    std::vector<std::string> objects = Stream(id)->Objects();
    EXPECT_EQ(DoaStreamService::kObjectsKept, objects.size());
    // The newest is the one the store heard of last.
    EXPECT_TRUE(WaitFor([&] {
        std::vector<AppendRecord> log = StoreLog();
        return !log.empty() && log.back().key == objects.back();
    }));
}

TEST_F(RecordStorageTest, NewCredentialsTakeEffectAtTheNextObject) {
    int id = AddStream();
    OnQueue([&] { factory_->StartRecord(id, Property("r-creds", 600)); });
    ASSERT_TRUE(WaitFor([&] { return Stream(id)->Started(); }));
    Feed(id, 0, 1500);
    ASSERT_TRUE(WaitDrained(id));
    std::string answer = "{\"id\":\"9\",\"version\":\"1.0\",\"params\":" + FreshCredentials() + "}";
    ASSERT_EQ(0, SendMessage(&device_.auth, KS_MESSAGE_ADAPTER_TYPE_KESTREL, "",
                             "/vision/pic/kiv/downstream", answer));
    ASSERT_TRUE(WaitFor([&] { return log_.Contains("used from the next object"); }));
    Feed(id, 1500, 4000);
    ASSERT_TRUE(WaitDrained(id));
    std::vector<std::string> objects = Stream(id)->Objects();
    ASSERT_EQ(2u, objects.size());
    // The name prefix carries the token's digest: the second object was
    // written under the new token, on the same connection.
    EXPECT_NE(objects[0].substr(0, objects[0].rfind('_')),
              objects[1].substr(0, objects[1].rfind('_')));
    EXPECT_EQ(2u, CheckObjects(id));
}

TEST_F(RecordStorageTest, CredentialsOfAnotherDeviceStartNothing) {
    int other = AddStream(5);  // device 5 is never answered
    OnQueue([&] { factory_->StartRecord(other, Property("r-other", 600)); });
    int mine = AddStream(0);
    OnQueue([&] { factory_->StartRecord(mine, Property("r-mine", 600)); });
    ASSERT_TRUE(WaitFor([&] { return Stream(mine)->Started(); }));
    OnQueue([] {});
    EXPECT_FALSE(Stream(other)->Started());
}

TEST_F(RecordStorageTest, AStreamTakesABoundedNumberOfRecordings) {
    int id = AddStream(5);
    OnQueue([&] {
        for (size_t i = 0; i < DoaService::kMaxRecordings; ++i)
            EXPECT_EQ(0, factory_->StartRecord(id, Property("m" + std::to_string(i), 600)));
        EXPECT_EQ(-1, factory_->StartRecord(id, Property("one-more", 600)));
        EXPECT_EQ(0, factory_->StartRecord(id, Property("m3", 900)));  // a restart of one it has
    });
    EXPECT_TRUE(log_.Contains("refused: 64 recordings already"));
}

std::atomic<uint64_t> g_fake_ms{0};
uint64_t FakeClock() {
    return g_fake_ms;
}

TEST_F(RecordStorageTest, RecordingsEndWhenTheirDurationRunsOut) {
    g_fake_ms = 1000000;
    doa_set_clock(&FakeClock);
    int id = AddStream();
    SharedPtr<DoaService> svc;
    ASSERT_TRUE(factory_->query(id, svc));
    OnQueue([&] {
        factory_->StartRecord(id, Property("a", 5));
        factory_->StartRecord(id, Property("b", 10));
    });
    ASSERT_TRUE(WaitFor([&] { return Stream(id)->Started(); }));
    struct Step {
        uint64_t at_ms;
        const char* update;  // id extended by 5 s at this time, or null
        size_t left;
        bool started;
    } steps[] = {
        {4000, "a", 2, true},  // a now ends at 9 s
        {6000, nullptr, 2, true},
        {9500, nullptr, 1, true},
        {10500, nullptr, 0, false},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.at_ms);
        g_fake_ms = 1000000 + s.at_ms;
        OnQueue([&] {
            if (s.update) {
                EXPECT_EQ(0, factory_->UpdateRecord(id, Property(s.update, 5)));
            }
            factory_->CheckRecords(id);
        });
        EXPECT_EQ(s.left, svc->Recordings());
        EXPECT_EQ(s.started, Stream(id)->Started());
    }
    OnQueue([&] { EXPECT_EQ(-1, factory_->UpdateRecord(id, Property("a", 5))); });
    EXPECT_TRUE(log_.Contains("Update record failed"));
}

TEST_F(RecordStorageTest, RecordTopicStartsUpdatesAndStopsAStreamOfItsOwn) {
    Record("startRecord", StartParams("c1", 1));
    int sid = WaitStart(1);
    ASSERT_GT(sid, 0);
    {
        std::lock_guard<std::mutex> lock(AppStreams::Get().mutex);
        EXPECT_EQ(KS_STREAM_CMD_LIVE, AppStreams::Get().starts[0].stream_cmd_type);
        EXPECT_EQ(1, AppStreams::Get().starts[0].record_stream_type);
    }
    // A second recording of the same stream shares it: no second start.
    Record("startRecord", StartParams("c2", 1));
    SharedPtr<DoaStreamService> stream;
    ASSERT_TRUE(WaitFor([&] { return (stream = RecordingOf(sid)) && stream->Started(); }));
    AppFeed(sid, 0, 5000);
    ASSERT_TRUE(WaitFor([&] { return stream->Drained(); }));
    EXPECT_EQ(3u, CheckObjects(stream));

    Record("updateRecord", "{\"id\":\"c1\",\"streamType\":1,\"duration\":900}");
    ASSERT_TRUE(WaitFor([&] { return log_.Contains("Update record c1, duration = 900 s"); }));
    Record("stopRecord", "{\"id\":\"c1\",\"streamType\":1}");
    ASSERT_TRUE(WaitFor([&] { return log_.Contains("Stop record c1"); }));
    EXPECT_TRUE(stream->Started());  // c2 still records
    Record("stopRecord", "{\"id\":\"c2\",\"streamType\":1}");
    ASSERT_TRUE(WaitStop(sid));
    EXPECT_FALSE(stream->Started());
    EXPECT_EQ(0u, Single<StreamSession>::Instance()->Manager()->Size());
    Record("stopRecord", "{\"id\":\"c2\",\"streamType\":1}");
    ASSERT_TRUE(WaitFor([&] { return log_.Contains("No doa exist"); }));
    std::lock_guard<std::mutex> lock(AppStreams::Get().mutex);
    EXPECT_EQ(1u, AppStreams::Get().starts.size());
}

TEST_F(RecordStorageTest, BadRecordRequestsAreRefusedWithoutARecording) {
    const char* bad_params[] = {
        "{\"id\":5,\"streamType\":0,\"recordType\":0,\"duration\":600,\"preDuration\":0,"
        "\"maxSingleFileDuration\":0,\"thumbnailId\":\"t\",\"filePrefix\":\"f\"}",
        "{\"id\":\"b\",\"streamType\":\"0\",\"recordType\":0,\"duration\":600,"
        "\"preDuration\":0,\"maxSingleFileDuration\":0,\"thumbnailId\":\"t\",\"filePrefix\":"
        "\"f\"}",
        "{\"id\":\"b\",\"streamType\":0,\"recordType\":0,\"preDuration\":0,"
        "\"maxSingleFileDuration\":0,\"thumbnailId\":\"t\",\"filePrefix\":\"f\"}",
        "{\"id\":\"b\",\"streamType\":0,\"recordType\":0,\"duration\":0,\"preDuration\":0,"
        "\"maxSingleFileDuration\":0,\"thumbnailId\":\"t\",\"filePrefix\":\"f\"}",
        "{\"id\":\"b\",\"streamType\":0,\"recordType\":0,\"duration\":1e300,"
        "\"preDuration\":0,\"maxSingleFileDuration\":0,\"thumbnailId\":\"t\",\"filePrefix\":"
        "\"f\"}",
        "{\"id\":\"b\",\"streamType\":0.5,\"recordType\":0,\"duration\":60,"
        "\"preDuration\":0,\"maxSingleFileDuration\":0,\"thumbnailId\":\"t\",\"filePrefix\":"
        "\"f\"}",
        "{\"id\":\"b\",\"streamType\":0,\"recordType\":0,\"duration\":60,\"preDuration\":0,"
        "\"maxSingleFileDuration\":0,\"thumbnailId\":\"t\"}",
    };
    for (const char* p : bad_params) {
        log_.Clear();
        Record("startRecord", p);
        EXPECT_TRUE(WaitFor([&] { return log_.Contains("Json parse failed"); })) << p;
    }
    const char* bad_messages[] = {
        "not json {",
        "[]",
        "{\"method\":\"startRecord\"}",
        "{\"method\":\"startRecord\",\"params\":[1]}",
        "{\"method\":\"eraseRecord\",\"params\":{}}",
        "{\"method\":7,\"params\":{}}",
    };
    for (const char* m : bad_messages) {
        log_.Clear();
        ASSERT_EQ(0, SendMessage(&device_.auth, KS_MESSAGE_ADAPTER_TYPE_KESTREL, "",
                                 "/vision/biz/record/downstream", m));
        EXPECT_TRUE(WaitFor([&] { return log_.Contains("Json parse failed, value = "); })) << m;
    }
    log_.Clear();
    Record("updateRecord", "{\"id\":\"b1\",\"streamType\":0}");
    EXPECT_TRUE(WaitFor([&] { return log_.Contains("Json parse failed"); }));
    Record("stopRecord", "{\"id\":\"none\",\"streamType\":0}");
    EXPECT_TRUE(WaitFor([&] { return log_.Contains("No doa exist"); }));
    EXPECT_EQ(0u, Single<StreamSession>::Instance()->Manager()->Size());
    std::lock_guard<std::mutex> lock(AppStreams::Get().mutex);
    EXPECT_TRUE(AppStreams::Get().starts.empty());
}

// A relay server that takes the connection, never answers, and drops it on
// demand.
class SilentRelay {
  public:
    SilentRelay() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        port_ = net_test::FreePort(SOCK_STREAM);
        a.sin_port = htons(static_cast<uint16_t>(port_));
        ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd_, 4) == 0;
    }
    ~SilentRelay() {
        Drop();
        close(fd_);
    }
    bool ok() const { return ok_; }
    int port() const { return port_; }
    bool Accept() {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 8000) != 1)
            return false;
        conn_ = accept(fd_, nullptr, nullptr);
        return conn_ >= 0;
    }
    void Drop() {
        if (conn_ >= 0)
            close(conn_);
        conn_ = -1;
    }

  private:
    int fd_ = -1, conn_ = -1, port_ = 0;
    bool ok_ = false;
};

TEST_F(RecordStorageTest, RecordingSharesTheLiveStreamAndOutlivesItsRelay) {
    SilentRelay relay;
    ASSERT_TRUE(relay.ok());
    std::string url =
        "rtmp://127.0.0.1:" + std::to_string(relay.port()) + "/live?token=tok&private=0/cam";
    ASSERT_EQ(0,
              SendMessage(&device_.auth, KS_MESSAGE_ADAPTER_TYPE_TSL_SERVICE, "m1",
                          "StartPushStreaming", "{\"PushUrl\":\"" + url + "\",\"StreamType\":0}"));
    int sid = WaitStart(1);
    ASSERT_GT(sid, 0);
    ASSERT_TRUE(relay.Accept());
    AppFeed(sid, 0, 1000);  // the live stream runs before the recording

    Record("startRecord", StartParams("s1", 0));
    SharedPtr<DoaStreamService> stream;
    ASSERT_TRUE(WaitFor([&] { return (stream = RecordingOf(sid)) && stream->Started(); }));
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> lock(AppStreams::Get().mutex);
        for (auto& c : AppStreams::Get().cmds)
            if (c.first == sid && c.second == KS_LIVE_REQUEST_I_FRAME)
                return true;
        return false;
    }));
    AppFeed(sid, 1000, 3000);
    ASSERT_TRUE(WaitFor([&] { return stream->Drained(); }));
    EXPECT_EQ(1u, CheckObjects(stream));

    // The relay's connection ends; the recording keeps the stream.
    relay.Drop();
    ASSERT_TRUE(WaitFor([&] { return log_.Contains("the recording keeps the stream"); }));
    AppFeed(sid, 3000, 6000);
    ASSERT_TRUE(WaitFor([&] { return stream->Drained(); }));
    EXPECT_EQ(3u, CheckObjects(stream));
    {
        std::lock_guard<std::mutex> lock(AppStreams::Get().mutex);
        EXPECT_TRUE(AppStreams::Get().stops.empty());
        EXPECT_EQ(1u, AppStreams::Get().starts.size());
    }
    Record("stopRecord", "{\"id\":\"s1\",\"streamType\":0}");
    ASSERT_TRUE(WaitStop(sid));
}

TEST_F(RecordStorageTest, ALiveStreamStartedAndStoppedDuringARecordingLeavesItRunning) {
    Record("startRecord", StartParams("l1", 0));
    int rec_sid = WaitStart(1);
    ASSERT_GT(rec_sid, 0);
    SharedPtr<DoaStreamService> stream;
    ASSERT_TRUE(WaitFor([&] { return (stream = RecordingOf(rec_sid)) && stream->Started(); }));
    AppFeed(rec_sid, 0, 2000);

    SilentRelay relay;
    ASSERT_TRUE(relay.ok());
    std::string url =
        "rtmp://127.0.0.1:" + std::to_string(relay.port()) + "/live?token=tok&private=0/cam";
    ASSERT_EQ(0,
              SendMessage(&device_.auth, KS_MESSAGE_ADAPTER_TYPE_TSL_SERVICE, "m2",
                          "StartPushStreaming", "{\"PushUrl\":\"" + url + "\",\"StreamType\":0}"));
    int live_sid = WaitStart(2);
    ASSERT_GT(live_sid, 0);
    EXPECT_NE(rec_sid, live_sid);
    ASSERT_TRUE(relay.Accept());
    relay.Drop();
    ASSERT_TRUE(WaitStop(live_sid));

    AppFeed(rec_sid, 2000, 5000);
    ASSERT_TRUE(WaitFor([&] { return stream->Drained(); }));
    EXPECT_TRUE(stream->Started());
    EXPECT_EQ(3u, CheckObjects(stream));
    {
        std::lock_guard<std::mutex> lock(AppStreams::Get().mutex);
        EXPECT_EQ(1u, AppStreams::Get().stops.size());
    }
    Record("stopRecord", "{\"id\":\"l1\",\"streamType\":0}");
    ASSERT_TRUE(WaitStop(rec_sid));
}

}  // namespace
