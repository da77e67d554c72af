// The cloud's "TriggerPicCapture" service: a plain request for a fresh
// picture, or (with "eventType" in the URL) the upload URL for an alarm
// event's picture.
#pragma once

#include <string>

#include "sdk/picture/alarm_event.h"
#include "sdk/picture/trigger_picture.h"

namespace kestrel {

class PictureSession {
  public:
    PictureSession();
    ~PictureSession();
    PictureSession(const PictureSession&) = delete;
    PictureSession& operator=(const PictureSession&) = delete;

    void Init();
    int AddPicture(int dev_id, const char* data, unsigned len, int type, bool with_extra,
                   const std::string& extra, int* service_id);
    int AddResponse(int service_id, const char* data, unsigned len);
    // Forgets every waiting request: their pictures go with the store.
    void Clear();

    TriggerPictureService* Trigger() { return trigger_; }
    AlarmEventService* Alarm() { return alarm_; }

    static void triggerPicCaptureHandler(void* user, int dev_id, const std::string& key,
                                         const std::string& value, const std::string& id);

  private:
    TriggerPictureService* trigger_;
    AlarmEventService* alarm_;
};

}  // namespace kestrel
