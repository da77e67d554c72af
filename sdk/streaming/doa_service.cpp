#include "sdk/streaming/doa_service.h"

#include <cassert>
#include <algorithm>
#include <cinttypes>
#include <functional>
#include <mutex>

#include "core/logger.h"
#include "core/time.h"
#include "net/task_queue.h"
#include "sdk/device_env.h"
#include "sdk/storage/kiv_ca.h"

namespace kestrel {

namespace {

std::mutex g_timing_mutex;
DoaTimings g_timings;
std::atomic<uint64_t (*)()> g_clock{nullptr};

uint64_t NowMs() {
    uint64_t (*clock)() = g_clock.load();
    return clock ? clock() : Time::GetSystemTimeInt(0);
}

bool SameCredentials(const KivUploadIdentify& a, const KivUploadIdentify& b) {
    return a.sts_token_ == b.sts_token_ && a.access_key_ == b.access_key_ &&
           a.access_secret_ == b.access_secret_ && a.file_name_prefix_ == b.file_name_prefix_ &&
           a.content_type_ == b.content_type_;
}

// The per-connection handler: forwards to the stream with the connection's
// generation, so a late event of a closed connection is told apart, and
// holds the stream only weakly (the engine owns the connection).
class DoaLink : public DoaClientHandler {
  public:
    DoaLink(WeakPtr<DoaStreamService> owner, unsigned gen) : owner_(owner), gen_(gen) {}
    void OnConnect() override {
        if (SharedPtr<DoaStreamService> s = owner_.Lock())
            s->onLinkConnect(gen_);
    }
    void OnClose(int reason) override {
        if (SharedPtr<DoaStreamService> s = owner_.Lock())
            s->onLinkClose(gen_, reason);
    }
    void OnStatus(int status) override {
        if (SharedPtr<DoaStreamService> s = owner_.Lock())
            s->onLinkStatus(gen_, status);
    }
    int OnWrite() override {
        SharedPtr<DoaStreamService> s = owner_.Lock();
        return s ? s->onLinkWrite(gen_) : -1;
    }

  private:
    WeakPtr<DoaStreamService> owner_;
    unsigned gen_;
};

// A task that runs only while its service still exists.
class DoaTask : public TaskEntry {
  public:
    DoaTask(WeakPtr<DoaService> svc, std::function<void(DoaService&)> fn)
        : svc_(std::move(svc)), fn_(std::move(fn)) {}
    void Run() override {
        if (SharedPtr<DoaService> s = svc_.Lock())
            fn_(*s);
    }

  private:
    WeakPtr<DoaService> svc_;
    std::function<void(DoaService&)> fn_;
};

}  // namespace

void doa_set_timings(const DoaTimings& timings) {
    std::lock_guard<std::mutex> lock(g_timing_mutex);
    g_timings = timings;
}

DoaTimings doa_timings() {
    std::lock_guard<std::mutex> lock(g_timing_mutex);
    return g_timings;
}

void doa_set_clock(uint64_t (*clock)()) {
    g_clock.store(clock);
}

// --- DoaStreamService --------------------------------------------------------

DoaStreamService::DoaStreamService(const char* ca, size_t ca_len)
    : ca_(ca ? std::string(ca, ca_len) : std::string()) {}

DoaStreamService::~DoaStreamService() = default;

SharedPtr<DoaStreamService> DoaStreamService::Create(const char* ca, size_t ca_len) {
    SharedPtr<DoaStreamService> self(new DoaStreamService(ca, ca_len));
    self->self_ = self;
    return self;
}

void DoaStreamService::SetDeviceInfo(int dev_id, int service_id) {
    dev_id_ = dev_id;
    service_id_ = service_id;
    label_ = "[Cloud " + std::to_string(service_id) + "]";
}

unsigned DoaStreamService::BufferSizeFor(unsigned kbps) {
    unsigned base = kbps < 1024   ? 1024
                    : kbps < 2048 ? 2048
                    : kbps < 3072 ? 3072
                    : kbps < 4096 ? 4096
                    : kbps < 6144 ? 6144
                                  : 8196;
    return base * 1280;
}

void DoaStreamService::SetBuffer(unsigned kbps) {
    MutexGuard guard(mutex_);
    if (ring_owner_) {
        return;
    }
    ring_owner_.reset(new FrameRingBuffer(BufferSizeFor(kbps), "Doa"));
    ring_.store(ring_owner_.get(), std::memory_order_release);
    KS_LOGI("%s Set buffer, bitrate = %u kbps, size = %u", label_.c_str(), kbps,
            ring_owner_->GetSize());
}

void DoaStreamService::SetAudioCodec(const ks_audio_param_s* audio) {
    if (!audio) {
        KS_LOGE("%s Illegal input", label_.c_str());
        return;
    }
    MutexGuard guard(mutex_);
    audio_ = *audio;
    audio_pending_ = true;
}

void DoaStreamService::SetEncryption(const std::string& key, const std::string& iv) {
    MutexGuard guard(mutex_);
    key_ = key;
    iv_ = iv;
    encryption_pending_ = true;
}

void DoaStreamService::SetMaxObjectDuration(int seconds) {
    MutexGuard guard(mutex_);
    max_object_ms_ = seconds > 0 ? seconds * 1000 : 0;
}

void DoaStreamService::requestWrite() {
    SharedPtr<DoaClient> client;
    {
        MutexGuard guard(mutex_);
        client = client_.Lock();
    }
    if (client) {
        client->RequestWrite();
    }
}

int DoaStreamService::AddVideoFrame(int format, bool key, const unsigned char* data, unsigned len,
                                    unsigned ts) {
    FrameRingBuffer* ring = ring_.load(std::memory_order_acquire);
    if (!ring) {
        KS_LOGE("%s Set buffer before add data", label_.c_str());
        return -1;
    }
    if (!data || len == 0) {
        KS_LOGE("%s Invalid buffer parameter", label_.c_str());
        return -1;
    }
    MediaSpecialInfo desc{1, ts, key ? 1u : 0u, static_cast<uint32_t>(format), 0};
    drained_ = false;
    int ret = ring->DataOneFrameIn(data, len, &desc, sizeof desc);
    requestWrite();
    return ret;
}

int DoaStreamService::AddAudioFrame(const unsigned char* data, unsigned len, unsigned ts) {
    FrameRingBuffer* ring = ring_.load(std::memory_order_acquire);
    if (!ring) {
        KS_LOGE("%s Set buffer before add data", label_.c_str());
        return -1;
    }
    if (!data || len == 0) {
        KS_LOGE("%s Invalid buffer parameter", label_.c_str());
        return -1;
    }
    MediaSpecialInfo desc{2, ts, 0, 0, 0};
    drained_ = false;
    int ret = ring->DataOneFrameIn(data, len, &desc, sizeof desc);
    requestWrite();
    return ret;
}

int DoaStreamService::Start(unsigned short port, const KivUploadIdentify& identity,
                            std::string* why) {
    auto refuse = [why](const std::string& reason) {
        if (why)
            *why = reason;
        return -1;
    };
    if (started_) {
        MutexGuard guard(mutex_);
        if (!SameCredentials(identity, identity_)) {
            identity_ = identity;
            identity_pending_ = true;
            KS_LOGI("%s New storage credentials, used from the next object", label_.c_str());
        }
        return 0;
    }
    // Checked before anything is made: an endpoint the cloud keeps sending
    // must not cost a socket per attempt.
    if (!KivUploadAppend::EndpointUsable(identity.endpoint_)) {
        return refuse("storage endpoint '" + identity.endpoint_.substr(0, 64) + "' unusable");
    }
    unsigned gen;
    {
        MutexGuard guard(mutex_);
        gen = ++generation_;
        identity_ = identity;
        identity_pending_ = false;
        link_token_ = identity.sts_token_;
        refused_token_.clear();
    }
    stored_since_start_ = false;
    SharedPtr<DoaClientHandler> link(new DoaLink(self_, gen));
    SharedPtr<DoaClient> client = DoaClient::Create(link, ca_.c_str(), ca_.size());
    if (!client) {
        return refuse("no connection available");
    }
    {
        MutexGuard guard(mutex_);
        client_ = client;
    }
    if (client->Connect(port, identity) != 0) {
        {
            MutexGuard guard(mutex_);
            client_ = WeakPtr<DoaClient>();
            ++generation_;  // its close is no news to anyone
        }
        client->Close();
        return refuse("the storage connection could not be started");
    }
    started_ = true;
    KS_LOGI("%s Storage stream started, endpoint %s", label_.c_str(), identity.endpoint_.c_str());
    return 0;
}

void DoaStreamService::Close() {
    SharedPtr<DoaClient> client;
    {
        MutexGuard guard(mutex_);
        client = client_.Lock();
        client_ = WeakPtr<DoaClient>();
        ++generation_;  // whatever the old connection still reports is stale
    }
    if (client) {
        client->Close();
    }
    if (started_) {
        KS_LOGI("%s Storage stream closed", label_.c_str());
    }
    started_ = false;
}

SharedPtr<DoaClient> DoaStreamService::current(unsigned gen) {
    MutexGuard guard(mutex_);
    if (gen != generation_) {
        return SharedPtr<DoaClient>();
    }
    return client_.Lock();
}

int DoaStreamService::Attach(void* context, StatusCallback callback) {
    MutexGuard guard(observer_mutex_);
    int id = ++next_observer_;
    observers_[id] = {context, callback};
    return id;
}

void DoaStreamService::Detach(int id) {
    MutexGuard guard(observer_mutex_);
    observers_.erase(id);
}

void DoaStreamService::notify(int status) {
    OnStatusParam param{status, dev_id_, service_id_};
    MutexGuard guard(observer_mutex_);
    for (auto& o : observers_) {
        if (o.second.second) {
            o.second.second(o.second.first, param);
        }
    }
}

std::vector<std::string> DoaStreamService::Objects() {
    MutexGuard guard(mutex_);
    return std::vector<std::string>(objects_.begin(), objects_.end());
}

std::string DoaStreamService::TakeRefusedToken() {
    MutexGuard guard(mutex_);
    std::string token;
    token.swap(refused_token_);
    return token;
}

void DoaStreamService::onLinkConnect(unsigned gen) {
    SharedPtr<DoaClient> client = current(gen);
    if (!client) {
        return;
    }
    turn_.Drop();
    object_open_ = false;
    batch_started_ = 0;
    {
        MutexGuard guard(mutex_);
        audio_pending_ = audio_pending_ || audio_.format != 0 || audio_.sample_rate != 0;
        encryption_pending_ = encryption_pending_ || !key_.empty();
    }
    onLinkWrite(gen);
}

void DoaStreamService::onLinkClose(unsigned gen, int reason) {
    {
        MutexGuard guard(mutex_);
        if (gen != generation_) {
            return;
        }
        if (reason == kKivCloseRefused) {
            refused_token_ = link_token_;
        }
    }
    turn_.Drop();
    object_open_ = false;
    KS_LOGW("%s Storage connection closed (%d), the object is abandoned", label_.c_str(), reason);
    notify(1);
}

void DoaStreamService::onLinkStatus(unsigned gen, int status) {
    if (current(gen) && status == FlvMux::STATUS_VIDEO_FORMAT_CHANGED) {
        cut_requested_ = true;
    }
}

void DoaStreamService::applySettings(DoaClient& client) {
    bool audio = false, encryption = false;
    ks_audio_param_s a{};
    std::string key, iv;
    {
        MutexGuard guard(mutex_);
        std::swap(audio, audio_pending_);
        std::swap(encryption, encryption_pending_);
        a = audio_;
        key = key_;
        iv = iv_;
    }
    if (encryption && client.SetEncryption(key, iv) != FLV_OK) {
        KS_LOGE("%s Encryption refused: %s", label_.c_str(), flv_result_text(FLV_BAD_ENCRYPTION));
    }
    if (audio) {
        int f = a.format == KS_AUDIO_FORMAT_G711A   ? AUDIO_FORMAT_G711A
                : a.format == KS_AUDIO_FORMAT_AAC   ? AUDIO_FORMAT_AAC
                : a.format == KS_AUDIO_FORMAT_G711U ? AUDIO_FORMAT_G711U
                                                    : AUDIO_FORMAT_AAC;
        int r = client.SetAudioCodec(static_cast<AudioFormat>(f),
                                     static_cast<AudioBit>(a.bits_per_sample),
                                     static_cast<AudioChannel>(a.channel), AUDIO_RATE_44K,
                                     static_cast<AudioAdditionalRate>(a.sample_rate));
        if (r != FLV_OK) {
            KS_LOGE("%s Audio codec refused: %s", label_.c_str(), flv_result_text(r));
        }
    }
}

bool DoaStreamService::cutDue(const MediaSpecialInfo& d, bool object_open) const {
    if (!object_open || cut_requested_ || static_cast<int>(d.format) != object_format_) {
        return true;
    }
    int max_ms;
    {
        MutexGuard guard(mutex_);
        max_ms = max_object_ms_;
        if (identity_pending_)
            return true;
    }
    if (max_ms > 0 && d.timestamp - object_start_ts_ >= static_cast<uint32_t>(max_ms)) {
        return true;
    }
    // Time going back, or leaping forward, cannot live in one playable file.
    return d.timestamp < last_video_ts_ || d.timestamp - last_video_ts_ > doa_timings().gap_ms;
}

std::string DoaStreamService::newObjectName() {
    char name[64];
    snprintf(name, sizeof name, "%u%lu", object_counter_++, Time::GetSystemTimeInt(0));
    return std::string(name) + ".flv";
}

WriteTurn::Verdict DoaStreamService::sendFrame(DoaClient& client, const MediaSpecialInfo& d,
                                               const unsigned char* data, unsigned len) {
    const char* p = reinterpret_cast<const char*>(data);
    if (d.media == 2) {
        if (!object_open_) {
            ++dropped_frames_;
            return WriteTurn::kTaken;
        }
        bool log = audio_count_++ % 101 == 0;
        if (log) {
            KS_LOGI("%s Send audio, time = %u, size = %u", label_.c_str(), d.timestamp, len);
        }
        int r = client.SendAudio(p, len, d.timestamp);
        // Audio before its codec is known is dropped; said now and then only.
        if (r != FLV_OK && (r != FLV_NO_AUDIO_CODEC || log)) {
            KS_LOGE("%s Audio frame not stored: %s", label_.c_str(), flv_result_text(r));
        }
        return WriteTurn::kTaken;
    }
    if (d.key_frame && cutDue(d, object_open_)) {
        if (object_open_ && client.Batched() > 0) {
            return WriteTurn::kHoldBack;  // the old object's tail goes first
        }
        KivUploadIdentify identity;
        bool switch_identity;
        std::string name;
        {
            MutexGuard guard(mutex_);
            switch_identity = identity_pending_;
            identity_pending_ = false;
            identity = identity_;
            if (switch_identity)
                link_token_ = identity.sts_token_;
            name = newObjectName();
        }
        if (client.SetObject(name, d.timestamp, switch_identity ? &identity : nullptr) != 0) {
            KS_LOGE("%s New object refused", label_.c_str());
            return WriteTurn::kStop;
        }
        {
            MutexGuard guard(mutex_);
            objects_.push_back(client.Key());
            if (objects_.size() > kObjectsKept)
                objects_.pop_front();  // a recording may run for months
        }
        object_open_ = true;
        object_format_ = static_cast<int>(d.format);
        object_start_ts_ = d.timestamp;
        cut_requested_ = false;
        KS_LOGI("%s New object %s", label_.c_str(), name.c_str());
        notify(0);
    }
    if (!object_open_ || (skip_to_key_ && !d.key_frame)) {
        ++dropped_frames_;
        return WriteTurn::kTaken;
    }
    skip_to_key_ = false;
    if (d.key_frame) {
        KS_LOGI("%s send I frame, time = %u, size = %u", label_.c_str(), d.timestamp, len);
    }
    last_video_ts_ = d.timestamp;
    int r = client.SendVideo(static_cast<int>(d.format), static_cast<int>(d.key_frame), p, len,
                             d.timestamp);
    if (r != FLV_OK) {
        KS_LOGE("%s Video frame not stored: %s", label_.c_str(), flv_result_text(r));
    }
    return WriteTurn::kTaken;
}

int DoaStreamService::onLinkWrite(unsigned gen) {
    SharedPtr<DoaClient> client = current(gen);
    if (!client) {
        return -1;
    }
    FrameRingBuffer* ring = ring_.load(std::memory_order_acquire);
    if (!ring || !client->Idle()) {
        return 0;
    }
    applySettings(*client);
    bool refused = false;
    WriteTurn::End end =
        turn_.Run(*ring, kWriteBudget, label_, [&](const WriteTurn::Frame& f) {
            return takeFrame(*client, *ring, f, refused);
        });
    if (end == WriteTurn::kStopped && refused) {
        client->Close();
        return -1;
    }
    if (flushIfDue(*client) != 0) {
        return -1;
    }
    bytes_stored_.store(client->BytesAppended());
    if (client->BytesAppended() > 0)
        stored_since_start_ = true;
    drained_ =
        client->Idle() && client->Batched() == 0 && !turn_.Holding() && ring->GetDataUsed() == 0;
    return 0;
}

WriteTurn::Verdict DoaStreamService::takeFrame(DoaClient& client, FrameRingBuffer& ring,
                                               const WriteTurn::Frame& f, bool& refused) {
    // A full batch goes before anything more is read into it.
    if (client.Batched() >= DoaClient::kBatchBytes) {
        return WriteTurn::kHoldBack;
    }
    const MediaSpecialInfo& d = f.desc;
    if (d.media != 1 && d.media != 2) {
        KS_LOGE("%s Unknown media type = %d, timestamp = %u, key_frame = %d", label_.c_str(),
                static_cast<int>(d.media), d.timestamp, static_cast<int>(d.key_frame));
        ring.CleanAllFrameData();
        turn_.Drop();
        return WriteTurn::kStop;
    }
    // Every append must fit the socket's queue whole, else it fails and
    // the object with it: a frame that cannot fit even alone is dropped,
    // one that does not fit behind the batch waits for the next.
    size_t need = static_cast<size_t>(f.len) + kFrameReserve;
    if (need > kAppendMax) {
        KS_LOGE("%s %s frame of %u bytes dropped: more than one append can carry",
                label_.c_str(), d.media == 1 ? "Video" : "Audio", f.len);
        ++dropped_frames_;
        if (d.media == 1)
            skip_to_key_ = true;  // the frames after it refer to it
        return WriteTurn::kTaken;
    }
    if (client.Batched() > 0 && client.Batched() + need > kAppendMax) {
        return WriteTurn::kHoldBack;
    }
    WriteTurn::Verdict v = sendFrame(client, d, f.data, f.len);
    refused = v == WriteTurn::kStop;
    return v;
}

// Few large appends rather than one per frame: a batch goes when it is full,
// when an object ends (a frame is held back behind it), or when it has waited
// long enough; otherwise the turn comes back when it will have.
int DoaStreamService::flushIfDue(DoaClient& client) {
    unsigned long now = Time::GetSystemTimeInt(0);
    if (client.Batched() == 0) {
        batch_started_ = 0;
    } else if (batch_started_ == 0) {
        batch_started_ = now;
    }
    unsigned long flush_ms = doa_timings().flush_ms;
    bool due = client.Batched() >= DoaClient::kBatchBytes || turn_.Holding() ||
               (batch_started_ != 0 && now - batch_started_ >= flush_ms);
    if (!due) {
        if (batch_started_ != 0)
            client.ArmTurn(flush_ms - (now - batch_started_));
        return 0;
    }
    batch_started_ = 0;
    return client.Flush();
}

// --- DoaService --------------------------------------------------------------

DoaService::DoaService(int doa_id, int dev_id, int service_id, DoaServiceListener* listener)
    : doa_id_(doa_id),
      dev_id_(dev_id),
      service_id_(service_id),
      listener_(listener),
      label_("[Dev:" + std::to_string(dev_id) + "][Service:" + std::to_string(service_id) +
             "][Doa " + std::to_string(doa_id) + "]") {
    std::string ca = KivCa::Bundle();
    stream_ = DoaStreamService::Create(ca.c_str(), ca.size());
    stream_->SetDeviceInfo(dev_id, service_id);
}

DoaService::~DoaService() {
    Shutdown();
}

SharedPtr<DoaService> DoaService::Create(int doa_id, int dev_id, int service_id,
                                         DoaServiceListener* listener) {
    SharedPtr<DoaService> self(new DoaService(doa_id, dev_id, service_id, listener));
    self->self_ = self;
    self->status_observer_ = self->stream_->Attach(self.get(), &DoaService::streamStatus);
    return self;
}

void DoaService::post(void (*fn)(DoaService&), unsigned long delay_ms) {
    TaskQueue* queue = DeviceEnv::Get()->Task();
    TaskEntry* task = new DoaTask(self_, fn);
    task->SetDelayTime(delay_ms);
    if (queue->AddTask(task) < 0) {
        KS_LOGE("%s Task not queued: the task queue is not running", label_.c_str());
    }
}

void DoaService::postIdentity(const KivUploadIdentify& identity) {
    TaskEntry* task = new DoaTask(self_, [identity](DoaService& s) { s.onIdentity(identity); });
    if (DeviceEnv::Get()->Task()->AddTask(task) < 0) {
        KS_LOGE("%s Task not queued: the task queue is not running", label_.c_str());
    }
}

size_t DoaService::Recordings() {
    MutexGuard guard(mutex_);
    return recordings_.size();
}

void DoaService::applyMaxDuration() {
    int max_s = 0;
    {
        MutexGuard guard(mutex_);
        for (const Recording& r : recordings_) {
            int m = r.property.max_single_file_duration;
            if (m > 0 && (max_s == 0 || m < max_s))
                max_s = m;
        }
    }
    stream_->SetMaxObjectDuration(max_s);
}

int DoaService::StartRecord(const DoaServiceProperty& property) {
    bool first;
    {
        MutexGuard guard(mutex_);
        first = recordings_.empty();
        bool replaced = false;
        for (auto it = recordings_.begin(); it != recordings_.end(); ++it) {
            if (it->property.id == property.id) {
                recordings_.erase(it);
                replaced = true;
                break;
            }
        }
        if (!replaced && recordings_.size() >= kMaxRecordings) {
            KS_LOGE("%s Start record %s refused: %zu recordings already", label_.c_str(),
                    property.id.c_str(), recordings_.size());
            return -1;
        }
        recordings_.push_back({property, NowMs()});
    }
    KS_LOGI("%s Start record %s, duration = %d s, max single file = %d s", label_.c_str(),
            property.id.c_str(), property.duration, property.max_single_file_duration);
    applyMaxDuration();
    scheduleCheck();
    if (first) {
        KivIdentify* kiv = DeviceEnv::Get()->Identify();
        if (kiv_observer_ == 0) {
            kiv_observer_ = kiv->Attach(this, &DoaService::identifyResult);
        }
        if (!refresh_posted_) {
            refresh_posted_ = true;
            post([](DoaService& s) { s.refresh(); }, doa_timings().refresh_ms);
        }
        kiv->ForceStsUpdate(dev_id_);
    }
    return 0;
}

int DoaService::UpdateRecord(const DoaServiceProperty& property) {
    bool found = false;
    {
        MutexGuard guard(mutex_);
        for (Recording& r : recordings_) {
            if (r.property.id == property.id) {
                r.property.duration = property.duration;
                r.stored_ms = NowMs();
                found = true;
                break;
            }
        }
    }
    if (!found) {
        KS_LOGE("Update record failed");
        return -1;
    }
    KS_LOGI("%s Update record %s, duration = %d s", label_.c_str(), property.id.c_str(),
            property.duration);
    scheduleCheck();
    return 0;
}

int DoaService::StopRecord(const DoaServiceProperty& property) {
    bool last;
    {
        MutexGuard guard(mutex_);
        auto it = recordings_.begin();
        while (it != recordings_.end() && it->property.id != property.id)
            ++it;
        if (it == recordings_.end()) {
            KS_LOGE("Stop record failed");
            return -1;
        }
        recordings_.erase(it);
        last = recordings_.empty();
    }
    KS_LOGI("%s Stop record %s", label_.c_str(), property.id.c_str());
    applyMaxDuration();
    if (last) {
        endAll("the last recording stopped");
    }
    return 0;
}

void DoaService::scheduleCheck() {
    uint64_t now = NowMs();
    uint64_t next = UINT64_MAX;
    {
        MutexGuard guard(mutex_);
        for (const Recording& r : recordings_) {
            uint64_t end = r.stored_ms + static_cast<uint64_t>(r.property.duration) * 1000;
            if (end < next)
                next = end;
        }
    }
    if (next == UINT64_MAX) {
        return;
    }
    post([](DoaService& s) { s.CheckRecords(); }, next > now ? next - now : 0);
}

void DoaService::CheckRecords() {
    uint64_t now = NowMs();
    bool ended = false, last = false;
    {
        MutexGuard guard(mutex_);
        for (auto it = recordings_.begin(); it != recordings_.end();) {
            uint64_t end = it->stored_ms + static_cast<uint64_t>(it->property.duration) * 1000;
            if (end <= now) {
                KS_LOGI("%s Record %s ended: its duration of %d s ran out", label_.c_str(),
                        it->property.id.c_str(), it->property.duration);
                it = recordings_.erase(it);
                ended = true;
            } else {
                ++it;
            }
        }
        last = ended && recordings_.empty();
    }
    if (last) {
        endAll("the last recording ran out");
    } else if (ended) {
        applyMaxDuration();
    }
}

void DoaService::endAll(const char* why) {
    KS_LOGI("%s Recording ends: %s", label_.c_str(), why);
    restart_delay_ = 0;
    restart_why_.clear();
    if (kiv_observer_ != 0) {
        DeviceEnv::Get()->Identify()->Detach(kiv_observer_);
        kiv_observer_ = 0;
    }
    stream_->Close();
    if (DoaServiceListener* l = listener_) {
        l->OnDoaIdle(doa_id_, dev_id_, service_id_);
    }
}

void DoaService::Shutdown() {
    {
        MutexGuard guard(mutex_);
        recordings_.clear();
    }
    if (kiv_observer_ != 0) {
        DeviceEnv::Get()->Identify()->Detach(kiv_observer_);
        kiv_observer_ = 0;
    }
    if (status_observer_ != 0) {
        stream_->Detach(status_observer_);
        status_observer_ = 0;
    }
    stream_->Close();
}

void DoaService::identifyResult(void* context, int dev_id, const KivUploadIdentify& identity) {
    auto* self = static_cast<DoaService*>(context);
    // Registered with its owner as the context: null is a bug here, not input.
    assert(self);
    if (dev_id != self->dev_id_) {
        return;  // another device's credentials
    }
    if (identity.file_name_prefix_.empty()) {
        KS_LOGI("Update kiv identify failed");
        return;
    }
    // Subscribers are called under the identity service's lock: the start
    // itself runs on the task queue, like every other start and close.
    self->postIdentity(identity);
}

void DoaService::onIdentity(const KivUploadIdentify& identity) {
    if (Recordings() == 0) {
        return;  // credentials that come after the last recording ended
    }
    std::string why;
    if (stream_->Start(KivCa::GetPort(), identity, &why) != 0) {
        scheduleRestart(why);
    }
}

void DoaService::streamStatus(void* context, const DoaStreamService::OnStatusParam& param) {
    auto* self = static_cast<DoaService*>(context);
    // Registered with its owner as the context: null is a bug here, not input.
    assert(self);
    if (param.status == 1) {
        self->post([](DoaService& s) { s.onStreamClosed(); }, 0);
    }
}

void DoaService::onStreamClosed() {
    stream_->Close();
    std::string refused = stream_->TakeRefusedToken();
    if (!refused.empty()) {
        // Expired or revoked: asking again with them would be refused for ever.
        DeviceEnv::Get()->Identify()->Refused(dev_id_, refused);
    }
    if (Recordings() == 0) {
        return;
    }
    if (stream_->StoredSinceStart()) {
        restart_delay_ = 0;  // that connection worked: start the back-off afresh
        restart_why_.clear();
    }
    scheduleRestart(refused.empty() ? "the storage connection ended"
                                    : "the store refused the credentials (403), asking for new ones");
}

// One line per cause, not per attempt: a store or endpoint that keeps
// failing is retried ever more slowly and quietly.
void DoaService::scheduleRestart(const std::string& why) {
    if (restart_posted_) {
        return;
    }
    DoaTimings t = doa_timings();
    restart_delay_ =
        restart_delay_ == 0 ? t.restart_ms : std::min(restart_delay_ * 2, t.restart_max_ms);
    if (why != restart_why_) {
        KS_LOGW("%s Storage stream restarts in %lu ms, backing off up to %lu ms while this lasts: %s",
                label_.c_str(), restart_delay_, t.restart_max_ms, why.c_str());
        restart_why_ = why;
    }
    restart_posted_ = true;
    post([](DoaService& s) { s.restart(); }, restart_delay_);
}

void DoaService::restart() {
    restart_posted_ = false;
    ++restart_attempts_;
    if (Recordings() == 0 || stream_->Started()) {
        return;
    }
    DeviceEnv::Get()->Identify()->ForceStsUpdate(dev_id_);
}

void DoaService::refresh() {
    refresh_posted_ = false;
    if (Recordings() == 0) {
        return;
    }
    // Fresh credentials come back at once and change nothing; old ones are
    // renewed and switched to at the next object.
    DeviceEnv::Get()->Identify()->ForceStsUpdate(dev_id_);
    refresh_posted_ = true;
    post([](DoaService& s) { s.refresh(); }, doa_timings().refresh_ms);
}

// --- DoaServiceFactory -------------------------------------------------------

int DoaServiceFactory::AddDoa(int dev_id, int service_id) {
    MutexGuard guard(mutex_);
    int id = ++count_;
    services_[id] = DoaService::Create(id, dev_id, service_id, listener_.load());
    return id;
}

void DoaServiceFactory::DeleteDoa(int id) {
    SharedPtr<DoaService> svc;
    {
        MutexGuard guard(mutex_);
        auto it = services_.find(id);
        if (it == services_.end())
            return;
        svc = it->second;
        services_.erase(it);
    }
    svc->Shutdown();
}

bool DoaServiceFactory::query(int id, SharedPtr<DoaService>& out) {
    MutexGuard guard(mutex_);
    auto it = services_.find(id);
    if (it == services_.end())
        return false;
    out = it->second;
    return true;
}

int DoaServiceFactory::StartRecord(int id, const DoaServiceProperty& property) {
    SharedPtr<DoaService> s;
    return query(id, s) ? s->StartRecord(property) : -1;
}

int DoaServiceFactory::UpdateRecord(int id, const DoaServiceProperty& property) {
    SharedPtr<DoaService> s;
    return query(id, s) ? s->UpdateRecord(property) : -1;
}

int DoaServiceFactory::StopRecord(int id, const DoaServiceProperty& property) {
    SharedPtr<DoaService> s;
    return query(id, s) ? s->StopRecord(property) : -1;
}

void DoaServiceFactory::CheckRecords(int id) {
    SharedPtr<DoaService> s;
    if (query(id, s))
        s->CheckRecords();
}

void DoaServiceFactory::SetBuffer(int id, unsigned kbps) {
    SharedPtr<DoaService> s;
    if (query(id, s))
        s->SetBuffer(kbps);
}

void DoaServiceFactory::SetAudioCodec(int id, const ks_audio_param_s* audio) {
    SharedPtr<DoaService> s;
    if (query(id, s))
        s->SetAudioCodec(audio);
}

int DoaServiceFactory::AddVideoFrame(int id, int format, bool key, const unsigned char* data,
                                     unsigned len, unsigned ts) {
    SharedPtr<DoaService> s;
    return query(id, s) ? s->AddVideoFrame(format, key, data, len, ts) : -1;
}

int DoaServiceFactory::AddAudioFrame(int id, const unsigned char* data, unsigned len, unsigned ts) {
    SharedPtr<DoaService> s;
    return query(id, s) ? s->AddAudioFrame(data, len, ts) : -1;
}

void DoaServiceFactory::Clear() {
    std::map<int, SharedPtr<DoaService>> all;
    {
        MutexGuard guard(mutex_);
        all.swap(services_);
    }
    for (auto& s : all) {
        s.second->Shutdown();
    }
}

}  // namespace kestrel
