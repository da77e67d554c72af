// The service table (service id -> the route of its frames) and the relay
// registry (relay id -> relay).
//
// Both hand out copies or shared ownership, never pointers into their maps:
// an entry may be unbound, or a relay closed, on another thread at any time,
// and a reader must not be left holding freed memory.
#pragma once

#include <kestrel/ks_api.h>

#include <atomic>
#include <map>
#include <string>
#include <unordered_map>

#include "core/mutex.h"
#include "core/shared_ptr.h"
#include "proto/flv_mux.h"
#include "sdk/streaming/doa_service.h"
#include "sdk/streaming/relay_service.h"
#include "sdk/streaming/stream_check.h"

namespace kestrel {

// Service types; the values are those of ks_stream_cmd_type_e where one exists.
enum ServiceType : int {
    kServiceLive = 0,
    kServiceVod = 2,
    kServicePre = 3,
    kServiceVoice = 4,
    kServiceDoa = 5,
};

struct StreamManagerProperty {
    int dev_id = 0;
    int type = kServiceLive;
    int stream_type = 0;
    int vod_by_file = 0;
    int relay_id = 0;  // 0: no relay
    bool p2p = false;
    int doa = 0;  // the recording's id in the record link's factory; 0: none
};

// Where one application stream's frames go: its entry, its relay, its
// recording and its check unit. The table makes a new route whenever one of
// them is attached or detached and never changes one it has handed out, so
// the frame path copies one pointer under one short lock and then calls
// straight into what the route holds, with no lookup by id.
struct StreamRoute {
    StreamManagerProperty entry;
    SharedPtr<RelayServiceBase> relay;
    SharedPtr<DoaService> recording;
    SharedPtr<StreamCheckUnit> check;

    // The relay's queueing result (0 without a relay).
    int SendVideo(int format, bool key_frame, const unsigned char* data, unsigned len,
                  unsigned timestamp) const;
    int SendAudio(const unsigned char* data, unsigned len, unsigned timestamp) const;
};

class StreamManager {
  public:
    StreamManager() = default;
    ~StreamManager();
    StreamManager(const StreamManager&) = delete;
    StreamManager& operator=(const StreamManager&) = delete;

    // Adds service `id` with its relay and its recording (either may be
    // empty) and, while stream checks are on, a check unit; false (logged)
    // when the id is taken.
    bool Open(int id, const StreamManagerProperty& entry,
              const SharedPtr<RelayServiceBase>& relay = SharedPtr<RelayServiceBase>(),
              const SharedPtr<DoaService>& recording = SharedPtr<DoaService>());
    // The frame path's one lookup; empty when the service does not exist.
    SharedPtr<StreamRoute> Route(int id) const;
    // A copy of the entry; false when there is none.
    bool Find(int id, StreamManagerProperty& out) const;
    // The oldest service (lowest id) of the device and type, or of the device,
    // type and stream type, or of the type alone; false when none matches.
    bool FindByDevice(int dev_id, int type, int& id) const;
    bool FindByStream(int dev_id, int type, int stream_type, int& id) const;
    bool FindOfType(int type, int& id) const;
    unsigned CountByDevice(int dev_id, int type) const;
    unsigned CountOfType(int type) const;

    // Gives service `id` its recording; false when the service is gone or
    // already carries one.
    bool AttachRecording(int id, int doa_id, const SharedPtr<DoaService>& recording);
    // Takes recording `doa_id` off a service whose relay goes on; false when
    // the service is gone, has no relay or carries another recording.
    bool DetachRecording(int id, int doa_id);
    // The relay of `id` closed: a service that carries a recording stays, as a
    // recording entry without the relay (true); false leaves the table as it was.
    bool DetachRelayKeepRecording(int id);
    // Removes the entry and stops what runs under it; false when absent. The
    // removed entry goes to `out`: of two threads taking one id, exactly one
    // gets it. Must not wait for the relay's close: the close path comes back here.
    bool Take(int id, StreamManagerProperty* out = nullptr);
    void Clear();
    size_t Size() const;

  private:
    template <typename Match>
    bool findOldest(Match match, int& id) const;
    template <typename Match>
    unsigned count(Match match) const;
    static void release(int id, const StreamRoute& route);

    mutable Mutex mutex_;
    std::unordered_map<int, SharedPtr<StreamRoute>> routes_;
};

class RelayServiceFactory {
  public:
    enum Type { kLive = 0, kVod = 1, kVoice = 2, kPre = 3 };

    RelayServiceFactory() = default;
    ~RelayServiceFactory();
    RelayServiceFactory(const RelayServiceFactory&) = delete;
    RelayServiceFactory& operator=(const RelayServiceFactory&) = delete;

    // A new relay of `kind`, registered under its own id (RelayId()); empty
    // when its connection cannot be made (the network is not started or
    // holds too many sockets).
    SharedPtr<RelayServiceBase> Create(int kind);
    // Bounds for the connections of relays made from now on (0: the
    // connection's defaults); tests shorten them.
    static void SetClientTimeouts(unsigned long start_ms, unsigned long stall_ms);
    // The relay's close takes it out of the registry.
    void DeleteRelay(int id);
    // Empty when no relay has that id.
    SharedPtr<RelayServiceBase> Find(int id);
    size_t Count();

  private:
    static std::atomic<unsigned long> start_timeout_ms_;
    static std::atomic<unsigned long> stall_timeout_ms_;
    Mutex mutex_;
    std::map<int, SharedPtr<RelayServiceBase>> relays_;
    int count_ = 0;
};

}  // namespace kestrel
