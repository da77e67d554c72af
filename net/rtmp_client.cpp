#include "net/rtmp_client.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>

#include <algorithm>
#include <cassert>
#include <ctime>

#include "core/logger.h"
#include "core/time.h"
#include "net/net_connector.h"
#include "proto/url.h"

namespace kestrel {

namespace {

uint64_t SystemClock() {
    return Time::GetSystemTimeInt(0);
}

// C1 filler. The server does not check it, so a failed generator is worth
// a warning, not a failed connection.
void FillRandom(uint8_t* out, size_t len) {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_entropy_init(&entropy);
    mbedtls_ctr_drbg_init(&drbg);
    int ret = mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy, nullptr, 0);
    for (size_t done = 0; ret == 0 && done < len; done += MBEDTLS_CTR_DRBG_MAX_REQUEST) {
        ret = mbedtls_ctr_drbg_random(&drbg, out + done,
                                      std::min<size_t>(len - done, MBEDTLS_CTR_DRBG_MAX_REQUEST));
    }
    if (ret != 0) {
        KS_LOGW("Handshake random failed: -0x%x, zeros sent", static_cast<unsigned>(-ret));
        std::fill(out, out + len, 0);
    }
    mbedtls_ctr_drbg_free(&drbg);
    mbedtls_entropy_free(&entropy);
}

// The signed URL's query carries a token made with the device secret: logs
// get the URL without it.
std::string UrlForLog(const std::string& url) {
    size_t q = url.find('?');
    return q == std::string::npos ? url : url.substr(0, q) + "?<" + std::to_string(url.size() - q - 1) + " bytes>";
}

struct Route {
    uint32_t channel;
    uint8_t type;
};

// Where each muxer body goes: chunk stream and message type.
const Route kRoutes[] = {
    {RTMP_CHANNEL_MEDIA, RTMP_TYPE_VIDEO},   // video
    {RTMP_CHANNEL_MEDIA, RTMP_TYPE_AUDIO},   // audio
    {RTMP_CHANNEL_INVOKE, RTMP_TYPE_DATA},   // script (metadata)
    {RTMP_CHANNEL_INVOKE, RTMP_TYPE_INVOKE}  // status marker
};

}  // namespace

SharedPtr<RtmpClient> RtmpClient::Create(SharedPtr<RtmpClientHandler> handler) {
    // Every callback is passed on: a client nobody listens to is refused
    // here, so the callbacks need not ask.
    if (!handler) {
        KS_LOGE("RTMPClient refused: no handler");
        return SharedPtr<RtmpClient>();
    }
    SharedPtr<RtmpClient> client(new RtmpClient(handler));
    unsigned long id =
        NetConnector::Create(SharedPtr<NetSocketHandler>(client), NET_PROTOCOL_TCP, nullptr, 0);
    if (id == 0) {
        KS_LOGE("RTMPClient has no connector: the network is not started or full");
        return SharedPtr<RtmpClient>();
    }
    client->SetConnector(id);
    client->weak_socket_ = NetConnector::Find(id);
    return client;
}

RtmpClient::RtmpClient(SharedPtr<RtmpClientHandler> handler)
    : handler_(handler),
      mux_(FlvMux::MODE_RTMP, this, nullptr, &RtmpClient::OnMuxStatus),
      clock_(&SystemClock) {}

RtmpClient::~RtmpClient() = default;

void RtmpClient::SetConnector(unsigned long id) {
    if (attached_) {
        return;
    }
    id_ = id;
    attached_ = true;
}

void RtmpClient::SetLogInfo(const std::string& info) {
    log_info_ = info;
}

int RtmpClient::SetEncryption(const std::string& key_b64, const std::string& iv_b64) {
    int ret = mux_.SetEncryption(key_b64, iv_b64);
    if (ret != FLV_OK) {
        KS_LOGE("%s Encryption refused: %s (%d)", log_info_.c_str(), flv_result_text(ret),
                mux_.LastDetail());
    }
    return ret;
}

int RtmpClient::SetAudioCodec(AudioFormat format, AudioBit bit, AudioChannel channel,
                              AudioRate rate, AudioAdditionalRate additional_rate) {
    int ret = mux_.SetAudioCodec(format, bit, channel, rate, additional_rate);
    if (ret != FLV_OK) {
        KS_LOGE("%s Audio codec refused: %s", log_info_.c_str(), flv_result_text(ret));
    }
    return ret;
}

void RtmpClient::SetTimeouts(unsigned long start_ms, unsigned long stall_ms) {
    start_timeout_ms_ = start_ms;
    stall_timeout_ms_ = stall_ms;
}

void RtmpClient::CloseWith(int reason) {
    if (close_reason_ < 0) {
        close_reason_ = reason;
    }
    if (!closing_ && attached_) {
        closing_ = true;
        NetConnector::Close(id_);
    }
}

void RtmpClient::Start(const std::string& url, int private_mode) {
    if (!attached_) {
        KS_LOGE("%s RTMPClient has no connector, url:%s", log_info_.c_str(),
                UrlForLog(url).c_str());
        return;
    }
    url_ = url;
    private_mode_ = private_mode;
    start_ms_ = Now();
    NetUrl parsed;
    int ret = net_url_parse(url, &parsed);
    if (ret != URL_OK || parsed.scheme != "rtmp") {
        KS_LOGE("%s Url parse failed, url:%s, ret = %d", log_info_.c_str(),
                UrlForLog(url).c_str(), ret);
        CloseWith(RTMP_CLOSE_BAD_URL);
        return;
    }
    RtmpSessionConfig cfg;
    cfg.app = parsed.app;
    cfg.stream = parsed.stream;
    cfg.tc_url = parsed.conn_url;
    cfg.transcode = 1;
    cfg.private_mode = private_mode;
    auto session = std::make_unique<RtmpSession>();
    if (session->Configure(cfg) != RTMP_SESSION_OK) {
        KS_LOGE("%s Create rtmp failed: app (%zu bytes) or stream (%zu bytes) empty or over %zu",
                log_info_.c_str(), cfg.app.size(), cfg.stream.size(), RTMP_NAME_MAX);
        CloseWith(RTMP_CLOSE_CREATE_FAILED);
        return;
    }
    session_ = std::move(session);
    unsigned short port = parsed.port ? parsed.port : kDefaultPort;
    NetConnector::SetLogInfo(id_, log_info_);
    NetConnector::SetKeepAlive(id_, kKeepAliveIdleS, kKeepAliveIntervalS, kKeepAliveCount);
    NetConnector::Connect(id_, parsed.host, port, kConnectTimeoutMs);
    KS_LOGD("%s RTMPClient Start Connect Server success, private_mode = %d", log_info_.c_str(),
            private_mode);
}

long RtmpClient::QueuedBytes() const {
    return socket_ ? socket_->Pending() : NetConnector::Pending(id_);
}

bool RtmpClient::SendWire(const SharedPtr<SharedBytes>& keep) {
    if (wire_.Total() == 0) {
        return true;
    }
    long sent = socket_ ? socket_->SendPieces(wire_, keep) : -1;
    bool ok = sent == static_cast<long>(wire_.Total());
    if (ok && !write_owed_) {
        write_owed_ = true;
        last_progress_ms_ = Now();
    }
    if (!ok) {
        // Part of a message on the wire would leave the server out of chunk sync.
        KS_LOGE("%s RTMP send failed, %zu bytes, queued %ld", log_info_.c_str(), wire_.Total(),
                QueuedBytes());
        CloseWith(RTMP_CLOSE_SEND_FAILED);
    }
    wire_.Clear();
    return ok;
}

// What the session produced itself (handshake, answers, commands) goes the
// same way as media, so that nothing overtakes a message half written.
bool RtmpClient::Flush() {
    std::vector<uint8_t>& out = session_->Output();
    if (out.empty()) {
        return true;
    }
    wire_.Clear();
    wire_.AddSpan(out.data(), out.size(), true);
    bool ok = SendWire(SharedPtr<SharedBytes>());
    out.clear();
    return ok;
}

bool RtmpClient::SendBodies(const SharedPtr<SharedBytes>& keep) {
    if (!Flush()) {
        return false;
    }
    wire_.Clear();
    for (const FlvBodies::Body& b : bodies_.bodies) {
        const Route& route = kRoutes[b.type];
        int ret = session_->PushMediaPieces(route.channel, route.type, bodies_.pieces, b.first,
                                            b.count, b.length, b.timestamp, &wire_);
        if (ret != RTMP_SESSION_OK) {
            KS_LOGE("%s RTMP message refused: %d, %s", log_info_.c_str(), ret,
                    session_->LastError().c_str());
            wire_.Clear();
            return false;
        }
    }
    return SendWire(keep);
}

void RtmpClient::OnConnect() {
    socket_ = NetConnector::Find(id_);
    last_progress_ms_ = Now();
    uint8_t random[RTMP_HANDSHAKE_RANDOM];
    FillRandom(random, sizeof random);
    bool ok = session_ &&
              session_->Start(static_cast<uint32_t>(std::time(nullptr)), random) == RTMP_SESSION_OK;
    if (!ok || !Flush()) {
        KS_LOGE("%s RTMPClient started failed, url:%s, it's impossible", log_info_.c_str(),
                UrlForLog(url_).c_str());
        CloseWith(RTMP_CLOSE_START_FAILED);
    } else {
        ArmTimer();
    }
    handler_->OnConnect();
    KS_LOGD("%s RTMPClient OnConnected success", log_info_.c_str());
}

void RtmpClient::OnDisConnect(NetSocketDisconnectResult reason) {
    KS_LOGD("%s OnDisConnect", log_info_.c_str());
    closing_ = true;
    socket_ = SharedPtr<NetSocket>();  // the socket holds this client
    if (close_reported_) {
        return;
    }
    close_reported_ = true;
    int result = close_reason_ >= 0 ? close_reason_ : static_cast<int>(reason);
    handler_->OnClose(result);
}

long RtmpClient::OnData(const char* data, unsigned long len) {
    // Bytes come only over a connection Start made, with its session.
    assert(session_);
    if (!session_) {
        return -1;
    }
    // Messages are handled as they complete, a bounded batch at a time: a
    // read full of tiny messages never turns into a read's worth of events.
    const auto* bytes = reinterpret_cast<const uint8_t*>(data);
    size_t pos = 0;
    while (pos < len && !closing_) {
        size_t used = 0;
        int ret = session_->InputSome(bytes + pos, len - pos,
                                      static_cast<uint32_t>(std::time(nullptr)), &used);
        pos += used;
        // Answers (C2, acknowledgements, pongs) go out before anything the
        // owner sends from a notification.
        bool sent = Flush();
        if (ret < 0) {
            KS_LOGE("Rtmp input failed: %s %d, %s", log_info_.c_str(), ret,
                    session_->LastError().c_str());
            CloseWith(RTMP_CLOSE_PROTOCOL);
            return -1;
        }
        if (!sent) {
            return -1;
        }
        HandleEvents();
        if (PeerUseless()) {
            return -1;
        }
    }
    return static_cast<long>(len);
}

bool RtmpClient::PeerUseless() {
    if (closing_) {
        return true;
    }
    uint32_t run = std::max(session_->UnusableRun(), audio_failures_);
    if (run < kUnusableLimit) {
        return false;
    }
    KS_LOGE("%s Relay sent %u unusable media messages in a row (%llu empty or short in all), "
            "closing",
            log_info_.c_str(), run, static_cast<unsigned long long>(session_->UnusableTotal()));
    CloseWith(RTMP_CLOSE_PROTOCOL);
    return true;
}

void RtmpClient::HandleEvents() {
    RtmpEvent ev;
    while (session_ && session_->PollEvent(&ev) && !closing_) {
        switch (ev.kind) {
            case RTMP_EVENT_NOTIFY: {
                if (ev.notify == RTMP_NOTIFY_PUBLISH_START) {
                    publishing_ = true;
                }
                if (ev.notify >= 0 && ev.notify < 32) {
                    started_mask_ |= 1u << ev.notify;
                }
                void* data = ev.has_value  ? static_cast<void*>(&ev.value)
                             : ev.has_text ? static_cast<void*>(&ev.text[0])
                                           : nullptr;
                handler_->OnNotify(static_cast<rtmp_client_notify_t>(ev.notify), data);
                break;
            }
            case RTMP_EVENT_AUDIO:
                HandleAudio(ev);
                break;
            case RTMP_EVENT_STATUS_UNHANDLED:
                KS_LOGW("%s Status not handled: %s", log_info_.c_str(), ev.text.c_str());
                break;
            case RTMP_EVENT_CONNECTED:
                KS_LOGD("%s RTMP connect accepted", log_info_.c_str());
                break;
            case RTMP_EVENT_STREAM_CREATED:
                KS_LOGD("%s RTMP stream %u created", log_info_.c_str(), session_->StreamId());
                NetConnector::RequestWrite(id_);
                break;
        }
    }
}

void RtmpClient::HandleAudio(const RtmpEvent& ev) {
    int ret = audio_.AddData(reinterpret_cast<const char*>(ev.data.data()), ev.data.size(),
                             mux_.GetKey(), mux_.GetIv());
    if (ret != FLV_OK) {
        // The first few tell what is wrong; PeerUseless closes a peer that
        // sends nothing else.
        if (++audio_failures_ <= 3) {
            KS_LOGE("Audio parse failed: %s %s (%d), %zu bytes", log_info_.c_str(),
                    flv_result_text(ret), audio_.LastDetail(), ev.data.size());
        }
        return;
    }
    audio_failures_ = 0;
    if (audio_.GetType() == FlvTagBodyAudioDataParse::TYPE_CONFIG) {
        handler_->OnAudioFormat(static_cast<AudioFormat>(audio_.GetFormat()),
                                static_cast<AudioBit>(audio_.GetBit()),
                                static_cast<AudioChannel>(audio_.GetChannel()),
                                static_cast<AudioAdditionalRate>(audio_.GetAddRate()));
    } else {
        handler_->OnAudio(audio_.GetData(), audio_.GetLen(), ev.timestamp);
    }
}

long RtmpClient::OnWrite() {
    last_progress_ms_ = Now();
    last_pending_ = 0;
    write_owed_ = false;
    if (!closing_) {
        handler_->OnWrite();
    }
    return 0;
}

bool RtmpClient::Ready() const {
    // In both handshake modes the start ends with the server's start
    // statuses: a relay that takes the private handshake and then stays
    // silent must not hold the session.
    return (started_mask_ & start_mask_) == start_mask_;
}

void RtmpClient::ArmTimer() {
    unsigned long next = std::max<unsigned long>(stall_timeout_ms_ / 4, 1);
    next = std::min<unsigned long>(next, 1000);
    if (!Ready()) {
        uint64_t due = start_ms_ + start_timeout_ms_;
        uint64_t now = Now();
        next = std::min<unsigned long>(next, due > now ? static_cast<unsigned long>(due - now) : 1);
    }
    NetConnector::SetTimer(id_, next);
}

void RtmpClient::OnTimer() {
    if (closing_) {
        return;
    }
    uint64_t now = Now();
    if (!Ready() && now - start_ms_ >= start_timeout_ms_) {
        KS_LOGE("%s RTMP start took over %lu ms (started 0x%x of 0x%x), url:%s",
                log_info_.c_str(), start_timeout_ms_, started_mask_, start_mask_,
                UrlForLog(url_).c_str());
        CloseWith(RTMP_CLOSE_START_TIMEOUT);
        return;
    }
    // Bytes handed to the socket owe a write turn: one comes as soon as the
    // connector's queue and the kernel's buffer have room again. Without
    // one, the peer has stopped reading.
    long pending = QueuedBytes();
    if (pending < last_pending_) {
        last_progress_ms_ = now;
    }
    last_pending_ = pending;
    if (write_owed_ && now - last_progress_ms_ >= stall_timeout_ms_) {
        KS_LOGE("%s RTMP socket made no progress for %lu ms, %ld bytes queued", log_info_.c_str(),
                stall_timeout_ms_, pending);
        CloseWith(RTMP_CLOSE_STALLED);
        return;
    }
    ArmTimer();
}

bool RtmpClient::CanTake(uint32_t len) const {
    if (!attached_ || closing_) {
        return false;
    }
    long pending = QueuedBytes();
    if (pending < 0 || len > kMaxFrame) {
        return false;
    }
    long need = static_cast<long>(len) + (pending == 0 ? kFraming : kFrameOverhead);
    return pending + need <= kQueueLimit;
}

int RtmpClient::SendVideo(int format, int key_frame, const char* data, uint32_t len,
                          uint32_t timestamp, const SharedPtr<SharedBytes>& keep) {
    if (!attached_ || !session_ || session_->StreamId() == 0 || closing_) {
        return -1;
    }
    if (len > kMaxFrame) {
        KS_LOGE("%s Frame of %u bytes over the %u a message can carry: dropped", log_info_.c_str(),
                len, kMaxFrame);
        return -3;
    }
    if (!CanTake(len)) {
        return -2;
    }
    int ret = mux_.SendVideo(format, key_frame, data, len, timestamp, &bodies_);
    if (ret == FLV_WAIT_KEY_FRAME) {
        KS_LOGV("%s Wait for key frame", log_info_.c_str());
    } else if (ret != FLV_OK) {
        KS_LOGE("%s Video refused: %s (%d)", log_info_.c_str(), flv_result_text(ret),
                mux_.LastDetail());
    }
    if (ret == FLV_OK && !SendBodies(keep)) {
        ret = FLV_HANDLER_FAILED;
    }
    bodies_.Clear();
    return ret == FLV_OK ? 0 : -1;
}

int RtmpClient::SendAudio(const char* data, uint32_t len, uint32_t timestamp,
                          const SharedPtr<SharedBytes>& keep) {
    if (!attached_ || !session_ || session_->StreamId() == 0 || closing_) {
        return -1;
    }
    if (len > kMaxFrame) {
        KS_LOGE("%s Frame of %u bytes over the %u a message can carry: dropped", log_info_.c_str(),
                len, kMaxFrame);
        return -3;
    }
    if (!CanTake(len)) {
        return -2;
    }
    int ret = mux_.SendAudio(data, len, timestamp, &bodies_);
    if (ret != FLV_OK) {
        KS_LOGE("%s Audio refused: %s (%d)", log_info_.c_str(), flv_result_text(ret),
                mux_.LastDetail());
    }
    if (ret == FLV_OK && !SendBodies(keep)) {
        ret = FLV_HANDLER_FAILED;
    }
    bodies_.Clear();
    return ret == FLV_OK ? 0 : -1;
}

int RtmpClient::SendScript(FlvMux::ScriptType type) {
    if (!attached_ || !session_ || session_->StreamId() == 0 || closing_) {
        return -1;
    }
    int ret = mux_.SendScript(type, &bodies_);
    if (ret == FLV_OK && !SendBodies(SharedPtr<SharedBytes>())) {
        ret = FLV_HANDLER_FAILED;
    }
    bodies_.Clear();
    return ret == FLV_OK ? 0 : -1;
}

void RtmpClient::SendMetadata(double duration) {
    if (attached_) {
        mux_.SetMetadata(duration);
    }
}

void RtmpClient::RequestWrite() {
    if (!attached_ || closing_) {
        return;
    }
    if (SharedPtr<NetSocket> socket = weak_socket_.Lock()) {
        socket->RequestWrite();
    } else {
        NetConnector::RequestWrite(id_);
    }
}

void RtmpClient::Stop() {
    if (!attached_) {
        return;
    }
    closing_ = true;
    NetConnector::Close(id_);
    KS_LOGD("%s RTMPClient stop", log_info_.c_str());
}

void RtmpClient::OnMuxStatus(void* param, FlvMux::Status status) {
    auto* self = static_cast<RtmpClient*>(param);
    KS_LOGI("%s Video format changed (%d): waiting for a key frame", self->log_info_.c_str(),
            status);
}

}  // namespace kestrel
