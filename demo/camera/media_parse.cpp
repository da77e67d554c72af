#include "media_parse.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

namespace kestrel {
namespace camera {

namespace {
// Room around the frame for a consumer that writes headers in front of the
// payload or pads it in place.
constexpr size_t kHeadRoom = 64;
constexpr size_t kTailRoom = 64;
// Spacing assumed after a stream's last frame when it has a single frame.
constexpr uint32_t kDefaultFrameGap = 40;
}  // namespace

MediaParse::MediaParse(VideoSink video, AudioSink audio, void* user, ReplayClock& clock)
    : video_sink_(video),
      audio_sink_(audio),
      user_(user),
      clock_(clock),
      buffer_(new unsigned char[kHeadRoom + kMaxFrameLen + kTailRoom]) {}

MediaParse::~MediaParse() {
    Stop();
}

int MediaParse::GetDuration(const std::string& path, double* seconds) {
    if (seconds == nullptr) {
        return -1;
    }
    StreamParam param;
    if (ReadStreamMeta(path + ".meta", &param) != 0) {
        return -1;
    }
    *seconds = param.duration;
    return 0;
}

int MediaParse::StartLive(int service_id, const std::string& path) {
    return Open(service_id, path, true, 0);
}

int MediaParse::StartVod(int service_id, const std::string& path, unsigned base_ms) {
    return Open(service_id, path, false, base_ms);
}

int MediaParse::Open(int service_id, const std::string& path, bool live, unsigned base_ms) {
    // A run still in progress reads the file and index released below.
    if (IsRunning()) {
        stop_ = true;
        thread_.Stop();
        manual_running_ = false;
    }
    Release();

    std::vector<IndexInfo> index;
    StreamParam param;
    int fd = -1;
    if (ReadStreamIndex(path + ".index", &index) != 0) {
        printf("Parse stream index failed\n");
    } else if (ReadStreamMeta(path + ".meta", &param) != 0) {
        printf("Parse stream param failed\n");
    } else if ((fd = open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0) {
        printf("Parse stream file failed\n");
    }
    if (fd < 0) {
        printf("Open file failed\n");
        return -1;
    }

    // A pass of a live loop lasts until the later of the two media would play
    // its next frame, so the first frame of the next pass follows on.
    uint32_t end = index.back().timestamp + 1;
    for (int media : {static_cast<int>(kMediaVideo), static_cast<int>(kMediaAudio)}) {
        const IndexInfo* last = nullptr;
        const IndexInfo* before = nullptr;
        for (auto it = index.rbegin(); it != index.rend(); ++it) {
            if (it->media != media) {
                continue;
            }
            if (last == nullptr) {
                last = &*it;
            } else {
                before = &*it;
                break;
            }
        }
        if (last != nullptr) {
            uint32_t gap = before != nullptr && last->timestamp > before->timestamp
                               ? last->timestamp - before->timestamp
                               : kDefaultFrameGap;
            end = std::max(end, last->timestamp + gap);
        }
    }

    {
        std::lock_guard<std::mutex> lock(param_mutex_);
        path_ = path;
        param_ = param;
        live_ = live;
    }
    fd_ = fd;
    video_format_ = param.video.format;
    audio_format_ = param.audio.format;
    index_.swap(index);
    vod_base_ = base_ms;
    loop_span_ = end - index_.front().timestamp;
    pos_ = 0;
    key_request_ = false;
    seek_request_ = false;
    stop_ = false;
    ended_ = false;
    service_id_ = service_id;
    Reanchor(clock_.NowMs(), 0);

    if (manual_) {
        manual_running_ = true;
        return 0;
    }
    if (thread_.Start(&MediaParse::ThreadMain, this) != 0) {
        Release();
        return -1;
    }
    return 0;
}

void MediaParse::Release() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    index_.clear();
    pos_ = 0;
    std::lock_guard<std::mutex> lock(param_mutex_);
    memset(&param_, 0, sizeof(param_));
    path_.clear();
}

void MediaParse::Stop() {
    stop_ = true;
    thread_.Stop();
    manual_running_ = false;
    Release();
}

void MediaParse::ResetPlayState() {
    if (IsRunning()) {
        Stop();
    }
    paused_ = false;
    resumed_ = false;
    speed_changed_ = false;
    speed_ = 1;
    key_only_ = false;
    key_only_requested_ = false;
}

void MediaParse::Pause(bool pause) {
    if (pause == paused_) {
        return;
    }
    // The resume mark goes first: whoever sees the replayer running again also
    // sees that it must re-anchor.
    if (!pause) {
        resumed_ = true;
    }
    paused_ = pause;
}

void MediaParse::Seek(unsigned ms) {
    seek_target_ = ms;
    seek_request_ = true;
}

void MediaParse::SetSpeed(unsigned speed, bool key_only) {
    if (speed_changed_ || speed < 1 || speed > kMaxSpeed) {
        return;
    }
    if (key_only_requested_ && !key_only) {
        key_request_ = true;  // inter frames follow again: they need a key frame first
    }
    key_only_requested_ = key_only;
    new_speed_ = speed;
    new_key_only_ = key_only;
    speed_changed_ = true;
}

void MediaParse::GetParam(ks_video_param_s& video, ks_audio_param_s& audio) const {
    std::lock_guard<std::mutex> lock(param_mutex_);
    video = param_.video;
    audio = param_.audio;
    video.duration = live_ ? 0 : param_.duration;
}

std::string MediaParse::GetPath() const {
    std::lock_guard<std::mutex> lock(param_mutex_);
    return path_;
}

bool MediaParse::IsRunning() const {
    return manual_ ? manual_running_.load() : thread_.IsAlive();
}

bool MediaParse::ThreadMain(void* self) {
    MediaParse* parse = static_cast<MediaParse*>(self);
    if (!parse->RunCycle()) {
        return false;
    }
    parse->clock_.SleepMs(kCycleMs);
    return true;
}

bool MediaParse::RunCycle() {
    if (stop_ || ended_ || index_.empty()) {
        manual_running_ = false;
        return false;
    }
    bool more = live_ ? LiveCycle() : VodCycle();
    if (!more) {
        ended_ = true;
        manual_running_ = false;
        if (!live_ && !stop_ && end_sink_) {
            end_sink_(user_, service_id_);
        }
    }
    return more;
}

void MediaParse::Reanchor(uint64_t now, size_t pos) {
    time_anchor_ = now;
    ts_anchor_ = pos < index_.size() ? index_[pos].timestamp : 0;
}

void MediaParse::Jump(uint64_t now, size_t from, size_t to) {
    // The frame jumped to carries the timestamp the skipped one would have had.
    live_offset_ += static_cast<int64_t>(index_[from].timestamp) - index_[to].timestamp;
    pos_ = to;
    Reanchor(now, to);
}

bool MediaParse::Due(size_t pos, uint64_t now, unsigned speed) const {
    int64_t elapsed = static_cast<int64_t>(now - time_anchor_) * speed;
    return elapsed >= static_cast<int64_t>(index_[pos].timestamp) - ts_anchor_;
}

bool MediaParse::FindKeyFrame(size_t pos, size_t* found) const {
    for (size_t i = pos; i < index_.size(); ++i) {
        if (index_[i].media == kMediaVideo && index_[i].key) {
            *found = i;
            return true;
        }
    }
    for (size_t i = std::min(pos, index_.size()); i-- > 1;) {
        if (index_[i].media == kMediaVideo && index_[i].key) {
            *found = i;
            return true;
        }
    }
    return false;
}

bool MediaParse::ReadFrame(size_t pos, const char* who) {
    const IndexInfo& frame = index_[pos];
    if (frame.len > kMaxFrameLen) {
        printf("%s Buf is too large\n", who);
        return false;
    }
    unsigned char* buf = buffer_.get() + kHeadRoom;
    if (frame.len < sizeof(kFrameMarker) ||
        pread(fd_, buf, frame.len, static_cast<off_t>(frame.offset)) !=
            static_cast<ssize_t>(frame.len) ||
        memcmp(buf, kFrameMarker, sizeof(kFrameMarker)) != 0) {
        printf("%s Read frame failed\n", who);
        return false;
    }
    return true;
}

void MediaParse::Deliver(size_t pos, uint32_t timestamp) {
    const IndexInfo& frame = index_[pos];
    unsigned char* payload = buffer_.get() + kHeadRoom + sizeof(kFrameMarker);
    unsigned len = frame.len - sizeof(kFrameMarker);
    if (frame.media == kMediaVideo) {
        video_sink_(user_, service_id_, video_format_, payload, len, timestamp, frame.key ? 1 : 0);
    } else if (frame.media == kMediaAudio) {
        audio_sink_(user_, service_id_, audio_format_, payload, len, timestamp);
    }
}

bool MediaParse::LiveCycle() {
    uint64_t now = clock_.NowMs();
    if (key_request_) {
        size_t key;
        if (FindKeyFrame(pos_, &key)) {
            Jump(now, pos_, key);
        } else {
            Reanchor(now, pos_);
        }
        key_request_ = false;
    }
    while (!stop_ && Due(pos_, now, 1)) {
        if (!ReadFrame(pos_, "processLiveFrames")) {
            return false;
        }
        Deliver(pos_, static_cast<uint32_t>(index_[pos_].timestamp + live_offset_));
        if (++pos_ == index_.size()) {
            // Next pass: the timeline runs on without a pause or a repeated
            // timestamp, and without the slip a re-anchor at "now" would add.
            int64_t pass_end = static_cast<int64_t>(index_.front().timestamp) + loop_span_;
            time_anchor_ += static_cast<uint64_t>(pass_end - ts_anchor_);
            if (now > time_anchor_ + loop_span_) {
                time_anchor_ = now;  // stalled for over a pass: resume, don't replay the backlog
            }
            ts_anchor_ = index_.front().timestamp;
            live_offset_ += loop_span_;
            pos_ = 0;
        }
    }
    return true;
}

bool MediaParse::VodCycle() {
    if (paused_) {
        return true;
    }
    uint64_t now = clock_.NowMs();
    if (resumed_.exchange(false)) {
        Reanchor(now, pos_);
    }
    if (seek_request_.exchange(false)) {
        uint32_t target = std::min<uint32_t>(seek_target_, index_.back().timestamp);
        // The first key frame at or after the target; past the last key frame,
        // that last one; no key frame at all, the start.
        size_t to = 0;
        for (size_t i = 0; i < index_.size(); ++i) {
            if (index_[i].media == kMediaVideo && index_[i].key) {
                to = i;
                if (index_[i].timestamp >= target) {
                    break;
                }
            }
        }
        pos_ = to;
        Reanchor(now, pos_);
    }
    if (speed_changed_) {
        speed_ = new_speed_;
        key_only_ = new_key_only_;
        Reanchor(now, pos_);
        speed_changed_ = false;
    }
    if (key_request_) {
        size_t key;
        if (FindKeyFrame(pos_, &key)) {
            pos_ = key;
        }
        Reanchor(now, pos_);
        key_request_ = false;
    }
    while (!stop_ && pos_ < index_.size() && Due(pos_, now, speed_)) {
        const IndexInfo& frame = index_[pos_];
        bool wanted = !key_only_ || (frame.media == kMediaVideo && frame.key);
        if (wanted) {
            if (!ReadFrame(pos_, "processVodFrames")) {
                return false;
            }
            Deliver(pos_, frame.timestamp + vod_base_);
        }
        ++pos_;
    }
    if (pos_ >= index_.size()) {
        printf("processVodFrames end\n");
        return false;
    }
    return true;
}

}  // namespace camera
}  // namespace kestrel
