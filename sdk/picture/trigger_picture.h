// "TriggerPicCapture" without an alarm: the application is asked for a picture
// and its answer is uploaded to the URL the cloud gave.
#pragma once

#include <map>
#include <string>

#include "core/mutex.h"
#include "sdk/picture/one_time_put.h"
#include "sdk/picture/picture_clock.h"

namespace kestrel {

struct pictureProperty {
    int dev_id = 0;
    std::string request_id;
    std::string url;
    std::string prefix;
    uint64_t created_ms = 0;
};

class TriggerPictureResult : public OneTimePutHandler {
  public:
    void SetServiceId(const std::string& prefix) { prefix_ = prefix; }
    void OnResult(bool ok) override;

  private:
    std::string prefix_;
};

class TriggerPictureService {
  public:
    TriggerPictureService();
    void SetClock(const PictureClock& clock) { clock_ = clock; }

    void AddRequest(int dev_id, const std::string& request_id, const std::string& url);
    // 0 when an upload was queued or there was nothing to upload, -1 on failure.
    int AddData(int service_id, const char* data, unsigned len);
    // Forgets every request (the store they would use is going away).
    void Clear();
    size_t Pending();

  private:
    void expire(uint64_t now);

    PictureClock clock_;
    Mutex mutex_;
    std::map<int, pictureProperty> requests_;
};

}  // namespace kestrel
