// Links the cloud's recording requests ("/vision/biz/record/downstream") to
// the application's streams and their storage recordings.
//
// One application stream per device and stream type carries both uses: a
// "startRecord" attaches a recording (a DoaService of DoaServiceFactory) to
// the running live stream of that device and stream type, asking the
// application for a key frame and its configuration, or, when none runs,
// opens a recording entry (kServiceDoa) under a new service id and asks the
// application to start a live stream for it. The table entry keeps the live
// relay in `relay_id` and the recording in `doa`, so frames reach each through
// its own attachment and the release of one never touches the other.
// "updateRecord" extends a recording; "stopRecord" or the end of its duration
// ends it. When a stream's last recording ends, the recording is detached; the
// application's stream is stopped only when no relay uses it either, and a
// relay that closes while a recording runs leaves the stream running.
//
// Frames reach a recording through the stream's route in the table, never
// through here. The stream session calls in: OnRecordDownstream from its
// topic handler, OnConfig from its routing, RelayClosed before it ends a
// session whose relay closed, Release from the table when an entry goes.
#pragma once

#include <kestrel/ks_api.h>

#include <atomic>
#include <map>
#include <string>

#include "core/mutex.h"
#include "sdk/streaming/doa_service.h"
#include "sdk/streaming/stream_manager.h"

namespace kestrel {

class RecordLink : public DoaServiceListener {
  public:
    static RecordLink* Get();

    RecordLink();
    // The session's table; null detaches.
    void Init(StreamManager* manager);
    // Ends every recording and lets go of the table (ks_destroy).
    void Destroy();
    DoaServiceFactory* Factory() { return &factory_; }

    // Task queue. 0 when the request was carried out, -1 (logged) otherwise.
    int OnRecordDownstream(int dev_id, const std::string& payload);

    // Application threads, for any entry: the configuration is remembered per
    // service id so a recording attached later gets it.
    void OnConfig(const StreamManagerProperty& entry, int service_id, unsigned kbps,
                  const ks_audio_param_s* audio);

    // The relay of `service_id` closed: true when a recording still uses the
    // application's stream (the entry then stays, without its relay, and the
    // caller must not stop the application).
    bool RelayClosed(int service_id);
    // The table dropped an entry: its recording goes with it.
    void Release(const StreamManagerProperty& record);

    void OnDoaIdle(int doa_id, int dev_id, int service_id) override;

  private:
    struct Config {
        unsigned kbps = 0;
        bool has_audio = false;
        ks_audio_param_s audio{};
    };
    int startRecord(int dev_id, const void* params);
    int updateOrStop(int dev_id, const void* params, bool stop);
    bool findRecording(int dev_id, int stream_type, int& service_id, StreamManagerProperty& entry);
    void applyConfig(int service_id, int doa_id);

    DoaServiceFactory factory_;
    Mutex mutex_;
    std::atomic<StreamManager*> manager_{nullptr};
    std::map<int, Config> configs_;  // by service id
};

}  // namespace kestrel
