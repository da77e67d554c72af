#include "sdk/streaming/stream_check.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "core/logger.h"
#include "proto/codec_config.h"

namespace kestrel {

namespace {

unsigned AbsDiff(unsigned a, unsigned b) {
    return a > b ? a - b : b - a;
}

uint32_t ClampU32(uint64_t v) {
    return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v);
}

std::string LocalTimeName() {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    char buf[32];
    strftime(buf, sizeof(buf), "%y-%m-%d-%H-%M-%S", &local);
    return buf;
}

// The head of a bad key frame, 32 bytes a line, for whoever has to find out
// what the encoder sent. Verbose: a broken encoder repeats it every GOP.
void DumpHead(const unsigned char* data, unsigned len) {
    unsigned n = len < VideoCheck::kMinKeyFrame ? len : VideoCheck::kMinKeyFrame;
    char line[32 * 3 + 1];
    for (unsigned row = 0; row < n; row += 32) {
        size_t pos = 0;
        for (unsigned i = row; i < n && i < row + 32; ++i)
            pos += snprintf(line + pos, sizeof(line) - pos, "%02x ", data[i]);
        line[pos] = '\0';
        KS_LOGV("%s", line);
    }
}

}  // namespace

// ---- TimeStampCheck ----

void TimeStampCheck::SetFps(unsigned fps) {
    if (fps != 0)
        max_video_gap = (1000 / fps) * 2;
}

void TimeStampCheck::SetKeyFrameInterval(unsigned ms) {
    if (ms > kDefaultKeyInterval)
        key_frame_interval = ms;
}

void TimeStampCheck::SetSeekTimestamp(unsigned ts) {
    seek_ts = ts;
    seek_pending = true;
    audio_resync = true;
}

void TimeStampCheck::SetMultiSpeed(double x) {
    // Range-checked as a double first: converting an out-of-range value is undefined.
    if (!(x >= 1.0 && x < 17.0))
        return;
    speed = static_cast<int>(x);
    Reset();
}

void TimeStampCheck::Reset() {
    video_seen = audio_seen = seek_pending = audio_resync = false;
    last_video = last_audio = seek_ts = 0;
    seek_count = 0;
}

void TimeStampCheck::CheckVideo(unsigned /*len*/, bool key, unsigned ts) {
    const unsigned s = static_cast<unsigned>(speed);
    if (!video_seen) {
        video_seen = true;
        last_video = ts;
        return;
    }
    if (seek_pending) {
        ++seek_count;
        last_video = ts;
        if (key && AbsDiff(ts, seek_ts) < key_frame_interval * s) {
            KS_LOGD("[Service:%d] Seek success, seek timestamp = %u, key frame = %u", service_id,
                    seek_ts, ts);
            seek_pending = false;
        } else if (!key && seek_count > kSeekFrames) {
            KS_LOGE(
                "[Service:%d] Video error after seek, seek timestamp = %u, current timestamp = %u",
                service_id, seek_ts, ts);
            seek_pending = false;
        }
        return;
    }
    const unsigned gap = (key_only ? key_frame_interval + max_video_gap : max_video_gap) * s;
    if (ts < last_video || ts - last_video > gap) {
        KS_LOGE("[Service:%d] Video timestamp error, current = %u, last = %u", service_id, ts,
                last_video);
    }
    if (audio_seen && !audio_resync && AbsDiff(ts, last_audio) > kAvDrift * s) {
        KS_LOGE("[Service:%d] Video or audio timestamp error, current video = %u, last audio = %u",
                service_id, ts, last_audio);
    }
    last_video = ts;
}

void TimeStampCheck::CheckAudio(unsigned ts) {
    const unsigned s = static_cast<unsigned>(speed);
    if (!audio_seen) {
        audio_seen = true;
        last_audio = ts;
        return;
    }
    if (seek_pending)
        return;
    if (audio_resync) {
        audio_resync = false;
    } else {
        if (ts < last_audio || ts - last_audio > 4 * max_video_gap * s) {
            KS_LOGE("[Service:%d] Audio timestamp error, current = %u, last = %u", service_id, ts,
                    last_audio);
        }
        if (video_seen && AbsDiff(ts, last_video) > kAvDrift * s) {
            KS_LOGE(
                "[Service:%d] Video or audio timestamp error, current audio = %u, last video = %u",
                service_id, ts, last_video);
        }
    }
    last_audio = ts;
}

// ---- VideoCheck / AudioCheck ----

void VideoCheck::CheckFrame(bool key) {
    if (key_only && !key)
        KS_LOGE("[Service:%d] Key mode, should not push non-key video frame", service_id);
}

bool VideoCheck::CheckKeyFrame(int format, const unsigned char* data, unsigned len) {
    if (!data || len < kMinKeyFrame) {
        KS_LOGE("[Service:%d] Key frame is too short, len = %u", service_id, len);
        return true;
    }
    if (format != 0 && format != 1) {
        KS_LOGE("[Service:%d] Video format is not correct, format = %d", service_id, format);
        return true;
    }
    bool vps = false, sps = false, pps = false, idr = false;
    // Only units whose start code begins in the first kScanBytes count: the
    // parameter sets and the slice header sit at the front of a key frame.
    std::vector<NalUnit> units;
    nal_split(data, kScanBytes + 3, &units);
    for (const NalUnit& u : units) {
        if (format == 0) {
            int type = h264_nal_type(u);
            sps |= type == 7;
            pps |= type == 8;
            idr |= type == 5;
        } else {
            int type = h265_nal_type(u);
            vps |= type == 32;
            sps |= type == 33;
            pps |= type == 34;
            idr |= type >= 16 && type <= 21;
        }
    }
    if (format == 0 && !(sps && pps && idr)) {
        KS_LOGE("[Service:%d] Video data is not correct, sps = %d, pps = %d, idr = %d", service_id,
                sps, pps, idr);
        return false;
    }
    if (format == 1 && !(vps && sps && pps && idr)) {
        KS_LOGE("[Service:%d] Video data is not correct, sps = %d, pps = %d, vps = %d, idr = %d",
                service_id, sps, pps, vps, idr);
        return false;
    }
    return true;
}

void AudioCheck::CheckFrame() {
    if (key_only)
        KS_LOGE("Key mode, should not push audio frame");
}

// ---- BitrateCheck ----

void BitrateInfo::Add(unsigned len, uint32_t ts) {
    if (!started) {
        started = true;
        first_ts = ts;
    }
    bytes += len;
}

void BitrateCheck::CheckVideo(unsigned len, bool key, uint32_t ts) {
    last_ts = ts;
    if (key) {
        if (gop_count > 2) {
            const BitrateInfo& oldest = window[gop_count % kWindow];
            uint32_t duration = ts - oldest.first_ts;
            if (duration == 0)
                duration = 1;
            uint64_t sum = 0;
            for (const BitrateInfo& w : window)
                sum += w.bytes;
            uint32_t rate = ClampU32(sum / duration * 8);
            if (rate > max_window_rate)
                max_window_rate = rate;
            if (logging && ++gop_count_since_log >= kWindow) {
                gop_count_since_log = 0;
                KS_LOGI("[Service:%d] The bitrate of last %u gop = %u kBps", service_id, kWindow,
                        rate);
            }
        }
        window[gop_count % kWindow] = BitrateInfo();
        ++gop_count;
        if (len > max_key_frame)
            max_key_frame = len;
    }
    if (gop_count == 0)
        return;
    window[(gop_count - 1) % kWindow].Add(len, ts);
    all.Add(len, ts);
}

uint32_t BitrateCheck::GetAvgBitrate() {
    uint32_t duration = last_ts - all.first_ts;
    if (duration == 0)
        duration = 1;
    uint32_t rate = ClampU32(all.bytes / duration * 8);
    if (logging)
        KS_LOGI("[Service:%d] Total bitrate = %u kBps", service_id, rate);
    return rate;
}

void BitrateCheck::Reset() {
    last_ts = 0;
    max_window_rate = 0;
    gop_count = 0;
    max_key_frame = 0;
    all = BitrateInfo();
    for (BitrateInfo& w : window)
        w = BitrateInfo();
}

// ---- StreamSave ----

StreamSave::~StreamSave() {
    if (video.file)
        fclose(video.file);
    if (audio.file)
        fclose(audio.file);
}

void StreamSave::SetServiceId(int id) {
    MutexGuard guard(lock);
    service_id = id;
}

void StreamSave::SetPath(const std::string& path) {
    MutexGuard guard(lock);
    save_path = path;
}

FILE* StreamSave::Open(const char* ext) {
    std::string name;
    int id;
    {
        MutexGuard guard(lock);
        id = service_id;
        name = save_path + "ks_" + std::to_string(service_id) + "_" + LocalTimeName() + ext;
    }
    FILE* file = fopen(name.c_str(), "wb");
    if (file) {
        KS_LOGI("[Service:%d] Stream auto save create file %s", id, name.c_str());
    } else {
        KS_LOGE("[Service:%d] Stream auto save open %s failed: %s", id, name.c_str(),
                strerror(errno));
    }
    return file;
}

void StreamSave::Write(File& f, const char* ext, const unsigned char* data, unsigned len) {
    FILE* file;
    {
        MutexGuard guard(f.lock);
        if (!f.tried) {
            f.tried = true;
            f.file = Open(ext);
        }
        file = f.file;
    }
    if (!file || !data || len == 0)
        return;
    if (fwrite(data, 1, len, file) == len)
        return;
    int err = errno;
    MutexGuard guard(f.lock);
    if (!f.write_failed) {
        f.write_failed = true;
        MutexGuard names(lock);
        KS_LOGE("[Service:%d] Stream auto save write %s failed: %s", service_id, ext,
                strerror(err));
    }
}

void StreamSave::CheckVideo(const unsigned char* data, unsigned len) {
    Write(video, ".video", data, len);
}

void StreamSave::CheckAudio(const unsigned char* data, unsigned len) {
    Write(audio, ".audio", data, len);
}

// ---- StreamCheckUnit ----

StreamCheckUnit::StreamCheckUnit()
    : video(new VideoCheck),
      audio(new AudioCheck),
      timestamps(new TimeStampCheck),
      bitrate(new BitrateCheck),
      stream_save(new StreamSave) {}

StreamCheckUnit::~StreamCheckUnit() = default;

void StreamCheckUnit::CheckVideo(int format, const unsigned char* data, unsigned len, bool key,
                                 unsigned ts) {
    if (retired)
        return;
    bool key_frame_ok = true;
    {
        MutexGuard guard(lock);
        timestamps->CheckVideo(len, key, ts);
        video->CheckFrame(key);
        if (key)
            key_frame_ok = video->CheckKeyFrame(format, data, len);
        bitrate->CheckVideo(len, key, ts);
    }
    if (!key_frame_ok)
        DumpHead(data, len);
    if (save)
        stream_save->CheckVideo(data, len);
}

void StreamCheckUnit::CheckAudio(const unsigned char* data, unsigned len, unsigned ts) {
    if (retired)
        return;
    {
        MutexGuard guard(lock);
        timestamps->CheckAudio(ts);
        audio->CheckFrame();
    }
    if (save)
        stream_save->CheckAudio(data, len);
}

void StreamCheckUnit::SetPlayParam(int key_only, double speed) {
    MutexGuard guard(lock);
    timestamps->SetMultiSpeed(speed);
    timestamps->SetKeyOnly(key_only != 0);
    video->SetKeyOnly(key_only != 0);
    audio->SetKeyOnly(key_only != 0);
}

void StreamCheckUnit::SetSeekTimestamp(unsigned ts) {
    MutexGuard guard(lock);
    timestamps->SetSeekTimestamp(ts);
}

void StreamCheckUnit::SetFrameInfo(const StreamCheckUnitInfo& info) {
    MutexGuard guard(lock);
    timestamps->SetFps(info.fps);
    timestamps->SetKeyFrameInterval(info.key_frame_interval);
}

void StreamCheckUnit::SetServiceId(int id) {
    {
        MutexGuard guard(lock);
        video->SetServiceId(id);
        timestamps->SetServiceId(id);
        bitrate->SetServiceId(id);
    }
    stream_save->SetServiceId(id);
}

void StreamCheckUnit::SetPath(const std::string& path) {
    stream_save->SetPath(path);
    save = true;
}

// ---- StreamCheck ----

StreamCheck::~StreamCheck() = default;

void StreamCheck::FunctionClose(bool close) {
    std::map<int, SharedPtr<StreamCheckUnit>> gone;
    {
        MutexGuard guard(lock);
        closed = close;
        if (close)
            gone.swap(units);
    }
    for (auto& u : gone)
        u.second->Retire();
    // Units (and their files) go after the lock is released.
    if (close) {
        KS_LOGI("Stream check is close");
    } else {
        KS_LOGI("Stream check is open");
    }
}

int StreamCheck::OpenSavePath(const std::string& path) {
    if (closed) {
        KS_LOGE("Stream check is close");
        return -1;
    }
    if (path.empty() || path.back() != '/') {
        KS_LOGE("Path \"%s\" is not legal, the last character should be '/'", path.c_str());
        return -1;
    }
    if (access(path.c_str(), F_OK) != 0) {
        KS_LOGE("Path %s is not exist", path.c_str());
        return -1;
    }
    if (access(path.c_str(), W_OK) != 0) {
        KS_LOGE("Path %s has not permission to write", path.c_str());
        return -1;
    }
    {
        MutexGuard guard(lock);
        save_path = path;
        auto_save = true;
    }
    KS_LOGI("Stream auto save is open");
    return 0;
}

void StreamCheck::CloseSavePath() {
    if (closed) {
        KS_LOGE("Stream check is close");
        return;
    }
    {
        MutexGuard guard(lock);
        auto_save = false;
    }
    KS_LOGI("Stream auto save is close");
}

SharedPtr<StreamCheckUnit> StreamCheck::Find(int service_id) {
    MutexGuard guard(lock);
    auto it = units.find(service_id);
    return it == units.end() ? SharedPtr<StreamCheckUnit>() : it->second;
}

SharedPtr<StreamCheckUnit> StreamCheck::FindOrCreate(int service_id) {
    std::string path;
    SharedPtr<StreamCheckUnit> unit;
    {
        MutexGuard guard(lock);
        if (closed)
            return unit;
        auto it = units.find(service_id);
        if (it != units.end())
            return it->second;
        unit = SharedPtr<StreamCheckUnit>(new StreamCheckUnit);
        // Configured before it is shared, so no frame sees a half-made unit.
        unit->SetServiceId(service_id);
        if (auto_save)
            unit->SetPath(save_path);
        units[service_id] = unit;
    }
    return unit;
}

SharedPtr<StreamCheckUnit> StreamCheck::Start(int service_id) {
    if (closed)
        return SharedPtr<StreamCheckUnit>();
    return FindOrCreate(service_id);
}

void StreamCheck::Stop(int service_id) {
    if (closed)
        return;
    SharedPtr<StreamCheckUnit> gone;
    {
        MutexGuard guard(lock);
        auto it = units.find(service_id);
        if (it == units.end())
            return;
        gone = std::move(it->second);
        units.erase(it);
    }
    gone->Retire();
}

void StreamCheck::SetFrameInfo(int service_id, const StreamCheckUnitInfo& info) {
    if (closed)
        return;
    // Units live from a service's start to its end; a configuration for any other
    // id (unknown, or a service that already ended) must not make one (nor its
    // dump files) that nothing would ever free.
    if (SharedPtr<StreamCheckUnit> unit = Find(service_id))
        unit->SetFrameInfo(info);
}

void StreamCheck::CheckVideo(int service_id, int format, const unsigned char* data, unsigned len,
                             bool key_frame, unsigned timestamp) {
    if (closed)
        return;
    if (SharedPtr<StreamCheckUnit> unit = Find(service_id))
        unit->CheckVideo(format, data, len, key_frame, timestamp);
}

void StreamCheck::CheckAudio(int service_id, const unsigned char* data, unsigned len,
                             unsigned timestamp) {
    if (closed)
        return;
    if (SharedPtr<StreamCheckUnit> unit = Find(service_id))
        unit->CheckAudio(data, len, timestamp);
}

void StreamCheck::SetSeekTimestamp(int service_id, unsigned timestamp) {
    if (closed)
        return;
    if (SharedPtr<StreamCheckUnit> unit = Find(service_id))
        unit->SetSeekTimestamp(timestamp);
}

void StreamCheck::SetPlayParam(int service_id, int key_only, double speed) {
    if (closed)
        return;
    if (SharedPtr<StreamCheckUnit> unit = Find(service_id))
        unit->SetPlayParam(key_only, speed);
}

size_t StreamCheck::UnitCount() {
    MutexGuard guard(lock);
    return units.size();
}

}  // namespace kestrel
