#include "sdk/device_monitor.h"

#include <cjson/cJSON.h>
#include <kestrel/ks_api.h>

#include "core/logger.h"
#include "core/redact.h"
#include "core/single.h"
#include "net/task_entry.h"
#include "net/task_queue.h"
#include "sdk/device_env.h"
#include "sdk/json_envelope.h"
#include "sdk/message_service.h"
#include "sdk/sdk_version.h"

namespace kestrel {

namespace {

std::atomic<DeviceMonitor::DelayHook> g_delay_hook{nullptr};

unsigned long Delay(unsigned long nominal) {
    DeviceMonitor::DelayHook hook = g_delay_hook.load();
    return hook ? hook(nominal) : nominal;
}

MessageService* Messages() {
    return Single<MessageService>::Instance();
}

// Reports run on the task-queue thread; they look the monitor up when they run,
// so a task left over from a destroyed SDK reaches no stale object.
class VersionTask : public TaskEntry {
  public:
    explicit VersionTask(int dev_id) : dev_id_(dev_id) {}
    void Run() override {
        if (DeviceMonitor* m = Single<DeviceMonitor>::Peek())
            m->ReportVersionInfo(dev_id_);
    }

  private:
    int dev_id_;
};

class PropertyTask : public TaskEntry {
  public:
    explicit PropertyTask(int dev_id) : dev_id_(dev_id) {}
    void Run() override {
        if (DeviceMonitor* m = Single<DeviceMonitor>::Peek())
            m->ReportProperty(dev_id_);
    }

  private:
    int dev_id_;
};

// The statistics report's values arrive as texts; each is written so that the
// message stays valid JSON whatever it holds: strings escaped, a number that
// is missing or malformed written as 0, a bad list left empty.
std::string JsonText(const std::string& v) {
    return JsonQuote(v);
}

bool IsNumberText(const std::string& v) {
    cJSON* item = cJSON_ParseWithOpts(v.c_str(), nullptr, 1);
    bool ok = cJSON_IsNumber(item);
    cJSON_Delete(item);
    return ok;
}

std::string JsonNumber(const char* key, const std::string& v) {
    if (IsNumberText(v))
        return v;
    if (!v.empty())
        KS_LOGW("Monitor report: %s \"%s\" is not a number, 0 written", key, v.c_str());
    return "0";
}

std::string JsonNumberList(const char* key, const std::string& v) {
    cJSON* list = cJSON_ParseWithOpts(("[" + v + "]").c_str(), nullptr, 1);
    bool ok = cJSON_IsArray(list);
    for (cJSON* e = ok ? list->child : nullptr; e; e = e->next)
        ok = ok && cJSON_IsNumber(e);
    cJSON_Delete(list);
    if (ok)
        return v;
    KS_LOGW("Monitor report: %s [%s] is not a list of numbers, left empty", key, v.c_str());
    return "";
}

}  // namespace

void DeviceMonitor::SetDelayHook(DelayHook hook) {
    g_delay_hook = hook;
}

int DeviceMonitor::ReportVersionInfo(int dev_id) {
    if (report_on_) {
        TaskEntry* next = new VersionTask(dev_id);
        next->SetDelayTime(Delay(kVersionReportPeriodMs));
        DeviceEnv::Get()->Task()->AddTask(next);
    }
    std::string version = std::string(kSdkVersion) + "_" + kSdkBuildIds[0] + "_" + kSdkBuildIds[1] +
                          "_" + kSdkBuildIds[2] + "_" + kSdkBuildDate + "_" + kSdkBuilder;
    JsonObjectWriter params;
    params.Str("version", version).Str("pic", "kiv");
    JsonObjectWriter envelope;
    envelope.Str("version", "1.0").Str("method", "IpcNvrSDKVersion").Raw("params", params.Text());
    std::string payload = envelope.Text();
    KS_LOGD("version: %s", redact_text(payload).c_str());
    return Messages()->AddKestrel(dev_id, kMonitorTopic, payload);
}

int DeviceMonitor::ReportVersionInfoStop() {
    report_on_ = false;
    return 0;
}

int DeviceMonitor::ReportProperty(int dev_id) {
    bool pre = pre_record_;
    int ret = Messages()->AddProperty(
        dev_id,
        std::string("{\"UploadPictureType\":1,\"EncryptTypeList\":[0],\"PreRecordSupport\":") +
            (pre ? "1" : "0") + "}");
    if (ret < 0)
        return ret;
    ret = Messages()->AddKestrel(
        dev_id, "/vision/biz/dev/core/ability/upstream",
        std::string(
            "{\"version\":\"1.0\",\"params\":{\"domainNameSupport\": true,\"preRecordSupport\":") +
            (pre ? "true" : "false") + "}}");
    if (ret < 0)
        return ret;
    return Messages()->AddKestrel(dev_id, "/vision/p2p/dev/ability/upstream",
                                  "{\"version\":\"1.0\",\"params\":{\"p2pPreConnect\":true}}");
}

int DeviceMonitor::ReportPropertyAsync(int dev_id) {
    if (dev_id < 0)
        return -1;
    TaskEntry* task = new PropertyTask(dev_id);
    task->SetDelayTime(Delay(static_cast<unsigned long>(dev_id) * kSubCameraReportStepMs +
                             kSubCameraReportDelayMs));
    DeviceEnv::Get()->Task()->AddTask(task);
    return 0;
}

int DeviceMonitor::ReportRelayInfoV1_1(int dev_id, const MonitorRelayInfo& i) {
    // Every value goes through the escaping writer: the session id and the
    // message can carry text that came from the cloud.
    std::string payload =
        "{\"version\":\"1.1\",\"method\":" + JsonText(i.method) +
        ",\"code\":" + JsonNumber("code", i.code) + ",\"message\":" + JsonText(i.message) +
        ",\"params\":{\"sessionId\":" + JsonText(i.session_id) +
        ",\"recvPushUtc\":" + JsonText(i.recv_push_utc) +
        ",\"recvPushTs\":" + JsonText(i.recv_push_ts) +
        ",\"startRtmpTs\":" + JsonText(i.start_rtmp_ts) +
        ",\"handshakeTs\":" + JsonText(i.handshake_ts) + ",\"iframeTs\":" + JsonText(i.iframe_ts) +
        ",\"forceCmdTs\":" + JsonText(i.force_cmd_ts) +
        ",\"forceIframeTs\":" + JsonText(i.force_iframe_ts) +
        ",\"iframeSize\":" + JsonText(i.iframe_size) + ",\"buffSize\":" + JsonText(i.buff_size) +
        ",\"videoCodec\":" + JsonText(i.video_codec) +
        ",\"audioCodec\":" + JsonText(i.audio_codec) + ",\"encrypt\":" + JsonText(i.encrypt) + "}}";
    return Messages()->AddKestrel(dev_id, kMonitorTopic, payload);
}

int DeviceMonitor::ReportTransQualityStatistic(int dev_id, const MonitorTransQualityInfo& i) {
    std::string payload =
        "{\"version\":\"1.1\", \"method\":\"transQualityStatistic\", "
        "\"code\":200,\"message\":\"Success\",\"params\":{\"sessionId\":" +
        JsonText(i.session_id) + ",\"module\":" + JsonText(i.module) +
        ",\"beginTs\":" + JsonText(i.begin_ts) + ",\"endTs\":" + JsonText(i.end_ts) +
        ",\"baseUtc\":" + JsonText(i.base_utc) + ",\"sendDeltaSd\":[" +
        JsonNumberList("sendDeltaSd", i.send_delta_sd) + "],\"pingDelay\":[" +
        JsonNumberList("pingDelay", i.ping_delay) +
        "],\"dropFrame\":" + JsonNumber("dropFrame", i.drop_frame) +
        ",\"avgBitrate\":" + JsonNumber("avgBitrate", i.avg_bitrate) +
        ",\"peakBitrate\":" + JsonNumber("peakBitrate", i.peak_bitrate) +
        ",\"fps\":" + JsonNumber("fps", i.fps) + ",\"gop\":" + JsonNumber("gop", i.gop) +
        ",\"maxIframe\":" + JsonNumber("maxIframe", i.max_iframe) +
        ",\"totalFlow\":" + JsonNumber("totalFlow", i.total_flow) +
        ",\"buffQueue\":" + JsonNumber("buffQueue", i.buff_queue) + "}}";
    return Messages()->AddKestrel(dev_id, kMonitorTopic, payload);
}

}  // namespace kestrel
