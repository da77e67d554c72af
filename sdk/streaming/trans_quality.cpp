#include "sdk/streaming/trans_quality.h"

#include <sstream>

#include "core/logger.h"
#include "core/single.h"
#include "core/time.h"

namespace kestrel {

namespace {

unsigned long MonotonicMs() {
    return Time::GetSystemTimeInt(0);
}

void ToMonitor(int dev_id, const MonitorTransQualityInfo& info) {
    DeviceMonitor* monitor = Single<DeviceMonitor>::Peek();
    if (!monitor) {
        KS_LOGW("Transmission quality of session %s not reported: the SDK is stopped",
                info.session_id.c_str());
        return;
    }
    monitor->ReportTransQualityStatistic(dev_id, info);
}

template <typename T>
std::string JoinList(const std::vector<T>& values) {
    std::ostringstream out;
    for (size_t i = 0; i < values.size(); ++i) {
        if (i)
            out << ',';
        out << values[i];
    }
    return out.str();
}

}  // namespace

TransQuality::TransQuality(Clock c, Sink s) : clock(c ? c : MonotonicMs), sink(s ? s : ToMonitor) {}

void TransQuality::Reset() {
    dropped_bytes = 0;
    occupancy_sum = 0;
    occupancy_count = 0;
    last_send = 0;
    base_utc = Time::GetUtcTime(false);
    unsigned long now = clock();
    begin_ts = std::to_string(now / 1000);
    sd_window_start = report_start = now;
    bitrate.Reset();
    send_sd.clear();
    ping_delays.clear();
}

void TransQuality::AddVideoInfo(bool key, unsigned timestamp, unsigned len, unsigned long now) {
    bitrate.CheckVideo(len, key, timestamp);
    if (now - sd_window_start >= kJitterWindowMs) {
        CloseJitterWindow();
        sd_window_start += kJitterWindowMs;
    }
    if (now - report_start >= kReportPeriodMs) {
        report();
        Reset();
    }
    if (last_send != 0)
        send_intervals.push_back(now - last_send);
    last_send = now;
}

void TransQuality::DropFrame(unsigned bytes) {
    dropped_bytes = UINT32_MAX - dropped_bytes < bytes ? UINT32_MAX : dropped_bytes + bytes;
}

void TransQuality::BufferQueue(unsigned bytes) {
    occupancy_sum += bytes;
    ++occupancy_count;
}

// Population variance of the send intervals, in ms squared.
void TransQuality::CloseJitterWindow() {
    if (send_intervals.empty())
        return;
    const uint64_t n = send_intervals.size();
    uint64_t sum = 0;
    for (uint64_t x : send_intervals)
        sum += x;
    const double mean = static_cast<double>(sum / n);
    double acc = 0;
    for (uint64_t x : send_intervals) {
        double d = static_cast<double>(x) - mean;
        acc += d * d;
    }
    send_sd.push_back(acc / static_cast<double>(n));
    send_intervals.clear();
}

void TransQuality::ForceReport() {
    CloseJitterWindow();
    report();
}

MonitorTransQualityInfo TransQuality::BuildReport() {
    MonitorTransQualityInfo info;
    info.session_id = session_id;
    info.module = module;
    info.begin_ts = begin_ts;
    info.end_ts = std::to_string(clock() / 1000);
    info.base_utc = base_utc;
    info.send_delta_sd = JoinList(send_sd);
    info.ping_delay = JoinList(ping_delays);
    info.drop_frame = std::to_string(dropped_bytes);
    info.avg_bitrate = std::to_string(uint64_t{bitrate.GetAvgBitrate()} * 1024);
    info.peak_bitrate = std::to_string(uint64_t{bitrate.GetMaxWindowRate()} * 1024);
    info.fps = std::to_string(fps);
    info.gop = std::to_string(gop);
    info.max_iframe = std::to_string(bitrate.GetMaxKeyFrame());
    info.total_flow = std::to_string(static_cast<uint32_t>(bitrate.GetTotalBytes()));
    // No sample (nothing written yet) reads as an empty queue, not a hole in the JSON.
    info.buff_queue =
        occupancy_count ? std::to_string(occupancy_sum / occupancy_count) : std::string("0");
    return info;
}

void TransQuality::report() {
    sink(dev_id, BuildReport());
}

}  // namespace kestrel
