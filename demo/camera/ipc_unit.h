// One simulated camera: two looping live sources (main and sub-stream), a
// playback replayer over a list of files that form one timeline, a periodic
// picture and a property table, all feeding the sinks given at construction.
#pragma once

#include <kestrel/ks_api.h>

#include <string>
#include <vector>

#include "dummy_ipc.h"
#include "media_parse.h"
#include "picture_parser.h"
#include "property_parser.h"
#include "replay_clock.h"

namespace kestrel {
namespace camera {

struct IpcSinks {
    dummy_ipc_video_sink video;
    dummy_ipc_audio_sink audio;
    dummy_ipc_picture_sink picture;
    dummy_ipc_property_sink property;
    dummy_ipc_record_sink record;
    dummy_ipc_end_sink end;  // may be null
};

class IpcUnit {
  public:
    // Every sink is required.
    explicit IpcUnit(const IpcSinks& sinks, ReplayClock& clock = SystemReplayClock());
    IpcUnit(const IpcUnit&) = delete;
    IpcUnit& operator=(const IpcUnit&) = delete;
    ~IpcUnit();

    // live and vod hold exactly two stream names each. Checks that every file
    // exists, starts both live replayers (attached to no service) and the
    // picture thread. Returns 0 or -1.
    int Start(const std::vector<std::string>& live, const std::vector<std::string>& vod,
              const std::string& picture, unsigned interval);
    void Stop();

    // Copies the identity; -1 for a null identity or a null string in it.
    int SetAuth(const ks_device_auth_s* auth);
    bool SameAuth(const ks_device_auth_s* auth) const;

    int LiveStart(int stream, int service_id);
    int LiveStop(int service_id);
    int LiveRequestIFrame(int service_id);
    int LiveGetParam(int service_id, ks_audio_param_s* audio, ks_video_param_s* video);

    int VodGetParam(ks_video_param_s* video, ks_audio_param_s* audio);
    int VodPause(bool pause);
    int VodStop();
    // Playback by time: the playback files play as one timeline.
    int VodSeek(int service_id, unsigned position_ms);
    // Playback by file: an empty name seeks the current file.
    int VodSeekFile(int service_id, unsigned position_ms, const std::string& name);
    int VodSetParam(unsigned speed, bool key_only);
    void VodQueryList(const ks_query_record_param_s* query);

    int SetProperty(const std::string& name, const std::string& value);
    void GetAllProperty();
    int Capture(unsigned char** p, unsigned* len);

    MediaParse& LiveMain() { return live_main_; }
    MediaParse& LiveSub() { return live_sub_; }
    MediaParse& Playback() { return vod_; }
    PropertyParser& Properties() { return property_; }

  private:
    static void OnVideo(void* self, int service_id, ks_video_format_e format, unsigned char* p,
                        unsigned len, unsigned timestamp, int key_frame);
    static void OnAudio(void* self, int service_id, ks_audio_format_e format, unsigned char* p,
                        unsigned len, unsigned timestamp);
    static void OnPicture(void* self, unsigned char* p, unsigned len);
    static void OnEnd(void* self, int service_id);
    static int OnProperty(void* self, const char* json);
    ks_device_auth_s Auth();

    IpcSinks sinks_;
    std::vector<std::string> vod_list_;
    MediaParse live_main_;
    MediaParse live_sub_;
    MediaParse vod_;
    PictureParser picture_;
    PropertyParser property_;
    // Set once before Start; read by the picture thread and callers after.
    std::string product_key_;
    std::string device_name_;
    std::string device_secret_;
    int dev_id_ = -1;
    bool started_ = false;
};

}  // namespace camera
}  // namespace kestrel
