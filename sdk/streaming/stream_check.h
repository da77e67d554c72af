// Quality checks on what the application hands in for each stream (service
// id): timestamp continuity and audio/video drift, key-frame content,
// key-frame-only discipline during fast playback, a three-GOP bit-rate
// estimate, and optionally a raw dump of every frame to files. The checks only
// log; they never change or hold back the media.
//
// Threads: the application's media threads and the network thread (seek and
// play parameters) call in at once. The service map has its own lock, held
// only to look a unit up; each unit has its own lock for its checks; raw dumps
// are written with no lock held, so one slow disk or one busy stream never
// stalls the others.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "core/mutex.h"
#include "core/shared_ptr.h"

namespace kestrel {

// From the video parameters of ks_stream_send_config.
struct StreamCheckUnitInfo {
    int format = 0;                   // 0 H.264, 1 H.265
    unsigned fps = 0;                 // frames per second
    unsigned key_frame_interval = 0;  // ms
};

// All times in ms. Gaps are scaled by the playback speed.
class TimeStampCheck {
  public:
    static constexpr unsigned kDefaultVideoGap = 200;
    static constexpr unsigned kDefaultKeyInterval = 2000;
    static constexpr unsigned kAvDrift = 500;
    static constexpr unsigned kSeekFrames = 10;

    void SetServiceId(int id) { service_id = id; }
    // The largest accepted video gap becomes two frame intervals.
    void SetFps(unsigned fps);
    // Only intervals above 2000 ms are taken.
    void SetKeyFrameInterval(unsigned ms);
    void SetSeekTimestamp(unsigned ts);
    // 1..16 (the integer part) changes the speed and restarts the checks;
    // anything else is ignored.
    void SetMultiSpeed(double speed);
    // Key-only playback sends one frame a key-frame interval: the gap allowed
    // between video frames grows by that interval while it lasts.
    void SetKeyOnly(bool on) { key_only = on; }
    void CheckVideo(unsigned len, bool key, unsigned ts);
    void CheckAudio(unsigned ts);

    unsigned MaxVideoGap() const { return max_video_gap; }
    unsigned KeyFrameInterval() const { return key_frame_interval; }
    int Speed() const { return speed; }

  private:
    void Reset();

    bool video_seen = false;
    bool audio_seen = false;
    bool seek_pending = false;
    bool audio_resync = false;
    int service_id = 0;
    unsigned max_video_gap = kDefaultVideoGap;
    unsigned last_video = 0;
    unsigned last_audio = 0;
    unsigned seek_ts = 0;
    unsigned key_frame_interval = kDefaultKeyInterval;
    unsigned seek_count = 0;
    int speed = 1;
    bool key_only = false;
};

class VideoCheck {
  public:
    static constexpr unsigned kMinKeyFrame = 4096;
    static constexpr unsigned kScanBytes = 4092;

    void SetServiceId(int id) { service_id = id; }
    void SetKeyOnly(bool on) { key_only = on; }
    void CheckFrame(bool key);
    // True when the key frame carries its parameter sets and a random-access
    // picture; false (logged) otherwise, and the caller may dump its head.
    bool CheckKeyFrame(int format, const unsigned char* data, unsigned len);

  private:
    int service_id = 0;
    bool key_only = false;
};

class AudioCheck {
  public:
    void SetKeyOnly(bool on) { key_only = on; }
    void CheckFrame();

  private:
    bool key_only = false;
};

struct BitrateInfo {
    uint32_t first_ts = 0;
    uint64_t bytes = 0;
    bool started = false;
    void Add(unsigned len, uint32_t ts);
};

// Bit rates in kilobits per second over the last three GOPs and over
// everything since the last reset, from frame timestamps.
class BitrateCheck {
  public:
    explicit BitrateCheck(bool log = true) : logging(log) {}
    void SetServiceId(int id) { service_id = id; }
    void CheckVideo(unsigned len, bool key, uint32_t ts);
    uint32_t GetAvgBitrate();
    uint32_t GetMaxWindowRate() const { return max_window_rate; }
    uint32_t GetMaxKeyFrame() const { return max_key_frame; }
    uint64_t GetTotalBytes() const { return all.bytes; }
    void Reset();

  private:
    static constexpr unsigned kWindow = 3;

    bool logging;
    uint32_t gop_count_since_log = 0;
    int service_id = 0;
    uint32_t last_ts = 0;
    uint32_t max_window_rate = 0;
    uint32_t gop_count = 0;
    uint32_t max_key_frame = 0;
    BitrateInfo all;
    BitrateInfo window[kWindow];
};

// Raw dump of one stream: save_path + "ks_<id>_<local time>.video" / ".audio",
// opened on the first frame of each direction. A file that cannot be opened
// leaves its direction unsaved; a failed write is logged once.
class StreamSave {
  public:
    StreamSave() = default;
    ~StreamSave();
    StreamSave(const StreamSave&) = delete;
    StreamSave& operator=(const StreamSave&) = delete;

    void SetServiceId(int id);
    void SetPath(const std::string& path);
    void CheckVideo(const unsigned char* data, unsigned len);
    void CheckAudio(const unsigned char* data, unsigned len);

  private:
    // Each direction opens and fails on its own: a save file that blocks
    // (a pipe, a slow mount) holds up only its own direction's dump.
    struct File {
        Mutex lock;  // the fields below; never held across a write
        FILE* file = nullptr;
        bool tried = false;
        bool write_failed = false;
    };
    void Write(File& f, const char* ext, const unsigned char* data, unsigned len);
    FILE* Open(const char* ext);

    Mutex lock;  // service_id and save_path
    int service_id = 0;
    std::string save_path;
    File video;
    File audio;
};

class StreamCheckUnit {
  public:
    StreamCheckUnit();
    virtual ~StreamCheckUnit();

    void CheckVideo(int format, const unsigned char* data, unsigned len, bool key, unsigned ts);
    void CheckAudio(const unsigned char* data, unsigned len, unsigned ts);
    void SetPlayParam(int key_only, double speed);
    void SetSeekTimestamp(unsigned ts);
    void SetFrameInfo(const StreamCheckUnitInfo& info);
    void SetServiceId(int id);
    // Starts saving this unit's frames under `path`.
    void SetPath(const std::string& path);
    // The checks were closed or the service ended: a route still holding the
    // unit checks and saves nothing more.
    void Retire() {
        retired = true;
        save = false;
    }

  private:
    Mutex lock;  // the checks below
    std::atomic<bool> retired{false};
    std::atomic<bool> save{false};
    std::unique_ptr<VideoCheck> video;
    std::unique_ptr<AudioCheck> audio;
    std::unique_ptr<TimeStampCheck> timestamps;
    std::unique_ptr<BitrateCheck> bitrate;
    std::unique_ptr<StreamSave> stream_save;
};

// The process-wide entry, Single<StreamCheck>. Every operation returns at once
// while the checks are closed.
class StreamCheck {
  public:
    StreamCheck() = default;
    ~StreamCheck();
    StreamCheck(const StreamCheck&) = delete;
    StreamCheck& operator=(const StreamCheck&) = delete;

    // true closes (and forgets every unit), false opens.
    void FunctionClose(bool close);
    bool IsClosed() const { return closed.load(); }
    // `path` must end in '/', exist and be writable: 0; else -1 (logged).
    // Units created from now on save their frames there.
    int OpenSavePath(const std::string& path);
    void CloseSavePath();

    // The new service's unit, for its route to hold; empty while the checks are closed.
    SharedPtr<StreamCheckUnit> Start(int service_id);
    void Stop(int service_id);
    void SetFrameInfo(int service_id, const StreamCheckUnitInfo& info);
    void CheckVideo(int service_id, int format, const unsigned char* data, unsigned len,
                    bool key_frame, unsigned timestamp);
    void CheckAudio(int service_id, const unsigned char* data, unsigned len, unsigned timestamp);
    void SetSeekTimestamp(int service_id, unsigned timestamp);
    void SetPlayParam(int service_id, int key_only, double speed);

    size_t UnitCount();

  private:
    SharedPtr<StreamCheckUnit> Find(int service_id);
    SharedPtr<StreamCheckUnit> FindOrCreate(int service_id);

    std::atomic<bool> closed{false};
    bool auto_save = false;
    std::string save_path;
    std::map<int, SharedPtr<StreamCheckUnit>> units;
    Mutex lock;  // the map, auto_save and save_path
};

}  // namespace kestrel
