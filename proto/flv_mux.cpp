#include "proto/flv_mux.h"

#include <cstring>

#include "proto/amf0.h"
#include "proto/codec_config.h"

namespace kestrel {

int flv_audio_format(int device_audio_format) {
    switch (device_audio_format) {
        case 1:
            return AUDIO_FORMAT_G711A;
        case 2:
            return AUDIO_FORMAT_AAC;
        case 3:
            return AUDIO_FORMAT_G711U;
        default:
            return -1;
    }
}

const char* flv_result_text(int result) {
    switch (result) {
        case FLV_OK:
            return "ok";
        case FLV_NO_HANDLER:
            return "No data or status handler";
        case FLV_METADATA_FAILED:
            return "Send metadata failed";
        case FLV_BAD_VIDEO_FORMAT:
            return "Unknown video format";
        case FLV_WAIT_KEY_FRAME:
            return "Wait for key frame";
        case FLV_VIDEO_PARSE_FAILED:
            return "Video parse failed";
        case FLV_NO_SEQUENCE_HEADER:
            return "No sequence header";
        case FLV_NO_AUDIO_CODEC:
            return "Set audio codec before send data";
        case FLV_AUDIO_PARSE_FAILED:
            return "Parse audio failed";
        case FLV_BAD_AUDIO_CODEC:
            return "Unsupported audio codec";
        case FLV_BAD_ENCRYPTION:
            return "Invalid encryption key or iv";
        case FLV_ENCRYPTION_REFUSED:
            return "Encryption was refused, media held back";
        case FLV_ENCRYPT_FAILED:
            return "Encrypt failed";
        case FLV_HANDLER_FAILED:
            return "Send data failed";
        default:
            return "unknown result";
    }
}

namespace {

constexpr uint8_t kFrameKey = 1;
constexpr uint8_t kFrameInter = 2;
constexpr uint8_t kStartCode[3] = {0, 0, 1};
// A body this long that the muxer built whole goes into the pieces by
// moving its buffer; shorter ones (headers, metadata) are copied.
constexpr size_t kKeepAbove = 4096;

void put32(std::vector<uint8_t>* out, size_t v) {
    out->push_back(static_cast<uint8_t>(v >> 24));
    out->push_back(static_cast<uint8_t>(v >> 16));
    out->push_back(static_cast<uint8_t>(v >> 8));
    out->push_back(static_cast<uint8_t>(v));
}

void append(std::vector<uint8_t>* out, const NalUnit& u) {
    out->insert(out->end(), u.data, u.data + u.len);
}

// The camera's own SEI carries its tags as "QZQZ" or "7351" right after the
// NAL header byte; the cloud reads it in front of the picture.
bool private_sei(const NalUnit& u) {
    return u.len > 8 && (memcmp(u.data + 1, "QZQZ", 4) == 0 || memcmp(u.data + 1, "7351", 4) == 0);
}

// 0: not a picture slice; otherwise the FLV frame type it makes.
uint8_t slice_frame_type(bool hevc, const NalUnit& u) {
    if (hevc) {
        int t = h265_nal_type(u);
        if (t >= 16 && t <= 21) {
            return kFrameKey;
        }
        return t >= 0 && t <= 9 ? kFrameInter : 0;
    }
    int t = h264_nal_type(u);
    return t == 5 ? kFrameKey : t == 1 ? kFrameInter : 0;
}

}  // namespace

struct FlvMux::AccessUnit {
    bool hevc = false;
    uint8_t frame_type = 0;
    NalUnit vps, sps, pps, sei;
    std::vector<NalUnit> slices;
    std::vector<uint8_t> record;  // empty when the unit carries no parameter sets
};

FlvMux::FlvMux(Mode, void* param, DataHandler data_handler, StatusHandler status_handler)
    : param_(param), data_handler_(data_handler), status_handler_(status_handler) {}

int FlvMux::SetEncryption(const std::string& key_b64, const std::string& iv_b64) {
    encrypt_ = false;
    encryption_refused_ = false;
    detail_ = 0;
    if (key_b64.empty() && iv_b64.empty()) {
        return FLV_OK;
    }
    int r = media_key_from_base64(key_b64, iv_b64, &key_);
    if (r != CRYPTO_OK) {
        key_ = MediaKey();
        encryption_refused_ = true;
        detail_ = r;
        return FLV_BAD_ENCRYPTION;
    }
    encrypt_ = true;
    return FLV_OK;
}

int FlvMux::SetAudioCodec(AudioFormat format, AudioBit bit, AudioChannel channel, AudioRate rate,
                          AudioAdditionalRate additional_rate) {
    audio_codec_set_ = false;
    audio_config_sent_ = false;
    bool known =
        format == AUDIO_FORMAT_G711A || format == AUDIO_FORMAT_G711U || format == AUDIO_FORMAT_AAC;
    if (!known || bit < 0 || bit > 1 || channel < 0 || channel > 1 || rate < 0 || rate > 3 ||
        additional_rate < 0 || additional_rate > AUDIO_ADD_RATE_MAX) {
        return FLV_BAD_AUDIO_CODEC;
    }
    audio_format_ = format;
    audio_bit_ = bit;
    audio_channel_ = channel;
    audio_rate_ = rate;
    audio_add_rate_ = additional_rate;
    audio_codec_set_ = true;
    return FLV_OK;
}

void FlvMux::SetMetadata(double duration) {
    duration_ = duration;
    metadata_sent_ = false;
}

int FlvMux::Emit(DataType type, std::vector<uint8_t>* body, size_t encrypt_from,
                 uint32_t timestamp) {
    if (encrypt_ && encrypt_from < body->size()) {
        int r = media_encrypt(key_, body, encrypt_from);
        if (r != CRYPTO_OK) {
            detail_ = r;
            return FLV_ENCRYPT_FAILED;
        }
    }
    if (out_) {
        FlvBodies::Body b;
        b.type = type;
        b.timestamp = timestamp;
        b.first = out_->pieces.Count();
        out_->pieces.Break();
        b.length = body->size();
        if (body->size() >= kKeepAbove) {
            // A whole frame built here (encrypted): handed over, not copied.
            out_->pieces.AddKept(body);
        } else {
            out_->pieces.AddOwn(body->data(), body->size());
        }
        b.count = out_->pieces.Count() - b.first;
        out_->bodies.push_back(b);
        return FLV_OK;
    }
    int r = data_handler_(param_, type, reinterpret_cast<const char*>(body->data()), body->size(),
                          timestamp);
    return r < 0 ? FLV_HANDLER_FAILED : FLV_OK;
}

int FlvMux::Precheck() {
    detail_ = 0;
    if ((!data_handler_ && !out_) || !status_handler_) {
        return FLV_NO_HANDLER;
    }
    return encryption_refused_ ? FLV_ENCRYPTION_REFUSED : FLV_OK;
}

int FlvMux::SendMetadataIfDue() {
    if (metadata_sent_) {
        return FLV_OK;
    }
    static const char kName[] = "onMetaData";
    static const char kDuration[] = "duration";
    body_.assign(512, 0);
    uint8_t* end = body_.data() + body_.size();
    uint8_t* p = AMFWriteString(body_.data(), end, kName, sizeof(kName) - 1);
    p = AMFWriteObject(p, end);
    p = AMFWriteNamedDouble(p, end, kDuration, sizeof(kDuration) - 1, duration_);
    p = AMFWriteObjectEnd(p, end);
    if (!p) {
        return FLV_METADATA_FAILED;
    }
    body_.resize(static_cast<size_t>(p - body_.data()));
    if (Emit(DATA_SCRIPT, &body_, body_.size(), 0) != FLV_OK) {
        return FLV_METADATA_FAILED;
    }
    metadata_sent_ = true;
    return FLV_OK;
}

int FlvMux::SendScript(ScriptType type) {
    return DoScript(type);
}

int FlvMux::SendScript(ScriptType type, FlvBodies* out) {
    out->Clear();
    out_ = out;
    int r = DoScript(type);
    out_ = nullptr;
    return r;
}

int FlvMux::DoScript(ScriptType type) {
    int r = Precheck();
    if (r != FLV_OK) {
        return r;
    }
    static const char kName[] = "onStatus";
    static const char kLevel[] = "level";
    static const char kStatus[] = "status";
    static const char kCode[] = "code";
    static const char kDesc[] = "description";
    static const char kDescText[] = "desc";
    const char* code =
        type == SCRIPT_PRE_COMPLETE ? "NetStream.Pre.Complete" : "NetStream.Vod.Complete";
    body_.assign(512, 0);
    uint8_t* end = body_.data() + body_.size();
    uint8_t* p = AMFWriteString(body_.data(), end, kName, sizeof(kName) - 1);
    p = AMFWriteDouble(p, end, 0);
    p = AMFWriteNull(p, end);
    p = AMFWriteObject(p, end);
    p = AMFWriteNamedString(p, end, kLevel, sizeof(kLevel) - 1, kStatus, sizeof(kStatus) - 1);
    p = AMFWriteNamedString(p, end, kCode, sizeof(kCode) - 1, code, strlen(code));
    p = AMFWriteNamedString(p, end, kDesc, sizeof(kDesc) - 1, kDescText, sizeof(kDescText) - 1);
    p = AMFWriteObjectEnd(p, end);
    if (!p) {
        return FLV_HANDLER_FAILED;
    }
    body_.resize(static_cast<size_t>(p - body_.data()));
    return Emit(DATA_STATUS, &body_, body_.size(), 0);
}

// ---------------------------------------------------------------- video

int FlvMux::ParseAccessUnit(const uint8_t* data, size_t len, AccessUnit* au) {
    std::vector<NalUnit> units;
    int r = nal_split(data, len, &units);
    if (r != CODEC_OK) {
        return r;
    }
    for (const NalUnit& u : units) {
        uint8_t ft = slice_frame_type(au->hevc, u);
        if (ft != 0) {
            au->frame_type = au->slices.empty() ? ft : au->frame_type;
            au->slices.push_back(u);
            continue;
        }
        int t = au->hevc ? h265_nal_type(u) : h264_nal_type(u);
        bool sei = au->hevc ? (t == 39 || t == 40) : t == 6;
        NalUnit* slot = nullptr;
        if (au->hevc) {
            slot = t == 32 ? &au->vps : t == 33 ? &au->sps : t == 34 ? &au->pps : nullptr;
        } else {
            slot = t == 7 ? &au->sps : t == 8 ? &au->pps : nullptr;
        }
        if (slot && slot->len == 0) {
            *slot = u;
        } else if (sei && au->sei.len == 0 && private_sei(u)) {
            au->sei = u;
        }
    }
    if (au->slices.empty()) {
        return CODEC_UNSUPPORTED;
    }
    if (au->sps.len && au->pps.len && (!au->hevc || au->vps.len)) {
        r = au->hevc ? hevc_decoder_config(au->vps, au->sps, au->pps, &au->record)
                     : avc_decoder_config(au->sps, au->pps, &au->record);
    }
    return r;
}

// Every slice goes with its own length. The camera's private SEI travels
// glued to the first slice by a start code, under that slice's length.
int FlvMux::BuildFrameBody(const AccessUnit& au) {
    uint8_t codec = au.hevc ? VIDEO_CODEC_HEVC : VIDEO_CODEC_AVC;
    body_.clear();
    // Room for the whole body and the cipher's padding block, so neither
    // grows it by a second copy.
    size_t need = 5 + 16 + au.sei.len + sizeof(kStartCode);
    for (const NalUnit& s : au.slices) {
        need += 4 + s.len;
    }
    body_.reserve(need);
    body_.push_back(static_cast<uint8_t>(au.frame_type << 4 | codec));
    body_.insert(body_.end(), {1, 0, 0, 0});
    for (size_t i = 0; i < au.slices.size(); ++i) {
        const NalUnit& s = au.slices[i];
        if (i == 0 && au.sei.len) {
            put32(&body_, au.sei.len + sizeof(kStartCode) + s.len);
            append(&body_, au.sei);
            body_.insert(body_.end(), kStartCode, kStartCode + sizeof(kStartCode));
        } else {
            put32(&body_, s.len);
        }
        append(&body_, s);
    }
    return FLV_OK;
}

// Every slice goes with its own length, as in BuildFrameBody; the slices and
// the SEI stay in the caller's frame and only the framing is written.
void FlvMux::FramePieces(const AccessUnit& au, uint32_t timestamp) {
    IoPieces& p = out_->pieces;
    FlvBodies::Body b;
    b.type = DATA_VIDEO;
    b.timestamp = timestamp;
    b.first = p.Count();
    size_t before = p.Total();
    p.Break();
    uint8_t codec = au.hevc ? VIDEO_CODEC_HEVC : VIDEO_CODEC_AVC;
    const uint8_t head[5] = {static_cast<uint8_t>(au.frame_type << 4 | codec), 1, 0, 0, 0};
    p.AddOwn(head, sizeof head);
    for (size_t i = 0; i < au.slices.size(); ++i) {
        const NalUnit& s = au.slices[i];
        bool sei = i == 0 && au.sei.len;
        size_t n = sei ? au.sei.len + sizeof(kStartCode) + s.len : s.len;
        const uint8_t prefix[4] = {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
                                   static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
        p.AddOwn(prefix, sizeof prefix);
        if (sei) {
            p.AddSpan(au.sei.data, au.sei.len, false);
            p.AddOwn(kStartCode, sizeof(kStartCode));
        }
        p.AddSpan(s.data, s.len, false);
    }
    b.count = p.Count() - b.first;
    b.length = p.Total() - before;
    out_->bodies.push_back(b);
}

int FlvMux::SendVideo(int format, int key_frame, const char* data, uint32_t len,
                      uint32_t timestamp) {
    return DoVideo(format, key_frame, data, len, timestamp);
}

int FlvMux::SendVideo(int format, int key_frame, const char* data, uint32_t len,
                      uint32_t timestamp, FlvBodies* out) {
    out->Clear();
    out_ = out;
    int r = DoVideo(format, key_frame, data, len, timestamp);
    out_ = nullptr;
    return r;
}

int FlvMux::DoVideo(int format, int key_frame, const char* data, uint32_t len,
                    uint32_t timestamp) {
    int r = Precheck();
    if (r != FLV_OK) {
        return r;
    }
    if (format != 0 && format != 1) {
        return FLV_BAD_VIDEO_FORMAT;
    }
    if ((r = SendMetadataIfDue()) != FLV_OK) {
        return r;
    }
    if (format != video_format_) {
        status_handler_(param_, STATUS_VIDEO_FORMAT_CHANGED);
        video_format_ = format;
        video_record_sent_ = false;
        // The stored record belongs to the other codec and must never be
        // sent under this one's label.
        video_record_.clear();
    }
    if (!video_record_sent_ && !key_frame) {
        return FLV_WAIT_KEY_FRAME;
    }
    AccessUnit au;
    au.hevc = format == 1;
    r = ParseAccessUnit(reinterpret_cast<const uint8_t*>(data), data ? len : 0, &au);
    if (r != CODEC_OK) {
        detail_ = r;
        return FLV_VIDEO_PARSE_FAILED;
    }
    if (!au.record.empty() && au.record != video_record_) {
        video_record_ = au.record;
        video_record_sent_ = false;
    }
    if (!video_record_sent_) {
        if (video_record_.empty()) {
            return FLV_NO_SEQUENCE_HEADER;
        }
        uint8_t codec = au.hevc ? VIDEO_CODEC_HEVC : VIDEO_CODEC_AVC;
        body_.assign({static_cast<uint8_t>(au.frame_type << 4 | codec), 0, 0, 0, 0});
        body_.insert(body_.end(), video_record_.begin(), video_record_.end());
        if ((r = Emit(DATA_VIDEO, &body_, 5, timestamp)) != FLV_OK) {
            return r;
        }
        video_record_sent_ = true;
    }
    // Inter frames go in clear: they are useless without the key frame before them.
    if (out_ && !(encrypt_ && au.frame_type == kFrameKey)) {
        FramePieces(au, timestamp);
        return FLV_OK;
    }
    BuildFrameBody(au);
    size_t encrypt_from = au.frame_type == kFrameKey ? 5 : body_.size();
    return Emit(DATA_VIDEO, &body_, encrypt_from, timestamp);
}

// ---------------------------------------------------------------- audio

int FlvMux::SendAudio(const char* data, uint32_t len, uint32_t timestamp) {
    return DoAudio(data, len, timestamp);
}

int FlvMux::SendAudio(const char* data, uint32_t len, uint32_t timestamp, FlvBodies* out) {
    out->Clear();
    out_ = out;
    int r = DoAudio(data, len, timestamp);
    out_ = nullptr;
    return r;
}

int FlvMux::DoAudio(const char* data, uint32_t len, uint32_t timestamp) {
    int r = Precheck();
    if (r != FLV_OK) {
        return r;
    }
    if ((r = SendMetadataIfDue()) != FLV_OK) {
        return r;
    }
    if (!audio_codec_set_) {
        return FLV_NO_AUDIO_CODEC;
    }
    const uint8_t* payload = reinterpret_cast<const uint8_t*>(data);
    size_t payload_len = data ? len : 0;
    uint8_t config[5];
    size_t config_len = 2;
    if (audio_format_ == AUDIO_FORMAT_AAC) {
        uint8_t object_type = 2;  // AAC LC
        uint8_t index = static_cast<uint8_t>(audio_add_rate_);
        uint8_t channels = static_cast<uint8_t>(audio_channel_ + 1);
        AdtsHeader adts;
        if (payload_len > 7 && adts_sync(payload, payload_len)) {
            // The stream's own header says what it is; it wins over the settings.
            if ((r = adts_parse(payload, payload_len, &adts)) != CODEC_OK) {
                detail_ = r;
                return FLV_AUDIO_PARSE_FAILED;
            }
            payload += adts.header_len;
            payload_len -= adts.header_len;
            object_type = adts.object_type;
            index = adts.sampling_index;
            channels = adts.channel_config ? adts.channel_config : channels;
        }
        aac_audio_specific_config(object_type, index, channels, config);
        config_len = 5;
    } else {
        config[0] = static_cast<uint8_t>(audio_add_rate_ << 4);
        config[1] = 0;
    }
    if (payload_len == 0) {
        detail_ = CODEC_TRUNCATED;
        return FLV_AUDIO_PARSE_FAILED;
    }
    uint8_t header = static_cast<uint8_t>(audio_format_ << 4 | (audio_rate_ & 3) << 2 |
                                          (audio_bit_ & 1) << 1 | (audio_channel_ & 1));
    if (!audio_config_sent_ || audio_config_.size() != config_len ||
        memcmp(audio_config_.data(), config, config_len) != 0) {
        audio_config_.assign(config, config + config_len);
        body_.assign({header, 0});
        body_.insert(body_.end(), config, config + config_len);
        if ((r = Emit(DATA_AUDIO, &body_, 0, timestamp)) != FLV_OK) {
            audio_config_sent_ = false;
            return r;
        }
        audio_config_sent_ = true;
    }
    if (out_ && !encrypt_) {
        IoPieces& p = out_->pieces;
        FlvBodies::Body b;
        b.type = DATA_AUDIO;
        b.timestamp = timestamp;
        b.first = p.Count();
        p.Break();
        const uint8_t head[2] = {header, 1};
        p.AddOwn(head, sizeof head);
        p.AddSpan(payload, payload_len, false);
        b.count = p.Count() - b.first;
        b.length = sizeof head + payload_len;
        out_->bodies.push_back(b);
        return FLV_OK;
    }
    body_.assign({header, 1});
    body_.insert(body_.end(), payload, payload + payload_len);
    return Emit(DATA_AUDIO, &body_, 0, timestamp);
}

// ---------------------------------------------------------------- received audio

int FlvTagBodyAudioDataParse::AddData(const char* data, size_t len, const uint8_t* key,
                                      const uint8_t* iv) {
    detail_ = 0;
    body_.clear();
    const uint8_t* in = reinterpret_cast<const uint8_t*>(data);
    if (!in) {
        len = 0;
    }
    if (key && iv) {
        MediaKey k;
        memcpy(k.key, key, sizeof(k.key));
        memcpy(k.iv, iv, sizeof(k.iv));
        int r = media_decrypt(k, in, len, &body_);
        if (r != CRYPTO_OK) {
            detail_ = r;
            return FLV_AUDIO_PARSE_FAILED;
        }
    } else {
        body_.assign(in, in + len);
    }
    if (body_.size() <= 3) {
        detail_ = CODEC_TRUNCATED;
        return FLV_AUDIO_PARSE_FAILED;
    }
    int format = body_[0] >> 4;
    int kind = body_[1];
    if ((format != AUDIO_FORMAT_G711A && format != AUDIO_FORMAT_G711U &&
         format != AUDIO_FORMAT_AAC) ||
        kind > 1) {
        detail_ = CODEC_BAD_VALUE;
        return FLV_AUDIO_PARSE_FAILED;
    }
    if (kind == TYPE_DATA) {
        type_ = kind;
        return FLV_OK;
    }
    int add_rate, channel;
    if (format == AUDIO_FORMAT_AAC) {
        // AudioSpecificConfig: object type (5 bits), sampling-frequency index
        // (4), channel configuration (4). The escapes (object type 31, index
        // 15) and channel layouts beyond stereo have no place in the record.
        int object_type = body_[2] >> 3;
        add_rate = ((body_[2] & 0x07) << 1) | (body_[3] >> 7);
        int channels = (body_[3] >> 3) & 0x0F;
        if (object_type == 0 || object_type == 31 || channels < 1 || channels > 2) {
            detail_ = CODEC_BAD_VALUE;
            return FLV_AUDIO_PARSE_FAILED;
        }
        channel = channels - 1;
    } else {
        add_rate = body_[2] >> 4;
        channel = body_[0] & 1;
    }
    if (add_rate > AUDIO_ADD_RATE_MAX) {
        detail_ = CODEC_BAD_VALUE;
        return FLV_AUDIO_PARSE_FAILED;
    }
    type_ = kind;
    format_ = format;
    bit_ = (body_[0] >> 1) & 1;
    channel_ = channel;
    add_rate_ = add_rate;
    return FLV_OK;
}

}  // namespace kestrel
