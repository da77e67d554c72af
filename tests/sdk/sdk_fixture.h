// Brings the SDK up through its public API with recording callbacks.
#pragma once

#include <gtest/gtest.h>
#include <kestrel/ks_api.h>
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "log_capture.h"
#include "sdk/message_service.h"

namespace kestrel_test {

struct Published {
    std::string topic;
    std::string message;
    int qos;
    int dev_id;
};

struct Recorder {
    std::mutex mutex;
    std::condition_variable cond;
    std::vector<Published> published;
    std::vector<std::string> started_files;
    std::vector<pthread_t> callback_threads;
    int feature = 0;

    static Recorder& Get() {
        static Recorder r;
        return r;
    }
    void Reset() {
        std::lock_guard<std::mutex> lock(mutex);
        published.clear();
        started_files.clear();
        callback_threads.clear();
        feature = 0;
    }
    // Waits until `n` messages have been published; returns what there is.
    std::vector<Published> WaitPublished(size_t n, int timeout_ms = 3000) {
        std::unique_lock<std::mutex> lock(mutex);
        cond.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [&] { return published.size() >= n; });
        return published;
    }
    // Waits until a message on a topic ending in `suffix` has been published.
    std::vector<Published> WaitTopicSuffix(const std::string& suffix, int timeout_ms = 3000) {
        std::unique_lock<std::mutex> lock(mutex);
        cond.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
            for (const auto& p : published) {
                if (p.topic.size() >= suffix.size() &&
                    p.topic.compare(p.topic.size() - suffix.size(), suffix.size(), suffix) == 0) {
                    return true;
                }
            }
            return false;
        });
        return published;
    }
    std::vector<std::string> WaitStarted(size_t n, int timeout_ms = 3000) {
        std::unique_lock<std::mutex> lock(mutex);
        cond.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [&] { return started_files.size() >= n; });
        return started_files;
    }
};

inline void OnPublish(const kestrel::MessageService::MessagePublishParam* p) {
    Recorder& r = Recorder::Get();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.published.push_back({p->topic, p->message, p->qos, p->dev_id});
    r.callback_threads.push_back(pthread_self());
    r.cond.notify_all();
}
inline int OnStart(const ks_device_auth_s*, const ks_start_push_stream_param_s* p) {
    Recorder& r = Recorder::Get();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.started_files.push_back(p->file_name ? p->file_name : "(null)");
    r.cond.notify_all();
    return 0;
}
inline int OnStop(const ks_device_auth_s*, const ks_stop_push_stream_param_s*) {
    return 0;
}
inline int OnCmd(const ks_device_auth_s*, const ks_on_push_stream_cmd_param_s*) {
    return 0;
}
inline int OnData(const ks_device_auth_s*, const ks_on_push_streaming_data_param_s*) {
    return 0;
}
inline void OnQuery(const ks_device_auth_s*, const ks_query_record_param_s*) {}
inline int OnPicture(const ks_device_auth_s*, const ks_trigger_picture_param_s*) {
    return 0;
}
inline int OnFeature() {
    Recorder& r = Recorder::Get();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.feature;
}

inline ks_init_config_s DefaultConfig(uint32_t device_type = 0) {
    ks_init_config_s c;
    memset(&c, 0, sizeof(c));
    c.device_type = device_type;
    c.log_level = 5;
    c.log_dest = 0;
    c.vod_solo_max = 1;
    c.vod_all_max = 1;
    c.process_parallel = 1;
    return c;
}

inline ks_init_callback_s DefaultCallbacks() {
    ks_init_callback_s cb;
    memset(&cb, 0, sizeof(cb));
    cb.message_publish_cb = OnPublish;
    cb.start_push_streaming_cb = OnStart;
    cb.stop_push_streaming_cb = OnStop;
    cb.on_push_streaming_cmd_cb = OnCmd;
    cb.on_push_streaming_data_cb = OnData;
    cb.query_storage_record_cb = OnQuery;
    cb.trigger_picture_cb = OnPicture;
    cb.feature_check_cb = OnFeature;
    return cb;
}

// An identity that outlives the calls that name it.
struct Identity {
    std::string pk, dn, ds;
    ks_device_auth_s auth;
    Identity(int dev_id, std::string p, std::string n, std::string s)
        : pk(std::move(p)), dn(std::move(n)), ds(std::move(s)) {
        auth.dev_id = dev_id;
        auth.product_key = &pk[0];
        auth.device_name = &dn[0];
        auth.device_secret = &ds[0];
    }
};

inline int Connect(const ks_device_auth_s* auth) {
    ks_message_adapter_param_s p;
    memset(&p, 0, sizeof(p));
    p.type = KS_MESSAGE_ADAPTER_TYPE_CONNECTED;
    return ks_message_adapter(auth, &p);
}

inline int SendMessage(const ks_device_auth_s* auth, ks_message_adapter_type_e type,
                       const std::string& id, const std::string& service,
                       const std::string& payload) {
    ks_message_adapter_param_s p;
    p.type = type;
    p.msg_id = id.c_str();
    p.msg_id_len = static_cast<uint32_t>(id.size());
    p.service = service.c_str();
    p.service_len = static_cast<uint32_t>(service.size());
    p.payload = payload.c_str();
    p.payload_len = static_cast<uint32_t>(payload.size());
    return ks_message_adapter(auth, &p);
}

class SdkTest : public ::testing::Test {
  protected:
    void SetUp() override { Recorder::Get().Reset(); }
    void TearDown() override { ks_destroy(); }

    int Init(uint32_t device_type = 0) {
        ks_init_config_s c = DefaultConfig(device_type);
        ks_init_callback_s cb = DefaultCallbacks();
        ks_init_system_s sys = {0};
        return ks_init(&c, &cb, &sys);
    }

    LogCapture log_;
};

}  // namespace kestrel_test
