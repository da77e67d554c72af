// Recording straight to object storage.
//
// DoaServiceFactory keeps one DoaService per recorded application stream (a
// device and stream type), addressed by its own id; the stream session keeps
// that id in its table entry's `doa` field, apart from any live relay's id,
// so frames and configuration reach the relay and the recording each through
// their own attachment and the release of one never stops the other.
//
// DoaService holds the active recordings of its stream ("startRecord" adds
// one, "updateRecord" extends it, "stopRecord" or the end of its duration
// removes it) and the credential hook: while a recording is active it
// listens for this device's storage credentials, refreshes them before they
// expire, and starts the storage stream when they arrive; when the last
// recording ends it detaches, closes the stream and tells its listener, so
// the session can stop the application's stream unless a relay still uses it.
//
// DoaStreamService is the sender: the ring buffer, the object names and the
// cut points. An object starts at a key frame and ends at the first key frame
// after the longest single-file duration, or at a change of codec,
// credentials or a jump in the timestamps. A failed append or a dropped
// connection abandons the object; the service starts again with a new object
// once the stream has been restarted.
//
// Threads: recording requests, credential switches, Start and Close run on the
// task queue; frames arrive on application threads; the connection's turns
// and its close on the network thread.
#pragma once

#include <kestrel/ks_api.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/mutex.h"
#include "core/shared_ptr.h"
#include "sdk/storage/doa_client.h"
#include "sdk/storage/kiv_identify.h"
#include "sdk/streaming/frame_ring_buffer.h"
#include "sdk/streaming/write_turn.h"

namespace kestrel {

struct DoaServiceProperty {
    int stream_type = 0;
    int record_type = 0;
    int duration = 0;  // seconds
    int pre_duration = 0;
    int max_single_file_duration = 0;  // seconds; 0: cut only where the stream demands it
    std::string id;
    std::string thumbnail_id;
    std::string file_prefix;
};

// Timing of the storage path; tests shorten it.
struct DoaTimings {
    // After a failed start, connection or append the stream restarts after
    // restart_ms, doubling at each failure in a row up to restart_max_ms.
    unsigned long restart_ms = 1000;
    unsigned long restart_max_ms = 60000;
    unsigned long refresh_ms = 60000;  // how often credentials are checked while recording
    uint32_t gap_ms = 10000;           // a forward jump in video timestamps that cuts
    unsigned long flush_ms = 500;      // longest a batch waits to fill before it is sent
};
void doa_set_timings(const DoaTimings& timings);
DoaTimings doa_timings();
// Monotonic milliseconds for recording durations; null restores the real clock.
void doa_set_clock(uint64_t (*clock)());

class DoaStreamService {
  public:
    struct OnStatusParam {
        int status;  // 0 a new object is being written; 1 the connection closed
        int dev_id;
        int service_id;
    };
    using StatusCallback = void (*)(void* context, const OnStatusParam& param);
    static constexpr unsigned kWriteBudget = 1048576;
    // The largest append body: the socket queue takes 1 MiB with the
    // request head, so a batch is cut before it would pass this...
    static constexpr size_t kAppendMax = 1048576 - 64 * 1024;
    // ...counting this much beyond a frame's bytes for its tag, the codec
    // configuration and metadata that may precede it.
    static constexpr size_t kFrameReserve = 16 * 1024;
    // Object keys kept for Objects(): the newest only.
    static constexpr size_t kObjectsKept = 32;

    static SharedPtr<DoaStreamService> Create(const char* ca, size_t ca_len);
    ~DoaStreamService();

    void SetDeviceInfo(int dev_id, int service_id);
    void SetBuffer(unsigned kbps);
    static unsigned BufferSizeFor(unsigned kbps);
    void SetAudioCodec(const ks_audio_param_s* audio);
    void SetEncryption(const std::string& key, const std::string& iv);
    void SetMaxObjectDuration(int seconds);
    int AddVideoFrame(int format, bool key, const unsigned char* data, unsigned len, unsigned ts);
    int AddAudioFrame(const unsigned char* data, unsigned len, unsigned ts);

    // Task queue. Start while started only notes credentials that differ, to
    // take effect at the next object. On -1 `why` (when given) says why;
    // nothing is left behind then.
    int Start(unsigned short port, const KivUploadIdentify& identity, std::string* why = nullptr);
    void Close();
    bool Started() const { return started_; }
    // The next key frame begins a new object.
    void UpdateObject() { cut_requested_ = true; }

    int Attach(void* context, StatusCallback callback);
    void Detach(int id);

    // Keys of the newest objects begun (at most kObjectsKept).
    std::vector<std::string> Objects();
    // Whether the connection of the last Start stored anything.
    bool StoredSinceStart() const { return stored_since_start_; }
    // The token of the credentials the store refused (403) on the last
    // connection, once; empty when it refused none.
    std::string TakeRefusedToken();
    uint64_t BytesStored() const { return bytes_stored_; }
    // Nothing queued, held, batched or unanswered at the last write turn.
    bool Drained() const { return drained_; }
    const std::string& Label() const { return label_; }

    // From the connection's handler, with the connection's generation.
    void onLinkConnect(unsigned gen);
    void onLinkClose(unsigned gen, int reason);
    void onLinkStatus(unsigned gen, int status);
    int onLinkWrite(unsigned gen);

  private:
    DoaStreamService(const char* ca, size_t ca_len);
    SharedPtr<DoaClient> current(unsigned gen);
    void notify(int status);
    void requestWrite();
    bool cutDue(const MediaSpecialInfo& d, bool object_open) const;
    // kTaken (stored or dropped), kHoldBack (a key frame that opens the next
    // object waits for the batch of the last), kStop (the object was refused).
    WriteTurn::Verdict sendFrame(DoaClient& client, const MediaSpecialInfo& d,
                                 const unsigned char* data, unsigned len);
    WriteTurn::Verdict takeFrame(DoaClient& client, FrameRingBuffer& ring,
                                 const WriteTurn::Frame& f, bool& refused);
    int flushIfDue(DoaClient& client);
    std::string newObjectName();
    void applySettings(DoaClient& client);

    WeakPtr<DoaStreamService> self_;
    std::string ca_;
    std::atomic<bool> started_{false};  // written on the task queue
    int dev_id_ = 0;
    int service_id_ = 0;
    std::string label_ = "[Cloud 0]";
    unsigned audio_count_ = 0;
    std::unique_ptr<FrameRingBuffer> ring_owner_;
    std::atomic<FrameRingBuffer*> ring_{nullptr};

    mutable Mutex mutex_;  // guards what follows up to the network-thread state
    WeakPtr<DoaClient> client_;
    unsigned generation_ = 0;
    KivUploadIdentify identity_;
    bool identity_pending_ = false;
    bool audio_pending_ = false;
    ks_audio_param_s audio_{};
    bool encryption_pending_ = false;
    std::string key_, iv_;
    int max_object_ms_ = 0;
    unsigned object_counter_ = 0;
    std::deque<std::string> objects_;
    std::string link_token_;     // the credentials the connection signs with
    std::string refused_token_;
    std::map<int, std::pair<void*, StatusCallback>> observers_;
    int next_observer_ = 0;
    Mutex observer_mutex_;

    std::atomic<bool> cut_requested_{false};
    std::atomic<uint64_t> bytes_stored_{0};
    std::atomic<bool> drained_{false};
    std::atomic<bool> stored_since_start_{false};
    // Network thread only.
    WriteTurn turn_;
    bool object_open_ = false;
    int object_format_ = 0;
    uint32_t object_start_ts_ = 0;
    uint32_t last_video_ts_ = 0;
    uint64_t dropped_frames_ = 0;
    bool skip_to_key_ = false;  // a video frame was dropped: wait for a key frame
    unsigned long batch_started_ = 0;  // monotonic ms of the batch's first tag; 0 none
};

// Told on the task queue when a stream's last recording has ended.
class DoaServiceListener {
  public:
    virtual ~DoaServiceListener() = default;
    virtual void OnDoaIdle(int doa_id, int dev_id, int service_id) = 0;
};

class DoaService {
  public:
    static SharedPtr<DoaService> Create(int doa_id, int dev_id, int service_id,
                                        DoaServiceListener* listener);
    ~DoaService();

    // Recordings one stream carries at once; more are refused.
    static constexpr size_t kMaxRecordings = 64;

    // Task queue. -1 (logged) when the stream has its most recordings.
    int StartRecord(const DoaServiceProperty& property);
    int UpdateRecord(const DoaServiceProperty& property);
    int StopRecord(const DoaServiceProperty& property);
    // Ends the recordings whose duration has run out.
    void CheckRecords();
    // Detaches from credentials and status, closes the stream.
    void Shutdown();
    size_t Recordings();
    // Storage-stream restarts tried so far (the tests' view of the back-off).
    unsigned RestartAttempts() const { return restart_attempts_; }

    void SetBuffer(unsigned kbps) { stream_->SetBuffer(kbps); }
    void SetAudioCodec(const ks_audio_param_s* audio) { stream_->SetAudioCodec(audio); }
    int AddVideoFrame(int format, bool key, const unsigned char* data, unsigned len, unsigned ts) {
        return stream_->AddVideoFrame(format, key, data, len, ts);
    }
    int AddAudioFrame(const unsigned char* data, unsigned len, unsigned ts) {
        return stream_->AddAudioFrame(data, len, ts);
    }
    SharedPtr<DoaStreamService> Stream() const { return stream_; }

  private:
    struct Recording {
        DoaServiceProperty property;
        uint64_t stored_ms;
    };
    DoaService(int doa_id, int dev_id, int service_id, DoaServiceListener* listener);
    static void identifyResult(void* context, int dev_id, const KivUploadIdentify& identity);
    static void streamStatus(void* context, const DoaStreamService::OnStatusParam& param);
    void post(void (*fn)(DoaService&), unsigned long delay_ms);
    void postIdentity(const KivUploadIdentify& identity);
    void onIdentity(const KivUploadIdentify& identity);
    void onStreamClosed();
    void restart();
    void scheduleRestart(const std::string& why);
    void refresh();
    void scheduleCheck();
    void endAll(const char* why);
    void applyMaxDuration();

    WeakPtr<DoaService> self_;
    int doa_id_;
    int dev_id_;
    int service_id_;
    DoaServiceListener* listener_;
    std::string label_;
    Mutex mutex_;
    std::list<Recording> recordings_;
    int kiv_observer_ = 0;     // task queue
    int status_observer_ = 0;  // task queue
    bool restart_posted_ = false;
    unsigned long restart_delay_ = 0;  // 0: the last start went well
    std::string restart_why_;          // what the last back-off line said
    std::atomic<unsigned> restart_attempts_{0};
    bool refresh_posted_ = false;
    SharedPtr<DoaStreamService> stream_;
};

class DoaServiceFactory {
  public:
    int AddDoa(int dev_id = 0, int service_id = 0);
    void DeleteDoa(int id);
    bool query(int id, SharedPtr<DoaService>& out);
    void SetListener(DoaServiceListener* listener) { listener_ = listener; }

    int StartRecord(int id, const DoaServiceProperty& property);
    int UpdateRecord(int id, const DoaServiceProperty& property);
    int StopRecord(int id, const DoaServiceProperty& property);
    void CheckRecords(int id);
    void SetBuffer(int id, unsigned kbps);
    void SetVideoCodec(int, const ks_video_param_s*) {}
    void SetAudioCodec(int id, const ks_audio_param_s* audio);
    int AddVideoFrame(int id, int format, bool key, const unsigned char* data, unsigned len,
                      unsigned ts);
    int AddAudioFrame(int id, const unsigned char* data, unsigned len, unsigned ts);
    // Shuts every service down (ks_destroy).
    void Clear();

  private:
    Mutex mutex_;
    std::map<int, SharedPtr<DoaService>> services_;
    int count_ = 0;
    std::atomic<DoaServiceListener*> listener_{nullptr};
};

}  // namespace kestrel
