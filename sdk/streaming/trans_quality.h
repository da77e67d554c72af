// What a live relay actually sends: send-interval jitter, dropped bytes, bit
// rates and buffer occupancy, published as a "transQualityStatistic" report
// every 180 seconds and when the connection closes.
//
// Touched only by the relay's network thread, so it takes no lock. The clock
// is injectable so tests can walk through the reporting periods at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sdk/device_monitor.h"
#include "sdk/streaming/stream_check.h"

namespace kestrel {

class TransQuality {
  public:
    // Monotonic milliseconds.
    using Clock = unsigned long (*)();
    // Where a finished report goes; by default the device monitor.
    using Sink = void (*)(int dev_id, const MonitorTransQualityInfo& info);

    static constexpr unsigned long kJitterWindowMs = 30000;
    static constexpr unsigned long kReportPeriodMs = 180000;

    explicit TransQuality(Clock clock = nullptr, Sink sink = nullptr);

    void SetDevId(int id) { dev_id = id; }
    void SetSessionId(const std::string& id) { session_id = id; }
    void SetModule(const std::string& m) { module = m; }
    void SetFps(unsigned f) { fps = f; }
    void SetGop(unsigned g) { gop = g; }

    // Starts a new reporting period.
    void Reset();
    // For every video frame written; `now_ms` on the same clock.
    void AddVideoInfo(bool key, unsigned timestamp, unsigned len, unsigned long now_ms);
    void DropFrame(unsigned bytes);
    // One occupancy sample, in bytes queued.
    void BufferQueue(unsigned bytes);
    // On close: ends the jitter window and reports.
    void ForceReport();

    // The report as it stands now.
    MonitorTransQualityInfo BuildReport();

  private:
    void CloseJitterWindow();
    void report();

    Clock clock;
    Sink sink;
    int dev_id = 0;
    unsigned fps = 0;
    unsigned gop = 0;
    uint32_t dropped_bytes = 0;
    uint64_t occupancy_sum = 0;
    uint32_t occupancy_count = 0;
    unsigned long sd_window_start = 0;
    unsigned long last_send = 0;
    unsigned long report_start = 0;
    BitrateCheck bitrate{false};
    std::string base_utc;
    std::string begin_ts;
    std::string session_id;
    std::string module;
    std::vector<uint64_t> send_intervals;
    std::vector<double> send_sd;
    std::vector<uint64_t> ping_delays;
};

}  // namespace kestrel
