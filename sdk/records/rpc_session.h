// Record queries: the cloud asks what the device has recorded, only the
// application knows. Each query becomes a numbered request for the
// application; its answer goes back as the reply to the cloud's call.
#pragma once

#include <kestrel/ks_api.h>

#include <cstdint>
#include <map>
#include <string>

#include "core/mutex.h"
#include "core/shared_ptr.h"

namespace kestrel {

// What the application's answer to a record query came to. ks_post_query_record
// returns these values as they are, so they keep the numbers it always had.
enum RpcResult : int {
    kRpcOk = 0,
    kRpcBadAnswer = -1,  // no answer, a negative count, or a count without its array
    kRpcBadItem = -2,    // an item lacks what the reply needs (a file name)
    kRpcNoQuery = -2,    // no such query: unknown, answered already or expired
};

class RpcUnit {
  public:
    explicit RpcUnit(uint64_t now_s) : created_s_(now_s) {}
    virtual ~RpcUnit() = default;
    uint64_t CreatedAt() const { return created_s_; }

  private:
    uint64_t created_s_;
};

class RpcQueryRecord : public RpcUnit {
  public:
    enum Type { kTimeList = 0, kMonth = 1, kRecordList = 2 };

    explicit RpcQueryRecord(uint64_t now_s) : RpcUnit(now_s) {}
    void Set(int type, int dev_id, const std::string& msg_id) {
        type_ = type;
        dev_id_ = dev_id;
        msg_id_ = msg_id;
    }
    int GetType() const { return type_; }
    int GetDevId() const { return dev_id_; }
    const std::string& GetMsgId() const { return msg_id_; }

  private:
    int type_ = 0;
    int dev_id_ = 0;
    std::string msg_id_;
};

class RpcSession {
  public:
    // A query the application has not answered in this long is dropped: the
    // cloud's call has long timed out, and the map must not grow for ever.
    static constexpr uint64_t kQueryLifetimeS = 60;
    using Clock = uint64_t (*)();

    RpcSession();
    int Init();
    int Destroy();
    // kRpcOk or the reply's publish result; kRpcBadAnswer / kRpcBadItem for
    // an answer no reply can be built from; kRpcNoQuery for an unknown,
    // answered or expired query id. A refused answer leaves the query
    // pending, so the application can answer it again correctly.
    int QueryRecordResponse(int query_id, const ks_query_record_response_param_s* response);

    // Tests: monotonic seconds.
    void SetClock(Clock clock) { clock_ = clock; }
    size_t PendingCount();

    // Service and topic handlers (message service, task-queue thread).
    static void onQueryRecordList(void* ctx, int dev_id, const std::string& service,
                                  const std::string& payload, const std::string& msg_id);
    static void onQueryRecordTimeList(void* ctx, int dev_id, const std::string& service,
                                      const std::string& payload, const std::string& msg_id);
    static void onQueryRecordListByMonth(void* ctx, int dev_id, const std::string& service,
                                         const std::string& payload, const std::string& msg_id);
    static void onStreamGroupOfPictureInvoke(void* ctx, int dev_id, const std::string& topic,
                                             const std::string& payload);
    static void onSendMessageToDevInvoke(void* ctx, int dev_id, const std::string& topic,
                                         const std::string& payload);

  private:
    // The record-list and time-list intake: parse, number, ask the application.
    static void intake(void* ctx, int dev_id, int type, const std::string& payload,
                       const std::string& msg_id);
    int addQuery(int type, int dev_id, const std::string& msg_id);
    void expireLocked(uint64_t now);

    Clock clock_;
    std::map<int, SharedPtr<RpcQueryRecord>> queries_;
    Mutex mutex_;
};

// The reply texts, exposed for tests; each returns kRpcOk, or kRpcBadAnswer /
// kRpcBadItem for input the reply cannot be built from (the caller logs).
int RpcRecordListJson(const ks_query_record_response_param_s& response, std::string* json);
int RpcTimeListJson(const ks_query_record_response_param_s& response, std::string* json);
int RpcMonthJson(const ks_query_record_response_param_s& response, std::string* json);

}  // namespace kestrel
