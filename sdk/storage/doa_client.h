// The direct-access client: turns a stream's frames into FLV objects in the
// object store. Every object is a playable FLV file on its own: the file
// header, the metadata and both codec configurations come first, then whole
// tags with their sizes, timestamps counted from the object's first key frame.
// Tags are batched and sent as one append at a time (KivUploadAppend); the
// owner fills a batch while the client is idle and flushes it.
//
// Everything but Create, Connect and Close runs on the network engine thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/shared_ptr.h"
#include "proto/flv_mux.h"
#include "sdk/storage/kiv_upload_append.h"

namespace kestrel {

class DoaClientHandler {
  public:
    virtual ~DoaClientHandler() = default;
    virtual void OnConnect() = 0;
    // Once, when the connection ended (a refused append, a stall, a drop).
    virtual void OnClose(int reason) = 0;
    // 0: the video format changed; the owner should begin a new object.
    virtual void OnStatus(int status) = 0;
    // Idle: room for the next batch.
    virtual int OnWrite() = 0;
};

class DoaClient : public KivUploadHandler {
  public:
    enum : size_t { kBatchBytes = 256 * 1024 };

    static SharedPtr<DoaClient> Create(SharedPtr<DoaClientHandler> handler, const char* ca,
                                       size_t ca_len);
    ~DoaClient() override;

    int Connect(unsigned short port, const KivUploadIdentify& identify);
    void Close();

    // Opens a new object for the key frame at `base_ts`; the batch must be
    // empty (flushed and answered). Credentials given here sign it. -1 when
    // a batch is still pending or the upload is gone.
    int SetObject(const std::string& name, uint32_t base_ts,
                  const KivUploadIdentify* identify = nullptr);
    bool ObjectOpen() const { return object_open_; }

    int SetEncryption(const std::string& key_b64, const std::string& iv_b64);
    int SetAudioCodec(AudioFormat format, AudioBit bit, AudioChannel channel, AudioRate rate,
                      AudioAdditionalRate additional_rate);
    // FlvResult; the frame joins the batch of the open object.
    int SendVideo(int format, int key_frame, const char* data, uint32_t len, uint32_t timestamp);
    int SendAudio(const char* data, uint32_t len, uint32_t timestamp);

    // Sends the batch as one append when there is one and the upload is
    // idle. 0 (sent, or nothing to send), -1 when the append failed (the
    // connection is then ending).
    int Flush();
    size_t Batched() const { return batch_.size(); }
    bool Idle() const;
    uint64_t BytesAppended() const { return bytes_; }
    std::string Key() const;
    void RequestWrite();
    void ArmTurn(unsigned long delay_ms);

    // KivUploadHandler.
    void OnConnect() override;
    void OnResult(int result) override;
    void OnWrite() override;
    void OnClose(int reason) override;

  private:
    explicit DoaClient(SharedPtr<DoaClientHandler> handler);
    static int onData(void* param, FlvMux::DataType type, const char* data, size_t len,
                      uint32_t timestamp);
    static void onStatus(void* param, FlvMux::Status status);
    int takeBody(FlvMux::DataType type, const char* data, size_t len, uint32_t timestamp);
    int addTag(int tag_type, const std::string& body, uint32_t timestamp);

    SharedPtr<DoaClientHandler> handler_;
    FlvMux mux_;
    WeakPtr<KivUploadAppend> upload_;
    bool connect_called_ = false;
    bool connected_ = false;
    bool object_open_ = false;
    bool replay_configs_ = false;
    uint32_t base_ts_ = 0;
    std::string batch_;
    size_t in_flight_ = 0;
    uint64_t bytes_ = 0;
    std::string video_config_;  // last sequence-header bodies, replayed in every object
    std::string audio_config_;
};

}  // namespace kestrel
