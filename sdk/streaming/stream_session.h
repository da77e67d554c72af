// Turns the cloud's stream requests into sessions: a service id towards the
// application, an entry in the service table and a relay that connects to the
// signed URL; routes the application's configuration, frames and commands to
// the session's relay, and tells the application to stop when the relay's
// connection ends.
#pragma once

#include <kestrel/ks_api.h>

#include <atomic>
#include <memory>
#include <string>

#include "sdk/streaming/relay_service.h"
#include "sdk/streaming/stream_manager.h"

namespace kestrel {

class StreamSession : public RelayServiceHandler {
  public:
    static constexpr unsigned kVodSoloCap = 8;
    static constexpr unsigned kVodAllCap = 256;

    StreamSession();
    ~StreamSession() override;

    int Init();
    int Destroy();
    void SetVodSupport(unsigned solo, unsigned all);
    unsigned VodSoloMax() const { return vod_solo_max; }
    unsigned VodAllMax() const { return vod_all_max; }

    // Task-queue thread. 0 when a session was started or already runs.
    static void onMessageDispatch(void* ctx, int dev_id, const std::string& service,
                                  const std::string& payload, const std::string& msg_id);
    static void OnRecordDownstream(void* ctx, int dev_id, const std::string& topic,
                                   const std::string& payload);
    int onStartPushStream(const std::string& service, const std::string& payload, int dev_id);
    int onStartVodByTime(const std::string& service, const std::string& payload, int dev_id);
    int onStartVod(const std::string& service, const std::string& payload, int dev_id,
                   const std::string& msg_id);
    int onStartVoiceIntercom(const std::string& service, const std::string& payload, int dev_id);

    // Application threads.
    int DispatchSendConfig(int service_id, unsigned bitrate_kbps, const ks_video_param_s* video,
                           const ks_audio_param_s* audio);
    int DispatchSendVideo(int service_id, ks_video_format_e format, const unsigned char* data,
                          unsigned len, int key_frame, unsigned timestamp_ms);
    int DispatchSendAudio(int service_id, const unsigned char* data, unsigned len,
                          unsigned timestamp_ms);
    int DispatchCmd(int service_id, ks_push_stream_cmd_s cmd);

    // Network thread.
    void RelayServiceOnClose(const std::string& label, int dev_id, int service_id) override;

    StreamManager* Manager() { return manager.get(); }

  private:
    struct Request;
    int vodAdmit(int dev_id, const std::string& label);
    bool replaceStaleRelay(const Request& req, int existing);
    static void startRefused(void* ctx, int service_id, const std::string& label,
                             const std::string& result, const std::string&);
    int startRelay(const Request& req);

    std::unique_ptr<StreamManager> manager;
    std::atomic<bool> inited{false};
    unsigned vod_solo_max = 1;
    unsigned vod_all_max = 1;
};

}  // namespace kestrel
