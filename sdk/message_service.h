// The SDK's switchboard for cloud messages. Internal: applications only meet
// its publish record, which the public header gives as ks_message_publish_param_s.
#pragma once

#include <kestrel/ks_api.h>

#include <string>

namespace kestrel {

// The rest is how the SDK's own services reach the cloud.
class MessageService {
  public:
    // One MQTT message for the application to publish on its cloud connection.
    typedef ks_message_publish_param_s MessagePublishParam;
    typedef void (*PublishFn)(const MessagePublishParam* param);
    typedef void (*ServiceHandler)(void* user, int dev_id, const std::string& service,
                                   const std::string& payload, const std::string& msg_id);
    typedef void (*KestrelHandler)(void* user, int dev_id, const std::string& topic,
                                   const std::string& payload);

    MessageService();
    ~MessageService();
    MessageService(const MessageService&) = delete;
    MessageService& operator=(const MessageService&) = delete;

    int RegisterPublish(PublishFn fn);
    // A thing-model service, by its name ("StartPushStreaming").
    int RegisterServiceHandler(const std::string& name, ServiceHandler handler, void* user);
    // An SDK topic, by the topic without "/sys/<product key>/<device name>".
    int RegisterKestrelHandler(const std::string& name, KestrelHandler handler, void* user);

    // Inbound: queued, then delivered on the task-queue thread in call order.
    int AdapterService(int dev_id, const std::string& msg_id, const std::string& service,
                       const std::string& payload);
    int AdapterKestrel(int dev_id, const std::string& topic, const std::string& payload);

    // Outbound: 0 when queued for publishing on the job thread, -1 for an unknown device.
    int AddProperty(int dev_id, const std::string& params);
    int AddEvent(int dev_id, const std::string& event_id, const std::string& params);
    int AddRrpc(int dev_id, const std::string& service, const std::string& data,
                const std::string& msg_id);
    int AddKestrel(int dev_id, const std::string& topic_suffix, const std::string& payload);

    struct Impl;

  private:
    Impl* impl_;
};

}  // namespace kestrel
