// Alarm events with a picture: the event is published at once with a picture
// id, the picture waits in the store until the cloud answers with an upload
// URL for that id. EventLimit keeps the cloud's rate limits for intelligent
// alarm events.
#pragma once

#include <map>
#include <string>

#include "core/mutex.h"
#include "sdk/picture/one_time_put.h"
#include "sdk/picture/picture_clock.h"

namespace kestrel {

struct PictureData {
    int service_id = 0;
    int index = 0;
    std::string picture_id;
    std::string prefix;
    uint64_t created_ms = 0;
};

class AlarmEventResult : public OneTimePutHandler {
  public:
    void SetInfo(const std::string& prefix) { prefix_ = prefix; }
    void OnResult(bool ok) override;

  private:
    std::string prefix_;
};

class AlarmEventService {
  public:
    enum : uint64_t { kMinIntervalMs = 1000 };

    AlarmEventService();
    void SetClock(const PictureClock& clock) { clock_ = clock; }

    // 0 when the event was published, -1 otherwise.
    int AddData(int dev_id, const char* data, unsigned len, int type, bool with_extra,
                const std::string& extra, int* service_id);
    void AddRequest(int dev_id, const std::string& picture_id, const std::string& url);
    void Clear();
    size_t Pending();

  private:
    bool permit(const std::string& prefix);
    void expire(uint64_t now);

    PictureClock clock_;
    Mutex mutex_;
    std::map<std::string, PictureData> waiting_;
    uint64_t last_post_ms_ = 0;  // wall clock; 0 = none yet
    int counter_ = 0;
};

class EventLimit {
  public:
    enum : unsigned long { kRequestDelayMs = 30000 };

    EventLimit();
    void SetClock(uint64_t (*mono_ms)()) { mono_ms_ = mono_ms; }

    // Registers the limit answer topic.
    void Init();
    // Asks the cloud for the limits, 30 s from now.
    void Start(int);
    void Stop() {}
    // 0 = permitted, -1 = refused.
    int SingleIsPermit(int key);
    // One limit answer; -1 (logged) when it is refused.
    int Parse(const std::string& payload);

    static void upstream(void* user);
    static void eventLimitDownstream(void* user, int dev_id, const std::string& topic,
                                     const std::string& payload);

  private:
    uint64_t (*mono_ms_)();
    Mutex mutex_;
    bool single_unlimited_ = false;
    bool batch_unlimited_ = false;
    uint32_t single_interval_ = 10000;
    uint32_t batch_interval_ = 100;
    std::map<int, uint64_t> last_;
    int counter_ = 0;
};

}  // namespace kestrel
