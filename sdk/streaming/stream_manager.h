// The service table (service id -> what runs under it) and the relay
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

#include "core/mutex.h"
#include "core/shared_ptr.h"
#include "proto/flv_mux.h"
#include "sdk/streaming/relay_service.h"

namespace kestrel {

struct StreamManagerProperty {
    int dev_id = 0;
    int type = 7;  // service type; 7: not set
    int stream_type = 0;
    int vod_by_file = 0;
    int relay_id = 0;
    bool p2p = false;
    int doa = 0;
};

// Service types.
enum : int {
    kServiceLive = 0,
    kServiceVod = 2,
    kServicePre = 3,
    kServiceVoice = 4,
    kServiceDoa = 5,
    kServiceUnset = 7,
};

class StreamManager {
  public:
    StreamManager() = default;
    virtual ~StreamManager();
    StreamManager(const StreamManager&) = delete;
    StreamManager& operator=(const StreamManager&) = delete;

    // Match modes: 0 device and type; 1 device, type and stream type;
    // 3 device, p2p and stream type; 4 device, doa and stream type; 5 type.
    int Query(const StreamManagerProperty& probe, int mode, int& id) const;
    void QueryNum(const StreamManagerProperty& probe, int mode, unsigned& n) const;
    int Bind(const StreamManagerProperty& record, int id);
    // Assign modes: 0 type; 1 stream type; 2 relay id; 3 p2p and stream
    // type; 4 doa and stream type.
    int Update(const StreamManagerProperty& src, int mode, int id);
    // A copy of the entry; false when there is none.
    bool Pop(int id, StreamManagerProperty& out) const;
    // Removes the entry and stops what runs under it; -1 when absent. The
    // removed entry goes to `out`: of two threads unbinding one id, exactly
    // one gets it.
    int Unbind(int id, StreamManagerProperty* out = nullptr);
    void Clear();
    size_t Size() const;

  protected:
    virtual int equal(const StreamManagerProperty& stored, const StreamManagerProperty& probe,
                      int mode) const;
    virtual void assign(StreamManagerProperty& stored, const StreamManagerProperty& src,
                        int mode) const;
    // Must not wait for the relay's close: the close path comes back here.
    virtual void release(const StreamManagerProperty& record);

  private:
    mutable Mutex mutex_;
    std::map<int, StreamManagerProperty> entries_;
};

class RelayServiceFactory {
  public:
    enum Type { kLive = 0, kVod = 1, kVoice = 2, kPre = 3 };

    RelayServiceFactory() = default;
    ~RelayServiceFactory();
    RelayServiceFactory(const RelayServiceFactory&) = delete;
    RelayServiceFactory& operator=(const RelayServiceFactory&) = delete;

    // The new relay's id, or -1 when its connection cannot be made (the
    // network is not started or holds too many sockets).
    int AddRelay(int type);
    // Bounds for the connections of relays made from now on (0: the
    // connection's defaults); tests shorten them.
    static void SetClientTimeouts(unsigned long start_ms, unsigned long stall_ms);
    void DeleteRelay(int id);
    int query(int id, SharedPtr<RelayServiceBase>& out);
    size_t Count();

    void SetDeviceInfo(int id, RelayServiceHandler* handler, int dev_id, int service_id,
                       const std::string& session_id, const std::string& label);
    void Start(int id, const std::string& url, int private_mode);
    void SetEncrypt(int id, const std::string& key, const std::string& iv);
    void Stop(int id);
    void SetBuffer(int id, unsigned bitrate_kbps);
    void SetDuration(int id, unsigned seconds);
    void SetVideoCodec(int id, const ks_video_param_s* video);
    void SetAudioCodec(int id, const ks_audio_param_s* audio);
    int AddVideoFrame(int id, int format, bool key_frame, const unsigned char* data, unsigned len,
                      unsigned timestamp);
    int AddAudioFrame(int id, const unsigned char* data, unsigned len, unsigned timestamp);
    int AddScript(int id, FlvMux::ScriptType type);

  private:
    static std::atomic<unsigned long> start_timeout_ms_;
    static std::atomic<unsigned long> stall_timeout_ms_;
    Mutex mutex_;
    std::map<int, SharedPtr<RelayServiceBase>> relays_;
    int count_ = 0;
};

}  // namespace kestrel
