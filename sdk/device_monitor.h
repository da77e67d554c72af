// The device's self-descriptions to the cloud: the SDK version report (repeated
// every 20 hours), capability properties, and the streaming parts' reports.
#pragma once

#include <atomic>
#include <string>

namespace kestrel {

// Texts of one relay connection's report, filled by the relay base.
struct MonitorRelayInfo {
    std::string method;
    std::string code;
    std::string message;
    std::string session_id;
    std::string recv_push_utc;
    std::string recv_push_ts;
    std::string start_rtmp_ts;
    std::string handshake_ts;
    std::string iframe_ts;
    std::string force_cmd_ts;
    std::string force_iframe_ts;
    std::string iframe_size;
    std::string buff_size;
    std::string video_codec;
    std::string audio_codec;
    std::string encrypt;
};

// Texts of one transmission-quality report, filled by the statistics.
struct MonitorTransQualityInfo {
    std::string session_id;
    std::string module;
    std::string begin_ts;
    std::string end_ts;
    std::string base_utc;
    std::string send_delta_sd;  // array body
    std::string ping_delay;     // array body
    std::string drop_frame;
    std::string avg_bitrate;
    std::string peak_bitrate;
    std::string fps;
    std::string gop;
    std::string max_iframe;
    std::string total_flow;
    std::string buff_queue;
};

class DeviceMonitor {
  public:
    static constexpr unsigned long kVersionReportPeriodMs = 72000000UL;  // 20 hours
    static constexpr unsigned long kSubCameraReportDelayMs = 30000UL;
    static constexpr unsigned long kSubCameraReportStepMs = 500UL;
    static constexpr const char* kMonitorTopic = "/vision/biz/dev/monitor/upstream";

    // Maps a report's nominal delay to the one actually used. Tests install one
    // to observe the 20-hour and 30-second delays without waiting for them.
    using DelayHook = unsigned long (*)(unsigned long nominal_ms);
    static void SetDelayHook(DelayHook hook);

    int ReportVersionInfo(int dev_id);
    int ReportVersionInfoStop();
    int ReportProperty(int dev_id);
    int ReportPropertyAsync(int dev_id);
    void SetReportSupportPreRecord(bool on) { pre_record_ = on; }

    int ReportRelayInfoV1_1(int dev_id, const MonitorRelayInfo& info);
    int ReportTransQualityStatistic(int dev_id, const MonitorTransQualityInfo& info);

  private:
    std::atomic<bool> report_on_{true};
    std::atomic<bool> pre_record_{false};
};

}  // namespace kestrel
