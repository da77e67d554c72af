// The SDK brought up through its public API for stream tests: the
// application's stream callbacks are recorded, cloud requests go in through
// ks_message_adapter, and relays point at loopback peers.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <kestrel/ks_api.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/logger.h"
#include "core/single.h"
#include "log_capture.h"
#include "sdk/message_service.h"
#include "sdk/streaming/stream_manager.h"
#include "sdk/streaming/stream_session.h"

namespace streamtest {

struct Started {
    int service_id;
    int cmd_type;
    int stream_type;
    int pre_time;
    uint32_t begin, end;
    int seek, record_type;
    std::string file;
};
struct Stopped {
    int service_id;
    int cmd_type;
};
struct Command {
    int service_id;
    int cmd;
    uint32_t timestamp, speed, key_only;
};

// What the application was told, in order.
struct App {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<Started> starts;
    std::vector<Stopped> stops;
    std::vector<Command> cmds;
    std::vector<std::string> published;  // topic + " " + message
    int start_result = 0;                // what OnStart answers

    static App& Get() {
        static App app;
        return app;
    }
    void Reset() {
        std::lock_guard<std::mutex> l(mu);
        starts.clear();
        stops.clear();
        cmds.clear();
        published.clear();
        start_result = 0;
    }
    bool WaitFor(const std::function<bool()>& done, int timeout_ms = 5000) {
        std::unique_lock<std::mutex> l(mu);
        return cv.wait_for(l, std::chrono::milliseconds(timeout_ms), done);
    }
};

inline int OnStart(const ks_device_auth_s*, const ks_start_push_stream_param_s* p) {
    App& a = App::Get();
    std::lock_guard<std::mutex> l(a.mu);
    a.starts.push_back({p->service_id, p->stream_cmd_type, p->stream_type, p->pre_time,
                        p->begin_time, p->end_time, p->seek_time, p->record_type,
                        p->file_name ? p->file_name : ""});
    a.cv.notify_all();
    return a.start_result;
}
inline int OnStop(const ks_device_auth_s*, const ks_stop_push_stream_param_s* p) {
    App& a = App::Get();
    std::lock_guard<std::mutex> l(a.mu);
    a.stops.push_back({p->service_id, p->stream_cmd_type});
    a.cv.notify_all();
    return 0;
}
inline int OnCmd(const ks_device_auth_s*, const ks_on_push_stream_cmd_param_s* p) {
    App& a = App::Get();
    std::lock_guard<std::mutex> l(a.mu);
    a.cmds.push_back({p->service_id, p->cmd_type, p->timestamp, p->speed, p->key_only});
    a.cv.notify_all();
    return 0;
}
inline void OnPublish(const kestrel::MessageService::MessagePublishParam* p) {
    App& a = App::Get();
    std::lock_guard<std::mutex> l(a.mu);
    a.published.push_back(std::string(p->topic) + " " + p->message);
    a.cv.notify_all();
}

inline int OnData(const ks_device_auth_s*, const ks_on_push_streaming_data_param_s*) {
    return 0;
}
inline void OnQuery(const ks_device_auth_s*, const ks_query_record_param_s*) {}
inline int OnPicture(const ks_device_auth_s*, const ks_trigger_picture_param_s*) {
    return 0;
}
inline int OnFeature() {
    return 0;
}

// A TCP port that takes connections into its backlog and never answers.
class SilentPeer {
  public:
    SilentPeer() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        listen(fd_, 64);
    }
    ~SilentPeer() { close(fd_); }
    int port() const { return port_; }

  private:
    int fd_;
    int port_;
};

constexpr const char* kPk = "pkStream";
constexpr const char* kDn = "camStream";
constexpr const char* kDs = "c2VjcmV0LWtleS0xMjM0";

class StreamTest : public ::testing::Test {
  protected:
    void SetUp() override {
        App::Get().Reset();
        pk_ = kPk;
        dn_ = kDn;
        ds_ = kDs;
        auth_ = {0, &pk_[0], &dn_[0], &ds_[0]};
        ks_init_config_s c;
        memset(&c, 0, sizeof c);
        c.log_level = 5;
        c.vod_solo_max = vod_solo;
        c.vod_all_max = vod_all;
        c.process_parallel = 1;
        ks_init_callback_s cb;
        memset(&cb, 0, sizeof cb);
        cb.message_publish_cb = OnPublish;
        cb.start_push_streaming_cb = OnStart;
        cb.stop_push_streaming_cb = OnStop;
        cb.on_push_streaming_cmd_cb = OnCmd;
        cb.on_push_streaming_data_cb = OnData;
        cb.query_storage_record_cb = OnQuery;
        cb.trigger_picture_cb = OnPicture;
        cb.feature_check_cb = OnFeature;
        ks_init_system_s sys{0};
        ASSERT_EQ(0, ks_init(&c, &cb, &sys));
        ks_message_adapter_param_s p;
        memset(&p, 0, sizeof p);
        p.type = KS_MESSAGE_ADAPTER_TYPE_CONNECTED;
        ASSERT_EQ(0, ks_message_adapter(&auth_, &p));
    }
    void TearDown() override {
        ks_destroy();
        kestrel::RelayServiceFactory::SetClientTimeouts(0, 0);
    }

    // Delivers a service call and returns once the task thread has handled it.
    void Call(const std::string& service, const std::string& payload) {
        Deliver(KS_MESSAGE_ADAPTER_TYPE_TSL_SERVICE, service, payload);
        Flush();
    }
    void Deliver(ks_message_adapter_type_e type, const std::string& service,
                 const std::string& payload) {
        std::string id = std::to_string(++msg_id_);
        ks_message_adapter_param_s p;
        memset(&p, 0, sizeof p);
        p.type = type;
        p.msg_id = id.c_str();
        p.msg_id_len = static_cast<uint32_t>(id.size());
        p.service = service.c_str();
        p.service_len = static_cast<uint32_t>(service.size());
        p.payload = payload.c_str();
        p.payload_len = static_cast<uint32_t>(payload.size());
        ASSERT_EQ(0, ks_message_adapter(&auth_, &p));
    }
    // Messages are handled in order on one thread: once a later one has been
    // seen, the earlier one is done.
    void Flush() {
        std::string tag = "FlushMark" + std::to_string(++msg_id_);
        // The mark must not fall under the log's flood limit after a burst
        // of messages from the same line.
        kestrel::logger_reset_limits();
        Deliver(KS_MESSAGE_ADAPTER_TYPE_TSL_SERVICE, tag, "{}");
        for (int i = 0; i < 500 && !log_.Contains("key = " + tag); ++i)
            usleep(2000);
        ASSERT_TRUE(log_.Contains("key = " + tag));
    }

    static std::string LiveUrl(int port, const std::string& stream, const std::string& query) {
        return "rtmp://127.0.0.1:" + std::to_string(port) + "/live?token=tok" + query + "/" +
               stream;
    }
    static std::string VodUrl(int port, const std::string& session, const std::string& query = "") {
        return "rtmp://127.0.0.1:" + std::to_string(port) + "/vod?token=tok&session=" + session +
               query + "/vodstream";
    }

    kestrel::StreamSession* Session() {
        return kestrel::Single<kestrel::StreamSession>::Instance();
    }
    size_t Sessions() { return Session()->Manager()->Size(); }
    size_t Relays() { return kestrel::Single<kestrel::RelayServiceFactory>::Instance()->Count(); }

    unsigned vod_solo = 1;
    unsigned vod_all = 1;
    std::string pk_, dn_, ds_;
    ks_device_auth_s auth_;
    int msg_id_ = 0;
    kestrel_test::LogCapture log_;
};

}  // namespace streamtest
