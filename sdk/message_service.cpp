#include <kestrel/ks_api.h>

#include <cassert>
#include <atomic>
#include <string>

#include "core/job_pool.h"
#include "core/logger.h"
#include "core/redact.h"
#include "net/task_queue.h"
#include "sdk/device_auth.h"
#include "sdk/device_env.h"
#include "sdk/json_envelope.h"
#include "sdk/message_service.h"
#include "sdk/observer.h"

namespace kestrel {

struct MessageService::Impl {
    std::atomic<int> counter{1000000};
    std::atomic<PublishFn> publish{nullptr};
    // Handlers are kept as untyped pointers; the subject says which signature.
    Observer<std::string, void*> registry;
};

namespace {

class MessageUploadJob : public JobProperty {
  public:
    MessageUploadJob(MessageService::PublishFn publish, int dev_id, int qos, std::string topic,
                     std::string message)
        : publish_(publish),
          dev_id_(dev_id),
          qos_(qos),
          topic_(std::move(topic)),
          message_(std::move(message)) {}

    void Run() override {
        KS_LOGI("Message, topic:%s, message:%s, qos:%d", topic_.c_str(),
                redact_text(message_).c_str(), qos_);
        if (!publish_)
            return;
        MessageService::MessagePublishParam param = {topic_.c_str(), message_.c_str(), qos_,
                                                     dev_id_};
        publish_(&param);
    }

  private:
    MessageService::PublishFn publish_;
    int dev_id_;
    int qos_;
    std::string topic_;
    std::string message_;
};

void messageAdapterTslService(void* user, int dev_id, const std::string& msg_id,
                              const std::string& service, const std::string& payload) {
    auto* impl = static_cast<MessageService::Impl*>(user);
    // Registered with its owner as the context: null is a bug here, not input.
    assert(impl);
    KS_LOGD("Dev id = %d, key = %s, value = %s", dev_id, service.c_str(),
            redact_text(payload).c_str());
    for (const auto& entry : impl->registry.find(service, SUBJECT_SERVICE)) {
        auto handler = reinterpret_cast<MessageService::ServiceHandler>(entry.handler);
        handler(entry.user, dev_id, service, payload, msg_id);
    }
}

void messageAdapterKestrel(void* user, int dev_id, const std::string& msg_id,
                           const std::string& topic, const std::string& payload) {
    auto* impl = static_cast<MessageService::Impl*>(user);
    // Registered with its owner as the context: null is a bug here, not input.
    assert(impl);
    // Storage credentials stay out of the log.
    bool secret = topic == "/vision/pic/kiv/downstream";
    KS_LOGD("Dev id = %d, key = %s, value = %s, id = %s", dev_id, topic.c_str(),
            secret ? "(credentials withheld)" : redact_text(payload).c_str(), msg_id.c_str());
    for (const auto& entry : impl->registry.find(topic, SUBJECT_KESTREL)) {
        auto handler = reinterpret_cast<MessageService::KestrelHandler>(entry.handler);
        handler(entry.user, dev_id, topic, payload);
    }
}

}  // namespace

MessageService::MessageService() : impl_(new Impl) {}

MessageService::~MessageService() {
    delete impl_;
}

int MessageService::RegisterPublish(PublishFn fn) {
    impl_->publish = fn;
    return 0;
}

int MessageService::RegisterServiceHandler(const std::string& name, ServiceHandler handler,
                                           void* user) {
    return impl_->registry.attach(name, user, reinterpret_cast<void*>(handler), SUBJECT_SERVICE);
}

int MessageService::RegisterKestrelHandler(const std::string& name, KestrelHandler handler,
                                           void* user) {
    return impl_->registry.attach(name, user, reinterpret_cast<void*>(handler), SUBJECT_KESTREL);
}

int MessageService::AdapterService(int dev_id, const std::string& msg_id,
                                   const std::string& service, const std::string& payload) {
    return DeviceEnv::Get()->Task()->AddTask(impl_, messageAdapterTslService, 0, dev_id, msg_id,
                                             service, payload) < 0
               ? -1
               : 0;
}

int MessageService::AdapterKestrel(int dev_id, const std::string& topic,
                                   const std::string& payload) {
    return DeviceEnv::Get()->Task()->AddTask(impl_, messageAdapterKestrel, 0, dev_id, std::string(),
                                             topic, payload) < 0
               ? -1
               : 0;
}

namespace {

// Takes the next message id and the device's topic prefix; false for an unknown device.
bool Prepare(MessageService::Impl* impl, int dev_id, std::string& id, std::string& prefix) {
    id = std::to_string(++impl->counter);
    SharedPtr<DeviceAuth> auth = DeviceEnv::Get()->Auth()->GetAuth(dev_id);
    if (!auth || auth->IsIllegal()) {
        KS_LOGW("Device auth error");
        return false;
    }
    prefix = "/sys/" + auth->GetPkS() + "/" + auth->GetDnS();
    return true;
}

int Queue(MessageService::Impl* impl, int dev_id, int qos, std::string topic, std::string message) {
    DeviceEnv::Get()->JobUser()->AddJob(new MessageUploadJob(impl->publish.load(), dev_id, qos,
                                                             std::move(topic), std::move(message)));
    return 0;
}

}  // namespace

int MessageService::AddProperty(int dev_id, const std::string& params) {
    std::string id, prefix;
    if (!Prepare(impl_, dev_id, id, prefix))
        return -1;
    return Queue(impl_, dev_id, 1, prefix + "/thing/event/property/post",
                 JsonEnvelope(id, "1.0", params, "thing.event.property.post"));
}

int MessageService::AddEvent(int dev_id, const std::string& event_id, const std::string& params) {
    std::string id, prefix;
    if (!Prepare(impl_, dev_id, id, prefix))
        return -1;
    return Queue(impl_, dev_id, 1, prefix + "/thing/event/" + event_id + "/post",
                 JsonEnvelope(id, "1.0", params, "thing.event." + event_id + ".post"));
}

int MessageService::AddRrpc(int dev_id, const std::string& /*service*/, const std::string& data,
                            const std::string& msg_id) {
    std::string id, prefix;
    if (!Prepare(impl_, dev_id, id, prefix))
        return -1;
    return Queue(impl_, dev_id, 0, prefix + "/rrpc/response/" + msg_id,
                 JsonObjectWriter().Str("id", id).Raw("code", "200").Raw("data", data).Text());
}

int MessageService::AddKestrel(int dev_id, const std::string& topic_suffix,
                               const std::string& payload) {
    std::string id, prefix;
    if (!Prepare(impl_, dev_id, id, prefix))
        return -1;
    return Queue(impl_, dev_id, 1, prefix + topic_suffix, payload);
}

}  // namespace kestrel
