#include "demo/app/cloud_requests.h"

#include <cjson/cJSON.h>
#include <stdio.h>
#include <string.h>

namespace {

// In the order they are tried; a name that begins with one of them counts.
const char* const kForwardedServices[] = {
    "TriggerPicCapture",   "StartVoiceIntercom",
    "StopVoiceIntercom",   "StartVod",
    "StartVodByTime",      "StopVod",
    "QueryRecordTimeList", "QueryRecordList",
    "StartP2PStreaming",   "StartPushStreaming",
    "StopPushStreaming",   "QueryMonthRecord",
};

const char kPtzService[] = "PTZActionControl";

// The camera's thing model as the platform knows it: a set naming anything
// else is refused rather than reported back as if it had been applied.
const char* const kCameraProperties[] = {
    "MicSwitch",
    "SpeakerSwitch",
    "StatusLightSwitch",
    "DayNightMode",
    "StreamVideoQuality",
    "SubStreamVideoQuality",
    "ImageFlipState",
    "EncryptSwitch",
    "AlarmSwitch",
    "MotionDetectSensitivity",
    "VoiceDetectionSensitivity",
    "AlarmFrequencyLevel",
    "StorageStatus",
    "StorageTotalCapacity",
    "StorageRemainCapacity",
    "StorageRecordMode",
};

// The platform's texts carry their length and need not be NUL-terminated.
cJSON* ParseText(const char* text, int len) {
    if (!text || len <= 0)
        return nullptr;
    return cJSON_ParseWithLength(text, static_cast<size_t>(len));
}

}  // namespace

bool cloud_service_is_forwarded(const char* service, int service_len) {
    if (!service || service_len <= 0)
        return false;
    for (const char* name : kForwardedServices) {
        size_t n = strlen(name);
        if (static_cast<size_t>(service_len) >= n && memcmp(service, name, n) == 0)
            return true;
    }
    return false;
}

bool cloud_service_is_ptz(const char* service, int service_len) {
    // Exact match: a shorter name such as "PTZ" is some other service.
    const int n = static_cast<int>(sizeof(kPtzService) - 1);
    return service && service_len == n && memcmp(service, kPtzService, n) == 0;
}

int cloud_parse_ptz(const char* payload, int payload_len, int* action_type, int* step) {
    cJSON* root = ParseText(payload, payload_len);
    if (!root)
        return -1;
    const cJSON* action = cJSON_GetObjectItemCaseSensitive(root, "ActionType");
    const cJSON* s = cJSON_GetObjectItemCaseSensitive(root, "Step");
    int ret = -1;
    if (cJSON_IsNumber(action) && cJSON_IsNumber(s)) {
        *action_type = action->valueint;
        *step = s->valueint;
        ret = 0;
    }
    cJSON_Delete(root);
    return ret;
}

bool cloud_property_known(const std::string& name) {
    for (const char* known : kCameraProperties) {
        if (name == known)
            return true;
    }
    return false;
}

int cloud_property_members(const char* request, int request_len,
                           std::vector<cloud_property_member_s>* members) {
    members->clear();
    cJSON* root = ParseText(request, request_len);
    if (!root)
        return -1;
    if (!cJSON_IsObject(root)) {
        cJSON_Delete(root);
        return -1;
    }
    for (const cJSON* item = root->child; item; item = item->next) {
        cloud_property_member_s m;
        m.name = item->string ? item->string : "";
        if (!cloud_property_known(m.name)) {
            m.error = "unknown property " + m.name;
        } else if (cJSON_IsNumber(item)) {
            char text[32];
            snprintf(text, sizeof(text), "%d", item->valueint);
            m.value = text;
        } else if (cJSON_IsString(item)) {
            char* quoted = cJSON_PrintUnformatted(item);
            if (quoted) {
                m.value = quoted;
                cJSON_free(quoted);
            } else {
                m.error = "no memory for " + m.name;
            }
        } else {
            m.error = "value of " + m.name + " is neither a number nor a string";
        }
        members->push_back(std::move(m));
    }
    cJSON_Delete(root);
    return 0;
}
