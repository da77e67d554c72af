// One replayer of a sample stream: it paces the stream's frames against the
// clock and hands them to its sinks. A live run loops forever with timestamps
// that keep increasing; a playback run ends with its file and honours pause,
// seek, speed and key-only requests. Requests are set from other threads and
// taken up by the replay thread in its next cycle (every 20 ms).
#pragma once

#include <kestrel/ks_api.h>
#include <stdint.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "replay_clock.h"
#include "stream_files.h"
#include "thread_entry.h"

namespace kestrel {
namespace camera {

class MediaParse {
  public:
    // Sinks get the replayer's service id with every frame (0 = not attached).
    using VideoSink = void (*)(void* user, int service_id, ks_video_format_e format,
                               unsigned char* p, unsigned len, unsigned timestamp, int key_frame);
    using AudioSink = void (*)(void* user, int service_id, ks_audio_format_e format,
                               unsigned char* p, unsigned len, unsigned timestamp);
    // A playback run has delivered its last frame (not called when stopped).
    using EndSink = void (*)(void* user, int service_id);

    static constexpr unsigned kCycleMs = 20;
    static constexpr uint32_t kInitialLiveOffset = 100000;
    static constexpr unsigned kMaxSpeed = 16;

    MediaParse(VideoSink video, AudioSink audio, void* user,
               ReplayClock& clock = SystemReplayClock());
    MediaParse(const MediaParse&) = delete;
    MediaParse& operator=(const MediaParse&) = delete;
    virtual ~MediaParse();

    // Open N, N.index and N.meta and start replaying from the first frame.
    int StartLive(int service_id, const std::string& path);
    // base_ms is added to every delivered timestamp (the file's place in a
    // timeline of several files).
    int StartVod(int service_id, const std::string& path, unsigned base_ms);
    void Stop();

    void Pause(bool pause);
    void Seek(unsigned ms);
    // Ignored while a previous change is pending or when speed is outside 1..16.
    void SetSpeed(unsigned speed, bool key_only);
    // Playback back to normal: not paused, speed 1, every frame.
    void ResetPlayState();
    void RequestKeyFrame() { key_request_ = true; }
    void SetServiceId(int service_id) { service_id_ = service_id; }
    int GetServiceId() const { return service_id_; }

    // Parameters of the open stream; the video duration is set for playback only.
    void GetParam(ks_video_param_s& video, ks_audio_param_s& audio) const;
    std::string GetPath() const;
    // True while a run is in progress (the replay thread is alive).
    bool IsRunning() const;
    bool IsPaused() const { return paused_; }

    // Duration in seconds from N.meta. Returns 0 or -1.
    static int GetDuration(const std::string& path, double* seconds);

    // Without a thread of its own the replayer runs one cycle per RunCycle()
    // call; tests use it to step replay on simulated time. Set before starting.
    void SetManualDrive(bool manual) { manual_ = manual; }
    // Set before starting.
    void SetEndSink(EndSink sink) { end_sink_ = sink; }
    // One replay cycle; false once the run has ended (stopped, error, end of file).
    bool RunCycle();

  private:
    static bool ThreadMain(void* self);
    int Open(int service_id, const std::string& path, bool live, unsigned base_ms);
    void Release();
    bool LiveCycle();
    bool VodCycle();
    // Reads frame `pos` into the frame buffer; prints and fails on a bad frame.
    bool ReadFrame(size_t pos, const char* who);
    void Deliver(size_t pos, uint32_t timestamp);
    bool Due(size_t pos, uint64_t now, unsigned speed) const;
    // Key frame at or after pos, else the nearest before it down to frame 1.
    bool FindKeyFrame(size_t pos, size_t* found) const;
    void Reanchor(uint64_t now, size_t pos);
    void Jump(uint64_t now, size_t from, size_t to);

    VideoSink video_sink_;
    AudioSink audio_sink_;
    EndSink end_sink_ = nullptr;
    void* user_;
    ReplayClock& clock_;
    ThreadEntry thread_;
    bool manual_ = false;
    std::atomic<bool> manual_running_{false};

    // Owned by whoever starts and stops runs; the thread only reads them.
    std::string path_;
    int fd_ = -1;
    std::vector<IndexInfo> index_;
    bool live_ = true;
    ks_video_format_e video_format_ = KS_VIDEO_FORMAT_H264;
    ks_audio_format_e audio_format_ = KS_AUDIO_FORMAT_PCM;
    uint32_t vod_base_ = 0;
    mutable std::mutex param_mutex_;  // guards param_ and path_ for readers elsewhere
    StreamParam param_{};
    // Live loop: distance from the first frame of one pass to the first of the next.
    uint32_t loop_span_ = 0;

    // Replay thread state.
    bool ended_ = false;  // the run met its end or a bad frame
    size_t pos_ = 0;
    int64_t live_offset_ = kInitialLiveOffset;
    uint64_t time_anchor_ = 0;
    int64_t ts_anchor_ = 0;
    unsigned speed_ = 1;
    bool key_only_ = false;
    std::unique_ptr<unsigned char[]> buffer_;

    // Requests from other threads.
    std::atomic<int> service_id_{0};
    std::atomic<bool> stop_{false};
    std::atomic<bool> key_request_{false};
    std::atomic<bool> seek_request_{false};
    std::atomic<uint32_t> seek_target_{0};
    std::atomic<bool> paused_{false};
    std::atomic<bool> resumed_{false};
    std::atomic<bool> speed_changed_{false};
    std::atomic<unsigned> new_speed_{1};
    std::atomic<bool> new_key_only_{false};
    bool key_only_requested_ = false;  // caller side: the last accepted mode
};

}  // namespace camera
}  // namespace kestrel
