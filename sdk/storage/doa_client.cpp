#include "sdk/storage/doa_client.h"

#include "core/logger.h"
#include "proto/flv_file.h"

namespace kestrel {

namespace {

// A sequence-header body: AVCPacketType / AACPacketType 0 behind the
// one-byte codec label.
bool IsVideoConfig(const char* data, size_t len) {
    return len >= 2 && data[1] == 0;
}

bool IsAudioConfig(const char* data, size_t len) {
    return len >= 2 && ((static_cast<unsigned char>(data[0]) >> 4) == AUDIO_FORMAT_AAC) &&
           data[1] == 0;
}

}  // namespace

DoaClient::DoaClient(SharedPtr<DoaClientHandler> handler)
    : handler_(std::move(handler)),
      mux_(FlvMux::MODE_STORAGE, this, &DoaClient::onData, &DoaClient::onStatus) {}

DoaClient::~DoaClient() = default;

SharedPtr<DoaClient> DoaClient::Create(SharedPtr<DoaClientHandler> handler, const char* ca,
                                       size_t ca_len) {
    SharedPtr<DoaClient> self(new DoaClient(std::move(handler)));
    SharedPtr<KivUploadAppend> upload = KivUploadAppend::Create(self, ca, ca_len);
    if (!upload) {
        return SharedPtr<DoaClient>();
    }
    self->upload_ = upload;
    return self;
}

int DoaClient::Connect(unsigned short port, const KivUploadIdentify& identify) {
    SharedPtr<KivUploadAppend> upload = upload_.Lock();
    if (!upload) {
        KS_LOGW("Data error");
        return -1;
    }
    // Set first: the connection may come up on the engine thread before
    // Connect returns, and the codec settings made then need it.
    connect_called_ = true;
    if (upload->Connect(port, identify) != 0) {
        connect_called_ = false;
        return -1;
    }
    return 0;
}

void DoaClient::Close() {
    if (SharedPtr<KivUploadAppend> upload = upload_.Lock()) {
        upload->Close();
    }
}

int DoaClient::SetObject(const std::string& name, uint32_t base_ts,
                         const KivUploadIdentify* identify) {
    SharedPtr<KivUploadAppend> upload = upload_.Lock();
    if (!upload || !batch_.empty() || in_flight_ != 0) {
        return -1;
    }
    upload->SetObject(name, identify);
    object_open_ = true;
    base_ts_ = base_ts;
    flv_file_header(batch_, true, true);
    // The muxer writes the metadata before the next frame; the stored codec
    // configurations follow it, so every object can be decoded on its own.
    mux_.SetMetadata(0);
    replay_configs_ = true;
    return 0;
}

int DoaClient::SetEncryption(const std::string& key_b64, const std::string& iv_b64) {
    return mux_.SetEncryption(key_b64, iv_b64);
}

int DoaClient::SetAudioCodec(AudioFormat format, AudioBit bit, AudioChannel channel, AudioRate rate,
                             AudioAdditionalRate additional_rate) {
    if (!connect_called_) {
        return -1;
    }
    int r = mux_.SetAudioCodec(format, bit, channel, rate, additional_rate);
    if (r == FLV_OK) {
        audio_config_.clear();
    }
    return r;
}

int DoaClient::SendVideo(int format, int key_frame, const char* data, uint32_t len,
                         uint32_t timestamp) {
    if (!connect_called_ || !object_open_) {
        return FLV_HANDLER_FAILED;
    }
    return mux_.SendVideo(format, key_frame, data, len, timestamp);
}

int DoaClient::SendAudio(const char* data, uint32_t len, uint32_t timestamp) {
    if (!connect_called_ || !object_open_) {
        return FLV_HANDLER_FAILED;
    }
    return mux_.SendAudio(data, len, timestamp);
}

int DoaClient::onData(void* param, FlvMux::DataType type, const char* data, size_t len,
                      uint32_t timestamp) {
    return static_cast<DoaClient*>(param)->takeBody(type, data, len, timestamp);
}

void DoaClient::onStatus(void* param, FlvMux::Status status) {
    auto* self = static_cast<DoaClient*>(param);
    // The stored configuration belongs to the old codec.
    self->video_config_.clear();
    if (self->handler_) {
        self->handler_->OnStatus(static_cast<int>(status));
    }
}

int DoaClient::addTag(int tag_type, const std::string& body, uint32_t timestamp) {
    uint32_t ts = timestamp >= base_ts_ ? timestamp - base_ts_ : 0;
    if (flv_append_tag(batch_, tag_type, ts, body.data(), body.size()) != 0) {
        KS_LOGE("Recording tag of %zu bytes refused", body.size());
        return -1;
    }
    return 0;
}

int DoaClient::takeBody(FlvMux::DataType type, const char* data, size_t len, uint32_t timestamp) {
    if (!connected_) {
        KS_LOGW("Send data after connect");
        return -1;
    }
    if (!object_open_) {
        KS_LOGW("Data error");
        return -1;
    }
    std::string body(data, len);
    switch (type) {
        case FlvMux::DATA_STATUS:
            return 0;  // completion markers mean nothing in a stored file
        case FlvMux::DATA_SCRIPT: {
            if (addTag(FLV_TAG_SCRIPT, body, timestamp) != 0) {
                return -1;
            }
            if (replay_configs_) {
                replay_configs_ = false;
                if (!video_config_.empty() && addTag(FLV_TAG_VIDEO, video_config_, base_ts_) != 0)
                    return -1;
                if (!audio_config_.empty() && addTag(FLV_TAG_AUDIO, audio_config_, base_ts_) != 0)
                    return -1;
            }
            return 0;
        }
        case FlvMux::DATA_VIDEO:
            if (IsVideoConfig(data, len)) {
                if (body == video_config_ && !replay_configs_) {
                    return 0;  // already at the head of this object
                }
                video_config_ = body;
            }
            return addTag(FLV_TAG_VIDEO, body, timestamp);
        case FlvMux::DATA_AUDIO:
            if (IsAudioConfig(data, len)) {
                if (body == audio_config_) {
                    return 0;
                }
                audio_config_ = body;
            }
            return addTag(FLV_TAG_AUDIO, body, timestamp);
    }
    return -1;
}

bool DoaClient::Idle() const {
    SharedPtr<KivUploadAppend> upload = upload_.Lock();
    return upload && upload->Idle();
}

std::string DoaClient::Key() const {
    SharedPtr<KivUploadAppend> upload = upload_.Lock();
    return upload ? upload->Key() : std::string();
}

int DoaClient::Flush() {
    if (batch_.empty()) {
        return 0;
    }
    SharedPtr<KivUploadAppend> upload = upload_.Lock();
    if (!upload) {
        KS_LOGW("Data error");
        return -1;
    }
    if (!upload->Idle()) {
        return 0;  // the reply to the last append comes first
    }
    if (upload->Append(batch_.data(), batch_.size()) != 0) {
        return -1;
    }
    in_flight_ = batch_.size();
    batch_.clear();
    return 0;
}

void DoaClient::RequestWrite() {
    if (SharedPtr<KivUploadAppend> upload = upload_.Lock()) {
        upload->RequestWrite();
    }
}

void DoaClient::ArmTurn(unsigned long delay_ms) {
    if (SharedPtr<KivUploadAppend> upload = upload_.Lock()) {
        upload->ArmTurn(delay_ms);
    }
}

void DoaClient::OnConnect() {
    connected_ = true;
    KS_LOGI("Connect success");
    if (handler_) {
        handler_->OnConnect();
    }
}

void DoaClient::OnResult(int result) {
    if (result == 0) {
        bytes_ += in_flight_;
    } else {
        KS_LOGI("Connect failed");
    }
    in_flight_ = 0;
}

void DoaClient::OnWrite() {
    if (handler_) {
        handler_->OnWrite();
    }
}

void DoaClient::OnClose(int reason) {
    connected_ = false;
    object_open_ = false;
    batch_.clear();
    if (handler_) {
        handler_->OnClose(reason);
    }
}

}  // namespace kestrel
