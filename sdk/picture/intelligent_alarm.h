// Intelligent alarm events from the application's own analysis: the picture
// is uploaded with temporary storage credentials first, then the event names
// the stored object. Rate-limited per device by EventLimit.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "core/mutex.h"
#include "sdk/picture/alarm_event.h"
#include "sdk/picture/one_time_put.h"
#include "sdk/storage/kiv_identify.h"

namespace kestrel {

struct IntelligentAlarmEventPropertyPart {
    int alarm_type = 0;
    std::string data;
    std::string product_key;
    std::string device_name;
    std::string algorithm;
};

struct IntelligentAlarmEventProperty {
    int gateway = 0;
    int service_id = 0;
    int dev_id = 0;
    int picture_size = 0;
    int picture_index = 0;
    std::string event_time;
    std::string picture_id;
    std::string prefix;
    std::vector<IntelligentAlarmEventPropertyPart> parts;
};

class IntelligentAlarmEventKivResult : public OneTimePutHandler {
  public:
    explicit IntelligentAlarmEventKivResult(IntelligentAlarmEventProperty property)
        : property_(std::move(property)) {}
    void OnResult(bool ok) override;

  private:
    IntelligentAlarmEventProperty property_;
};

class IntelligentAlarmEventSession {
  public:
    enum { kGatewayParts = 256 };

    IntelligentAlarmEventSession();
    ~IntelligentAlarmEventSession();

    // Starts the limit request and subscribes to credentials; the
    // subscription id.
    int Init();
    void Destroy();
    int AddSingleData(int dev_id, int gateway, const char* data, unsigned len,
                      const std::vector<IntelligentAlarmEventPropertyPart>& parts, int* service_id);
    EventLimit* Limit() { return limit_; }
    size_t Waiting();

    static void identifyResult(void* user, int dev_id, const KivUploadIdentify& identify);
    // The event JSON; empty (logged) when it cannot be built.
    static std::string BuildEvent(const IntelligentAlarmEventProperty& property);
    static void intelligentAlarmEventPublish(const IntelligentAlarmEventProperty& property);

  private:
    void serve(int dev_id, const KivUploadIdentify& identify);
    std::string getRandom();

    Mutex mutex_;
    std::map<int, IntelligentAlarmEventProperty> waiting_;
    unsigned counter_ = 0;
    EventLimit* limit_;
    int subscription_ = 0;
};

}  // namespace kestrel
