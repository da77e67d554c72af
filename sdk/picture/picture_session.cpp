#include "sdk/picture/picture_session.h"

#include <cassert>
#include <cjson/cJSON.h>
#include <kestrel/ks_api.h>

#include "core/logger.h"
#include "core/single.h"
#include "net/url_parse.h"
#include "sdk/message_service.h"

namespace kestrel {

PictureSession::PictureSession()
    : trigger_(new TriggerPictureService), alarm_(new AlarmEventService) {}

PictureSession::~PictureSession() {
    delete trigger_;
    delete alarm_;
}

void PictureSession::Init() {
    Single<MessageService>::Instance()->RegisterServiceHandler("TriggerPicCapture",
                                                               triggerPicCaptureHandler, this);
}

int PictureSession::AddPicture(int dev_id, const char* data, unsigned len, int type,
                               bool with_extra, const std::string& extra, int* service_id) {
    return alarm_->AddData(dev_id, data, len, type, with_extra, extra, service_id);
}

int PictureSession::AddResponse(int service_id, const char* data, unsigned len) {
    return trigger_->AddData(service_id, data, len);
}

void PictureSession::Clear() {
    trigger_->Clear();
    alarm_->Clear();
}

void PictureSession::triggerPicCaptureHandler(void* user, int dev_id, const std::string& key,
                                              const std::string& value, const std::string& id) {
    KS_LOGD("messageServiceTriggerPicCaptureHandler in key:%s value:%s id:%s", key.c_str(),
            value.c_str(), id.c_str());
    // Registered with its owner as the context: null is a bug here, not input.
    assert(user);
    if (key != "TriggerPicCapture") {
        KS_LOGE("parse value error:%s", value.c_str());
        return;
    }
    cJSON* root = cJSON_ParseWithLength(value.data(), value.size());
    if (root == nullptr) {
        KS_LOGE("Parse value failed: %s", value.c_str());
        return;
    }
    const cJSON* url_item = cJSON_GetObjectItemCaseSensitive(root, "UploadUrl");
    std::string url = cJSON_IsString(url_item) ? url_item->valuestring : "";
    bool has_url = cJSON_IsString(url_item);
    cJSON_Delete(root);
    if (!has_url) {
        KS_LOGE("No upload url");
        return;
    }
    UrlParse parsed;
    if (parsed.Parse(url, "", "", "") != 0) {
        KS_LOGE("Parse url failed");
        return;
    }
    auto* self = static_cast<PictureSession*>(user);
    if (!parsed.GetQuery("eventType").empty()) {
        self->alarm_->AddRequest(dev_id, parsed.GetQuery("id"), url);
    } else {
        self->trigger_->AddRequest(dev_id, id, url);
    }
}

}  // namespace kestrel
