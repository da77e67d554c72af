// Temporary object-storage credentials per device: asked of the cloud when
// missing or old, cached, refreshed early, rate-limited, and handed to the
// subscribers (the intelligent alarm session) whenever they are ready.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/mutex.h"

namespace kestrel {

struct KivUploadIdentify {
    std::string file_name_prefix_;  // empty: no credentials
    std::string access_key_;
    std::string access_secret_;
    std::string sts_token_;
    std::string endpoint_;
    std::string bucket_name_;
    std::string content_type_;
};

struct KivIdentifyProperty {
    uint32_t active_time_ = 0;  // lifetime in seconds
    uint64_t update_time = 0;   // monotonic seconds of the last answer; 0 = never
    bool updating = false;
    int request_count = 0;
    uint64_t window_start = 0;
    KivUploadIdentify identify;
};

class KivIdentify {
  public:
    using Callback = void (*)(void* user, int dev_id, const KivUploadIdentify& identify);
    using Clock = uint64_t (*)();  // monotonic seconds

    enum : int { kRequestLimit = 4 };
    enum : uint64_t { kLimitWindowS = 3600 };
    enum : unsigned long { kCheckDelayMs = 10000 };

    KivIdentify();
    ~KivIdentify();
    KivIdentify(const KivIdentify&) = delete;
    KivIdentify& operator=(const KivIdentify&) = delete;

    // Registers the credential answer topic with the message service.
    void Init();
    void SetClock(Clock clock) { clock_ = clock; }

    int Attach(void* user, Callback callback);
    void Detach(int id);

    // The subscribers will hear of usable credentials for the device, now or
    // when they arrive (or of an empty identity when none can be had).
    void ForceStsUpdate(int dev_id);
    // The store refused credentials with this token (HTTP 403): if they are
    // still the cached ones they are forgotten, so the next ForceStsUpdate
    // asks the cloud (within the request limit) instead of handing them out
    // again.
    void Refused(int dev_id, const std::string& sts_token);
    // What the check task runs, 10 s after a request.
    void CheckUpdate(int dev_id);
    // One credential answer for a device; -1 (logged) when it is refused.
    int ParseDownstream(int dev_id, const std::string& payload);

    static void picKivDownstream(void* user, int dev_id, const std::string& topic,
                                 const std::string& payload);

  private:
    struct Subscriber {
        void* user;
        Callback callback;
        int id;
    };

    void stsUpdate(int dev_id);
    void picKivUpstream(int dev_id);
    void notify(int dev_id, const KivUploadIdentify& identify);
    uint64_t now() const { return clock_(); }

    Clock clock_;
    Mutex mutex_;
    std::map<int, KivIdentifyProperty> devices_;
    int request_id_ = 0;
    Mutex subscriber_mutex_;
    std::vector<Subscriber> subscribers_;
    int subscriber_counter_ = 0;
};

}  // namespace kestrel
