#include "sdk/records/rpc_session.h"

#include <cassert>
#include <atomic>

#include <cjson/cJSON.h>

#include <algorithm>
#include <vector>

#include "core/digest.h"
#include "core/logger.h"
#include "core/redact.h"
#include "core/single.h"
#include "core/time.h"
#include "sdk/device_dispatch.h"
#include "sdk/device_env.h"
#include "sdk/message_service.h"

namespace kestrel {

namespace {

uint64_t MonotonicSeconds() {
    return Time::GetSystemTimeInt(1);
}

// The payload's object, or null (with the error line) when it is not JSON or
// a named member is missing or not a number/string as the query needs.
cJSON* ParseQuery(const std::string& payload, const std::vector<const char*>& numbers,
                  const char* text_member) {
    cJSON* root = cJSON_Parse(payload.c_str());
    bool ok = cJSON_IsObject(root);
    for (const char* name : numbers) {
        ok = ok && cJSON_IsNumber(cJSON_GetObjectItemCaseSensitive(root, name));
    }
    if (ok && text_member != nullptr) {
        cJSON* text = cJSON_GetObjectItemCaseSensitive(root, text_member);
        ok = cJSON_IsString(text) && text->valuestring != nullptr;
    }
    if (!ok) {
        KS_LOGE("parse value error:%s", redact_text(payload).c_str());
        cJSON_Delete(root);
        return nullptr;
    }
    return root;
}

// Cloud numbers are doubles; a value outside the field's range is clamped
// rather than converted with undefined behaviour.
uint32_t U32(cJSON* root, const char* name) {
    double v = cJSON_GetObjectItemCaseSensitive(root, name)->valuedouble;
    if (!(v > 0)) {
        return 0;
    }
    return v >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(v);
}

int I32(cJSON* root, const char* name) {
    double v = cJSON_GetObjectItemCaseSensitive(root, name)->valuedouble;
    if (!(v > -2147483648.0)) {
        return v < 0 ? -2147483647 - 1 : 0;
    }
    return v >= 2147483647.0 ? 2147483647 : static_cast<int>(v);
}

std::string Print(cJSON* root) {
    char* text = cJSON_PrintUnformatted(root);
    std::string out = text ? text : "";
    cJSON_free(text);
    cJSON_Delete(root);
    return out;
}

std::string Base64(const char* name) {
    std::string in(name);
    std::string out(4 * ((in.size() + 2) / 3), '\0');
    unsigned len = 0;
    ks_base64encode(reinterpret_cast<const unsigned char*>(in.data()),
                    static_cast<unsigned>(in.size()), static_cast<unsigned>(out.size()),
                    reinterpret_cast<unsigned char*>(&out[0]), &len);
    out.resize(len);
    return out;
}

struct Interval {
    int type;
    uint32_t begin;
    uint32_t end;
};

}  // namespace

int RpcRecordListJson(const ks_query_record_response_param_s& response, std::string* json) {
    if (response.num < 0 || (response.num > 0 && response.infos == nullptr)) {
        return kRpcBadAnswer;
    }
    for (int i = 0; i < response.num; ++i) {
        if (response.infos[i].file_name == nullptr) {
            return kRpcBadItem;
        }
    }
    cJSON* root = cJSON_CreateObject();
    cJSON* list = cJSON_AddArrayToObject(root, "RecordList");
    for (int i = 0; i < response.num; ++i) {
        const ks_query_record_response_item_s& r = response.infos[i];
        cJSON* item = cJSON_CreateObject();
        cJSON_AddStringToObject(item, "FileName", Base64(r.file_name).c_str());
        cJSON_AddNumberToObject(item, "Size", r.file_size);
        cJSON_AddNumberToObject(item, "Type", r.record_type);
        cJSON_AddNumberToObject(item, "EndTime", r.stop_time);
        cJSON_AddNumberToObject(item, "BeginTime", r.start_time);
        cJSON_AddItemToArray(list, item);
    }
    *json = Print(root);
    return kRpcOk;
}

int RpcTimeListJson(const ks_query_record_response_param_s& response, std::string* json) {
    if (response.num < 0 || (response.num > 0 && response.infos == nullptr)) {
        return kRpcBadAnswer;
    }
    // By type, then begin; one begin time keeps its longest record.
    std::map<int, std::map<uint32_t, uint32_t>> by_type;
    for (int i = 0; i < response.num; ++i) {
        const ks_query_record_response_item_s& r = response.infos[i];
        if (r.start_time == 0 || r.stop_time < r.start_time) {
            KS_LOGW("Record [%u, %u] of type %d skipped: not a time range", r.start_time,
                    r.stop_time, r.record_type);
            continue;
        }
        uint32_t& end = by_type[r.record_type][r.start_time];
        end = std::max(end, r.stop_time);
    }
    std::vector<Interval> merged;
    for (const auto& type : by_type) {
        Interval cur{type.first, 0, 0};
        for (const auto& rec : type.second) {
            if (cur.begin != 0 && static_cast<uint64_t>(cur.end) + 2 < rec.first) {
                merged.push_back(cur);
                cur.begin = 0;
            }
            if (cur.begin == 0) {
                cur = {type.first, rec.first, rec.second};
            } else {
                // A record inside the interval must not shorten it.
                cur.end = std::max(cur.end, rec.second);
            }
        }
        if (cur.begin != 0) {
            merged.push_back(cur);
        }
    }
    cJSON* root = cJSON_CreateObject();
    cJSON* list = cJSON_AddArrayToObject(root, "TimeList");
    for (const Interval& iv : merged) {
        cJSON* item = cJSON_CreateObject();
        cJSON_AddNumberToObject(item, "Type", iv.type);
        cJSON_AddNumberToObject(item, "EndTime", iv.end);
        cJSON_AddNumberToObject(item, "BeginTime", iv.begin);
        cJSON_AddItemToArray(list, item);
    }
    *json = Print(root);
    return kRpcOk;
}

int RpcMonthJson(const ks_query_record_response_param_s& response, std::string* json) {
    if (response.days == nullptr) {
        return kRpcBadAnswer;
    }
    std::string flags(31, '0');
    for (int day = 0; day < 31; ++day) {
        if (response.days[day] != 0) {
            flags[day] = '1';
        }
    }
    cJSON* root = cJSON_CreateObject();
    cJSON_AddStringToObject(root, "RecordFlags", flags.c_str());
    *json = Print(root);
    return kRpcOk;
}

RpcSession::RpcSession() : clock_(MonotonicSeconds), mutex_(true) {}

int RpcSession::Init() {
    MessageService* messages = Single<MessageService>::Instance();
    messages->RegisterServiceHandler("QueryRecordList", onQueryRecordList, this);
    messages->RegisterServiceHandler("QueryRecordTimeList", onQueryRecordTimeList, this);
    messages->RegisterServiceHandler("QueryMonthRecord", onQueryRecordListByMonth, this);
    messages->RegisterKestrelHandler("/vision/biz/dev/StreamGroupOfPicture/invoke",
                                     onStreamGroupOfPictureInvoke, this);
    messages->RegisterKestrelHandler("/vision/biz/dev/SendMessageToDev/invoke",
                                     onSendMessageToDevInvoke, this);
    return 0;
}

int RpcSession::Destroy() {
    return 0;
}

size_t RpcSession::PendingCount() {
    MutexGuard guard(mutex_);
    return queries_.size();
}

void RpcSession::expireLocked(uint64_t now) {
    for (auto it = queries_.begin(); it != queries_.end();) {
        if (now >= it->second->CreatedAt() + kQueryLifetimeS) {
            KS_LOGW("Record query %d (msg id %s) expired unanswered after %llu s", it->first,
                    it->second->GetMsgId().c_str(),
                    static_cast<unsigned long long>(now - it->second->CreatedAt()));
            it = queries_.erase(it);
        } else {
            ++it;
        }
    }
}

int RpcSession::addQuery(int type, int dev_id, const std::string& msg_id) {
    MutexGuard guard(mutex_);
    uint64_t now = clock_();
    expireLocked(now);
    // Ids run on across ks_destroy/ks_init: a late answer to a query of the old
    // session must not find a new query under the same id.
    static std::atomic<unsigned> next_id{0};
    int id = static_cast<int>(next_id.fetch_add(1) & 0x7fffffffu);
    SharedPtr<RpcQueryRecord> query(new RpcQueryRecord(now));
    query->Set(type, dev_id, msg_id);
    queries_[id] = query;
    return id;
}

void RpcSession::intake(void* ctx, int dev_id, int type, const std::string& payload,
                        const std::string& msg_id) {
    bool list = type == RpcQueryRecord::kRecordList;
    cJSON* root = list ? ParseQuery(payload, {"BeginTime", "EndTime", "Type", "QuerySize"}, nullptr)
                       : ParseQuery(payload, {"BeginTime", "EndTime", "Type"}, nullptr);
    if (ctx == nullptr || root == nullptr) {
        cJSON_Delete(root);
        return;
    }
    ks_query_record_param_s param = {};
    param.service_id = static_cast<RpcSession*>(ctx)->addQuery(type, dev_id, msg_id);
    param.common_type = 0;
    param.record_type = I32(root, "Type");
    param.begin_time = U32(root, "BeginTime");
    param.end_time = U32(root, "EndTime");
    param.num = list ? I32(root, "QuerySize") : 0;
    cJSON_Delete(root);
    DeviceEnv::Get()->Dispatch()->QueryStorageRecordAsync(dev_id, &param);
}

void RpcSession::onQueryRecordTimeList(void* ctx, int dev_id, const std::string& service,
                                       const std::string& payload, const std::string& msg_id) {
    KS_LOGD("key:%s value:%s msg_id:%s", service.c_str(), redact_text(payload).c_str(),
            msg_id.c_str());
    intake(ctx, dev_id, RpcQueryRecord::kTimeList, payload, msg_id);
}

void RpcSession::onQueryRecordList(void* ctx, int dev_id, const std::string& service,
                                   const std::string& payload, const std::string& msg_id) {
    KS_LOGD("key:%s value:%s msg_id:%s", service.c_str(), redact_text(payload).c_str(),
            msg_id.c_str());
    intake(ctx, dev_id, RpcQueryRecord::kRecordList, payload, msg_id);
}

void RpcSession::onQueryRecordListByMonth(void* ctx, int dev_id, const std::string& service,
                                          const std::string& payload, const std::string& msg_id) {
    KS_LOGD("key:%s value:%s id:%s", service.c_str(), redact_text(payload).c_str(), msg_id.c_str());
    cJSON* root = ParseQuery(payload, {}, "Month");
    if (ctx == nullptr || root == nullptr) {
        cJSON_Delete(root);
        return;
    }
    ks_query_record_param_s param = {};
    param.service_id =
        static_cast<RpcSession*>(ctx)->addQuery(RpcQueryRecord::kMonth, dev_id, msg_id);
    param.common_type = 1;
    // The dispatcher copies the text before this object goes.
    param.month = cJSON_GetObjectItemCaseSensitive(root, "Month")->valuestring;
    DeviceEnv::Get()->Dispatch()->QueryStorageRecordAsync(dev_id, &param);
    cJSON_Delete(root);
}

int RpcSession::QueryRecordResponse(int query_id,
                                    const ks_query_record_response_param_s* response) {
    if (response == nullptr) {
        KS_LOGE("Illegal input");
        return kRpcBadAnswer;
    }
    SharedPtr<RpcQueryRecord> query;
    {
        MutexGuard guard(mutex_);
        expireLocked(clock_());
        auto it = queries_.find(query_id);
        if (it == queries_.end()) {
            KS_LOGW("Service id is not exist, id = %d", query_id);
            return kRpcNoQuery;
        }
        query = it->second;
    }
    std::string json;
    std::string service;
    int ret = kRpcBadAnswer;
    switch (query->GetType()) {
        case RpcQueryRecord::kRecordList:
            service = "QueryRecordList";
            ret = RpcRecordListJson(*response, &json);
            break;
        case RpcQueryRecord::kTimeList:
            service = "QueryRecordTimeList";
            ret = RpcTimeListJson(*response, &json);
            break;
        case RpcQueryRecord::kMonth:
            service = "QueryMonthRecord";
            ret = RpcMonthJson(*response, &json);
            break;
        default:
            break;
    }
    if (ret != kRpcOk) {
        // Kept pending: a corrected answer can still reach the cloud.
        KS_LOGE("Illegal input, query %d (%s) answer refused, ret = %d", query_id, service.c_str(),
                ret);
        return ret;
    }
    {
        MutexGuard guard(mutex_);
        if (queries_.erase(query_id) == 0) {
            KS_LOGW("Service id is not exist, id = %d", query_id);
            return kRpcNoQuery;  // another thread answered it meanwhile
        }
    }
    if (query->GetType() == RpcQueryRecord::kMonth) {
        KS_LOGD("queryStorageRecordByMonthResponse:%s", json.c_str());
    } else {
        KS_LOGD("response:%s", json.c_str());
    }
    return Single<MessageService>::Instance()->AddRrpc(query->GetDevId(), service, json,
                                                       query->GetMsgId());
}

void RpcSession::onStreamGroupOfPictureInvoke(void* ctx, int /*dev_id*/, const std::string& topic,
                                              const std::string& payload) {
    // Registered with its owner as the context: null is a bug here, not input.
    assert(ctx);
    (void)ctx;
    KS_LOGD("key:%s, value:%s", topic.c_str(), redact_text(payload).c_str());
    cJSON* root = cJSON_Parse(payload.c_str());
    cJSON* params = cJSON_GetObjectItemCaseSensitive(root, "params");
    bool ok = cJSON_IsObject(params);
    for (const char* name : {"duration", "action", "gop", "streamType"}) {
        ok = ok && cJSON_GetObjectItemCaseSensitive(params, name) != nullptr;
    }
    if (!ok) {
        KS_LOGE("parse value error:%s", redact_text(payload).c_str());
    }
    // A valid setting changes nothing on this device.
    cJSON_Delete(root);
}

void RpcSession::onSendMessageToDevInvoke(void* ctx, int dev_id, const std::string& topic,
                                          const std::string& payload) {
    // Registered with its owner as the context: null is a bug here, not input.
    assert(ctx);
    (void)ctx;
    KS_LOGD("key:%s, value:%s", topic.c_str(), redact_text(payload).c_str());
    cJSON* root = cJSON_Parse(payload.c_str());
    cJSON* params = cJSON_GetObjectItemCaseSensitive(root, "params");
    cJSON* type = cJSON_GetObjectItemCaseSensitive(params, "type");
    if (!cJSON_IsObject(params) || !cJSON_IsString(type) || type->valuestring == nullptr) {
        KS_LOGE("parse value error:%s", redact_text(payload).c_str());
        cJSON_Delete(root);
        return;
    }
    if (std::string(type->valuestring) == "mask") {
        ks_cloud_event_param_s event = {};
        DeviceEnv::Get()->Dispatch()->CloudEventAsync(dev_id, &event);
    }
    cJSON_Delete(root);
}

}  // namespace kestrel
