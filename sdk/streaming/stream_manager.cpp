#include "sdk/streaming/stream_manager.h"

#include <vector>

#include "core/logger.h"
#include "core/single.h"
#include "sdk/streaming/record_link.h"
#include "sdk/streaming/stream_check.h"
#include "sdk/streaming/voice_relay.h"

namespace kestrel {

// ---------------------------------------------------------------------------
// Service table
// ---------------------------------------------------------------------------

StreamManager::~StreamManager() = default;

int StreamManager::equal(const StreamManagerProperty& s, const StreamManagerProperty& p,
                         int mode) const {
    if (s.type == kServiceUnset || p.type == kServiceUnset) {
        KS_LOGE("Service type is the key value, please value it, type = %d", p.type);
        return -1;
    }
    bool match = false;
    switch (mode) {
        case 0:
            match = s.dev_id == p.dev_id && s.type == p.type;
            break;
        case 1:
            match = s.dev_id == p.dev_id && s.type == p.type && s.stream_type == p.stream_type;
            break;
        case 3:
            match = s.dev_id == p.dev_id && s.p2p == p.p2p && s.stream_type == p.stream_type;
            break;
        case 4:
            match = s.dev_id == p.dev_id && s.doa == p.doa && s.stream_type == p.stream_type;
            break;
        case 5:
            match = s.type == p.type;
            break;
        default:
            break;
    }
    return match ? 0 : -1;
}

void StreamManager::assign(StreamManagerProperty& s, const StreamManagerProperty& src,
                           int mode) const {
    switch (mode) {
        case 0:
            s.type = src.type;
            break;
        case 1:
            s.stream_type = src.stream_type;
            break;
        case 2:
            s.relay_id = src.relay_id;
            break;
        case 3:
            s.p2p = src.p2p;
            s.stream_type = src.stream_type;
            break;
        case 4:
            s.doa = src.doa;
            s.stream_type = src.stream_type;
            break;
        default:
            break;
    }
}

void StreamManager::release(const StreamManagerProperty& record) {
    if (record.relay_id != 0)
        Single<RelayServiceFactory>::Instance()->Stop(record.relay_id);
    RecordLink::Get()->Release(record);
}

int StreamManager::Query(const StreamManagerProperty& probe, int mode, int& id) const {
    if (probe.type == kServiceUnset) {
        KS_LOGE("Service type is the key value, please value it, type = %d", probe.type);
        return -1;
    }
    MutexGuard guard(mutex_);
    for (const auto& e : entries_) {
        if (equal(e.second, probe, mode) == 0) {
            id = e.first;
            return 0;
        }
    }
    return -1;
}

void StreamManager::QueryNum(const StreamManagerProperty& probe, int mode, unsigned& n) const {
    if (probe.type == kServiceUnset) {
        KS_LOGE("Service type is the key value, please value it, type = %d", probe.type);
        return;
    }
    MutexGuard guard(mutex_);
    if (entries_.empty())
        return;
    unsigned count = 0;
    for (const auto& e : entries_) {
        if (equal(e.second, probe, mode) == 0)
            ++count;
    }
    n = count;
}

int StreamManager::Bind(const StreamManagerProperty& record, int id) {
    {
        MutexGuard guard(mutex_);
        if (!entries_.emplace(id, record).second) {
            KS_LOGE("Bind new service failed, id = %d", id);
            return -1;
        }
    }
    if (StreamCheck* check = Single<StreamCheck>::Peek())
        check->Start(id);
    return 0;
}

int StreamManager::Update(const StreamManagerProperty& src, int mode, int id) {
    MutexGuard guard(mutex_);
    auto it = entries_.find(id);
    if (it == entries_.end()) {
        KS_LOGE("Update failed, id = %d", id);
        return -1;
    }
    assign(it->second, src, mode);
    return 0;
}

bool StreamManager::Pop(int id, StreamManagerProperty& out) const {
    MutexGuard guard(mutex_);
    auto it = entries_.find(id);
    if (it == entries_.end())
        return false;
    out = it->second;
    return true;
}

int StreamManager::Unbind(int id, StreamManagerProperty* out) {
    StreamManagerProperty record;
    {
        MutexGuard guard(mutex_);
        auto it = entries_.find(id);
        if (it == entries_.end()) {
            KS_LOGE("Unbind failed, id = %d", id);
            return -1;
        }
        record = it->second;
        entries_.erase(it);
    }
    if (out)
        *out = record;
    release(record);
    if (StreamCheck* check = Single<StreamCheck>::Peek())
        check->Stop(id);
    return 0;
}

void StreamManager::Clear() {
    std::map<int, StreamManagerProperty> taken;
    {
        MutexGuard guard(mutex_);
        taken.swap(entries_);
    }
    StreamCheck* check = Single<StreamCheck>::Peek();
    for (const auto& e : taken) {
        release(e.second);
        if (check)
            check->Stop(e.first);
    }
}

size_t StreamManager::Size() const {
    MutexGuard guard(mutex_);
    return entries_.size();
}

// ---------------------------------------------------------------------------
// Relay registry
// ---------------------------------------------------------------------------

std::atomic<unsigned long> RelayServiceFactory::start_timeout_ms_{0};
std::atomic<unsigned long> RelayServiceFactory::stall_timeout_ms_{0};

RelayServiceFactory::~RelayServiceFactory() = default;

void RelayServiceFactory::SetClientTimeouts(unsigned long start_ms, unsigned long stall_ms) {
    start_timeout_ms_ = start_ms;
    stall_timeout_ms_ = stall_ms;
}

int RelayServiceFactory::AddRelay(int type) {
    SharedPtr<RelayServiceBase> relay;
    switch (type) {
        case kVod:
            relay = SharedPtr<RelayServiceBase>(new RelayServiceVod());
            break;
        case kPre:
            relay = SharedPtr<RelayServiceBase>(new RelayServicePreEvent());
            break;
        case kVoice:
            relay = SharedPtr<RelayServiceBase>(new RelayServiceVoice());
            break;
        default:
            relay = SharedPtr<RelayServiceBase>(new RelayServiceLive());
            break;
    }
    SharedPtr<RtmpClient> rtmp = RtmpClient::Create(SharedPtr<RtmpClientHandler>(relay));
    if (!rtmp) {
        KS_LOGE("Add relay failed, type = %d: no connection", type);
        return -1;
    }
    if (start_timeout_ms_ || stall_timeout_ms_) {
        rtmp->SetTimeouts(
            start_timeout_ms_ ? start_timeout_ms_.load() : RtmpClient::kStartTimeoutMs,
            stall_timeout_ms_ ? stall_timeout_ms_.load() : RtmpClient::kStallTimeoutMs);
    }
    MutexGuard guard(mutex_);
    int id = ++count_;
    relay->SetClient(id, rtmp);
    relays_[id] = relay;
    return id;
}

void RelayServiceFactory::DeleteRelay(int id) {
    SharedPtr<RelayServiceBase> gone;
    MutexGuard guard(mutex_);
    auto it = relays_.find(id);
    if (it == relays_.end())
        return;
    gone = it->second;
    relays_.erase(it);
    // `gone` is released after the guard: the relay may go with it, and its
    // destructor must not run under the registry's lock.
}

int RelayServiceFactory::query(int id, SharedPtr<RelayServiceBase>& out) {
    MutexGuard guard(mutex_);
    auto it = relays_.find(id);
    if (it == relays_.end())
        return -1;
    out = it->second;
    return 0;
}

size_t RelayServiceFactory::Count() {
    MutexGuard guard(mutex_);
    return relays_.size();
}

void RelayServiceFactory::SetDeviceInfo(int id, RelayServiceHandler* handler, int dev_id,
                                        int service_id, const std::string& session_id,
                                        const std::string& label) {
    SharedPtr<RelayServiceBase> r;
    if (query(id, r) == 0)
        r->SetDeviceInfo(handler, dev_id, service_id, session_id, label);
}

void RelayServiceFactory::Start(int id, const std::string& url, int private_mode) {
    SharedPtr<RelayServiceBase> r;
    if (query(id, r) == 0)
        r->Start(url, private_mode);
}

void RelayServiceFactory::SetEncrypt(int id, const std::string& key, const std::string& iv) {
    SharedPtr<RelayServiceBase> r;
    if (query(id, r) == 0)
        r->SetEncryption(key, iv);
}

void RelayServiceFactory::Stop(int id) {
    SharedPtr<RelayServiceBase> r;
    if (query(id, r) == 0)
        r->Stop();
}

void RelayServiceFactory::SetBuffer(int id, unsigned bitrate_kbps) {
    SharedPtr<RelayServiceBase> r;
    if (query(id, r) == 0)
        r->SetBuffer(bitrate_kbps);
}

void RelayServiceFactory::SetDuration(int id, unsigned seconds) {
    SharedPtr<RelayServiceBase> r;
    if (query(id, r) == 0)
        r->SetDuration(seconds);
}

void RelayServiceFactory::SetVideoCodec(int id, const ks_video_param_s* video) {
    SharedPtr<RelayServiceBase> r;
    if (query(id, r) == 0)
        r->SetVideoCodec(video);
}

void RelayServiceFactory::SetAudioCodec(int id, const ks_audio_param_s* audio) {
    SharedPtr<RelayServiceBase> r;
    if (query(id, r) == 0)
        r->SetAudioCodec(audio);
}

int RelayServiceFactory::AddVideoFrame(int id, int format, bool key_frame,
                                       const unsigned char* data, unsigned len,
                                       unsigned timestamp) {
    SharedPtr<RelayServiceBase> r;
    if (query(id, r) < 0)
        return -1;
    return r->AddVideoFrame(format, key_frame, data, len, timestamp);
}

int RelayServiceFactory::AddAudioFrame(int id, const unsigned char* data, unsigned len,
                                       unsigned timestamp) {
    SharedPtr<RelayServiceBase> r;
    if (query(id, r) < 0)
        return -1;
    return r->AddAudioFrame(data, len, timestamp);
}

int RelayServiceFactory::AddScript(int id, FlvMux::ScriptType type) {
    SharedPtr<RelayServiceBase> r;
    if (query(id, r) < 0)
        return -1;
    r->AddScript(type);
    return 0;
}

}  // namespace kestrel
