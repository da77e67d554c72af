#include "sdk/streaming/stream_manager.h"

#include <vector>

#include "core/logger.h"
#include "core/single.h"
#include "sdk/streaming/record_link.h"
#include "sdk/streaming/stream_check.h"
#include "sdk/streaming/voice_relay.h"

namespace kestrel {

// ---------------------------------------------------------------------------
// Routes
// ---------------------------------------------------------------------------

int StreamRoute::SendVideo(int format, bool key_frame, const unsigned char* data, unsigned len,
                           unsigned timestamp) const {
    if (check)
        check->CheckVideo(format, data, len, key_frame, timestamp);
    int queued = relay ? relay->AddVideoFrame(format, key_frame, data, len, timestamp) : 0;
    if (recording)
        recording->AddVideoFrame(format, key_frame, data, len, timestamp);
    return queued;
}

int StreamRoute::SendAudio(const unsigned char* data, unsigned len, unsigned timestamp) const {
    if (check)
        check->CheckAudio(data, len, timestamp);
    int queued = relay ? relay->AddAudioFrame(data, len, timestamp) : 0;
    if (recording)
        recording->AddAudioFrame(data, len, timestamp);
    return queued;
}

// ---------------------------------------------------------------------------
// Service table
// ---------------------------------------------------------------------------

StreamManager::~StreamManager() = default;

void StreamManager::release(int id, const StreamRoute& route) {
    if (route.relay)
        route.relay->Stop();
    RecordLink::Get()->Release(route.entry);
    if (StreamCheck* check = Single<StreamCheck>::Peek())
        check->Stop(id);
}

bool StreamManager::Open(int id, const StreamManagerProperty& entry,
                         const SharedPtr<RelayServiceBase>& relay,
                         const SharedPtr<DoaService>& recording) {
    SharedPtr<StreamRoute> route(new StreamRoute);
    route->entry = entry;
    route->relay = relay;
    route->recording = recording;
    MutexGuard guard(mutex_);
    if (routes_.count(id) != 0) {
        KS_LOGE("Bind new service failed, id = %d", id);
        return false;
    }
    // The check unit is made under the table's lock (the checks' lock is
    // taken inside it, never the other way round), so a taken id never
    // touches the unit of the service that holds it.
    if (StreamCheck* check = Single<StreamCheck>::Peek())
        route->check = check->Start(id);
    routes_.emplace(id, route);
    return true;
}

SharedPtr<StreamRoute> StreamManager::Route(int id) const {
    MutexGuard guard(mutex_);
    auto it = routes_.find(id);
    return it == routes_.end() ? SharedPtr<StreamRoute>() : it->second;
}

bool StreamManager::Find(int id, StreamManagerProperty& out) const {
    MutexGuard guard(mutex_);
    auto it = routes_.find(id);
    if (it == routes_.end())
        return false;
    out = it->second->entry;
    return true;
}

template <typename Match>
bool StreamManager::findOldest(Match match, int& id) const {
    MutexGuard guard(mutex_);
    bool found = false;
    for (const auto& r : routes_) {
        if (match(r.second->entry) && (!found || r.first < id)) {
            id = r.first;
            found = true;
        }
    }
    return found;
}

template <typename Match>
unsigned StreamManager::count(Match match) const {
    MutexGuard guard(mutex_);
    unsigned n = 0;
    for (const auto& r : routes_)
        n += match(r.second->entry) ? 1 : 0;
    return n;
}

bool StreamManager::FindByDevice(int dev_id, int type, int& id) const {
    return findOldest(
        [&](const StreamManagerProperty& e) { return e.dev_id == dev_id && e.type == type; }, id);
}

bool StreamManager::FindByStream(int dev_id, int type, int stream_type, int& id) const {
    return findOldest(
        [&](const StreamManagerProperty& e) {
            return e.dev_id == dev_id && e.type == type && e.stream_type == stream_type;
        },
        id);
}

bool StreamManager::FindOfType(int type, int& id) const {
    return findOldest([&](const StreamManagerProperty& e) { return e.type == type; }, id);
}

unsigned StreamManager::CountByDevice(int dev_id, int type) const {
    return count([&](const StreamManagerProperty& e) { return e.dev_id == dev_id && e.type == type; });
}

unsigned StreamManager::CountOfType(int type) const {
    return count([&](const StreamManagerProperty& e) { return e.type == type; });
}

bool StreamManager::AttachRecording(int id, int doa_id, const SharedPtr<DoaService>& recording) {
    MutexGuard guard(mutex_);
    auto it = routes_.find(id);
    if (it == routes_.end() || it->second->entry.doa != 0)
        return false;
    SharedPtr<StreamRoute> next(new StreamRoute(*it->second));
    next->entry.doa = doa_id;
    next->recording = recording;
    it->second = next;
    return true;
}

bool StreamManager::DetachRecording(int id, int doa_id) {
    MutexGuard guard(mutex_);
    auto it = routes_.find(id);
    if (it == routes_.end() || it->second->entry.doa != doa_id || it->second->entry.relay_id == 0)
        return false;
    SharedPtr<StreamRoute> next(new StreamRoute(*it->second));
    next->entry.doa = 0;
    next->recording = SharedPtr<DoaService>();
    it->second = next;
    return true;
}

bool StreamManager::DetachRelayKeepRecording(int id) {
    MutexGuard guard(mutex_);
    auto it = routes_.find(id);
    if (it == routes_.end() || it->second->entry.doa == 0)
        return false;
    SharedPtr<StreamRoute> next(new StreamRoute(*it->second));
    // Left as a recording entry: a later live request starts a relay of its
    // own instead of finding this one without a relay.
    next->entry.relay_id = 0;
    next->entry.type = kServiceDoa;
    next->relay = SharedPtr<RelayServiceBase>();
    it->second = next;
    return true;
}

bool StreamManager::Take(int id, StreamManagerProperty* out) {
    SharedPtr<StreamRoute> route;
    {
        MutexGuard guard(mutex_);
        auto it = routes_.find(id);
        if (it == routes_.end()) {
            KS_LOGE("Unbind failed, id = %d", id);
            return false;
        }
        route = it->second;
        routes_.erase(it);
    }
    if (out)
        *out = route->entry;
    release(id, *route);
    return true;
}

void StreamManager::Clear() {
    std::unordered_map<int, SharedPtr<StreamRoute>> taken;
    {
        MutexGuard guard(mutex_);
        taken.swap(routes_);
    }
    for (const auto& r : taken)
        release(r.first, *r.second);
}

size_t StreamManager::Size() const {
    MutexGuard guard(mutex_);
    return routes_.size();
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

SharedPtr<RelayServiceBase> RelayServiceFactory::Create(int kind) {
    SharedPtr<RelayServiceBase> relay;
    switch (kind) {
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
        KS_LOGE("Add relay failed, type = %d: no connection", kind);
        return SharedPtr<RelayServiceBase>();
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
    return relay;
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

SharedPtr<RelayServiceBase> RelayServiceFactory::Find(int id) {
    MutexGuard guard(mutex_);
    auto it = relays_.find(id);
    return it == relays_.end() ? SharedPtr<RelayServiceBase>() : it->second;
}

size_t RelayServiceFactory::Count() {
    MutexGuard guard(mutex_);
    return relays_.size();
}

}  // namespace kestrel
