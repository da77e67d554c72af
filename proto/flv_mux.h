// FLV tag bodies for the relay and storage streams: the camera's H.264/H.265
// access units and AAC/G.711 frames become video and audio bodies with their
// sequence headers, plus the metadata and completion-marker script bodies,
// optionally AES-128-CBC encrypted. The owner frames the bodies (RTMP
// messages or FLV tags); the muxer never logs: every refusal comes back as a
// FlvResult, with LastDetail() naming the codec or cipher cause, and the
// owner writes the log line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "proto/io_pieces.h"
#include "proto/media_crypto.h"

namespace kestrel {

// FLV SoundFormat values the cloud accepts.
enum AudioFormat : int {
    AUDIO_FORMAT_G711A = 7,
    AUDIO_FORMAT_G711U = 8,
    AUDIO_FORMAT_AAC = 10,
};
enum AudioBit : int { AUDIO_BIT_8 = 0, AUDIO_BIT_16 = 1 };
enum AudioChannel : int { AUDIO_CHANNEL_MONO = 0, AUDIO_CHANNEL_STEREO = 1 };
// FLV SoundRate, 0..3.
enum AudioRate : int {
    AUDIO_RATE_5K = 0,
    AUDIO_RATE_11K = 1,
    AUDIO_RATE_22K = 2,
    AUDIO_RATE_44K = 3
};
// AAC sampling-frequency index 0..12, also carried for G.711.
enum AudioAdditionalRate : int {
    AUDIO_ADD_RATE_48000 = 3,
    AUDIO_ADD_RATE_44100 = 4,
    AUDIO_ADD_RATE_32000 = 5,
    AUDIO_ADD_RATE_16000 = 8,
    AUDIO_ADD_RATE_8000 = 11,
    AUDIO_ADD_RATE_MAX = 12,
};
enum VideoCodecIdE : int { VIDEO_CODEC_AVC = 7, VIDEO_CODEC_HEVC = 12 };

// The FLV sound format for the device API's audio format (1 G.711 A-law,
// 2 AAC, 3 G.711 µ-law). PCM and unknown values have none: -1.
int flv_audio_format(int device_audio_format);

enum FlvResult {
    FLV_OK = 0,
    FLV_NO_HANDLER = -1,           // constructed without a data or status handler
    FLV_METADATA_FAILED = -2,      // the owner refused the metadata body
    FLV_BAD_VIDEO_FORMAT = -3,     // format is neither 0 (H.264) nor 1 (H.265)
    FLV_WAIT_KEY_FRAME = -4,       // no sequence header yet and this is no key frame
    FLV_VIDEO_PARSE_FAILED = -5,   // LastDetail(): a CodecResult
    FLV_NO_SEQUENCE_HEADER = -6,   // key frame without parameter sets, none stored
    FLV_NO_AUDIO_CODEC = -7,       // SendAudio before a valid SetAudioCodec
    FLV_AUDIO_PARSE_FAILED = -8,   // empty frame or bad ADTS; LastDetail(): a CodecResult
    FLV_BAD_AUDIO_CODEC = -9,      // format other than 7, 8, 10 (PCM) or a field out of range
    FLV_BAD_ENCRYPTION = -10,      // LastDetail(): a CryptoResult
    FLV_ENCRYPTION_REFUSED = -11,  // media held back after a refused SetEncryption
    FLV_ENCRYPT_FAILED = -12,      // the cipher failed on a body
    FLV_HANDLER_FAILED = -13,      // the owner refused a media body
};

// The log text for a result, as the owner writes it.
const char* flv_result_text(int result);

struct FlvBodies;

class FlvMux {
  public:
    enum DataType { DATA_VIDEO = 0, DATA_AUDIO = 1, DATA_SCRIPT = 2, DATA_STATUS = 3 };
    enum ScriptType { SCRIPT_PRE_COMPLETE = 0, SCRIPT_VOD_COMPLETE = 1 };
    enum Status { STATUS_VIDEO_FORMAT_CHANGED = 0 };
    // The relay and the storage client pass their own mode; both get the same bodies.
    enum Mode { MODE_RTMP = 0, MODE_STORAGE = 1 };

    // A handler returns 0 when it took the body, negative when it could not
    // (the muxer then reports FLV_HANDLER_FAILED and will resend a sequence
    // header it could not deliver).
    using DataHandler = int (*)(void* param, DataType type, const char* data, size_t len,
                                uint32_t timestamp);
    using StatusHandler = void (*)(void* param, Status status);

    FlvMux(Mode mode, void* param, DataHandler data_handler, StatusHandler status_handler);

    // Both empty: no encryption. Otherwise both must be base64 of exactly
    // 16 bytes; a refused pair also holds back all media until a valid pair
    // (or none) is set, so nothing goes out in clear that was meant not to.
    int SetEncryption(const std::string& key_b64, const std::string& iv_b64);
    bool Encrypted() const { return encrypt_; }
    const uint8_t* GetKey() const { return encrypt_ ? key_.key : nullptr; }
    const uint8_t* GetIv() const { return encrypt_ ? key_.iv : nullptr; }

    // Refuses formats other than G.711 and AAC (PCM has no FLV label the
    // cloud plays) and fields out of range; a refused call leaves no codec set.
    int SetAudioCodec(AudioFormat format, AudioBit bit, AudioChannel channel, AudioRate rate,
                      AudioAdditionalRate additional_rate);
    // The next media call first sends a metadata body with this duration.
    void SetMetadata(double duration);

    // format: 0 H.264, 1 H.265; data: one Annex-B access unit.
    int SendVideo(int format, int key_frame, const char* data, uint32_t len, uint32_t timestamp);
    // data: one AAC frame (with or without its ADTS header) or G.711 samples.
    int SendAudio(const char* data, uint32_t len, uint32_t timestamp);
    int SendScript(ScriptType type);

    // The same three, returning the bodies instead of calling the data
    // handler: the metadata, sequence-header and media bodies this call
    // makes, in order, in *out (cleared first). A clear media body points
    // into `data`, which must stay unchanged while *out is used; its tag
    // header and NAL length prefixes are in out's arena. An encrypted body
    // is built whole in the arena (the cipher needs its bytes in one place).
    int SendVideo(int format, int key_frame, const char* data, uint32_t len, uint32_t timestamp,
                  FlvBodies* out);
    int SendAudio(const char* data, uint32_t len, uint32_t timestamp, FlvBodies* out);
    int SendScript(ScriptType type, FlvBodies* out);

    // The codec or crypto result behind the last failure, 0 when none.
    int LastDetail() const { return detail_; }
    int VideoFormat() const { return video_format_; }

  private:
    struct AccessUnit;

    int Emit(DataType type, std::vector<uint8_t>* body, size_t encrypt_from, uint32_t timestamp);
    int SendMetadataIfDue();
    int ParseAccessUnit(const uint8_t* data, size_t len, AccessUnit* au);
    int BuildFrameBody(const AccessUnit& au);
    void FramePieces(const AccessUnit& au, uint32_t timestamp);
    int Precheck();
    int DoVideo(int format, int key_frame, const char* data, uint32_t len, uint32_t timestamp);
    int DoAudio(const char* data, uint32_t len, uint32_t timestamp);
    int DoScript(ScriptType type);

    void* param_;
    DataHandler data_handler_;
    StatusHandler status_handler_;

    double duration_ = 0;
    bool metadata_sent_ = false;

    int video_format_ = 0;
    std::vector<uint8_t> video_record_;  // clear decoder configuration record
    bool video_record_sent_ = false;

    AudioFormat audio_format_ = AUDIO_FORMAT_AAC;
    AudioBit audio_bit_ = AUDIO_BIT_16;
    AudioChannel audio_channel_ = AUDIO_CHANNEL_MONO;
    AudioRate audio_rate_ = AUDIO_RATE_44K;
    AudioAdditionalRate audio_add_rate_ = AUDIO_ADD_RATE_8000;
    bool audio_codec_set_ = false;
    std::vector<uint8_t> audio_config_;  // last sequence-header configuration sent
    bool audio_config_sent_ = false;

    MediaKey key_;
    bool encrypt_ = false;
    bool encryption_refused_ = false;

    int detail_ = 0;
    std::vector<uint8_t> body_;  // reused for every body
    FlvBodies* out_ = nullptr;   // set during a call that returns its bodies
};

// What one muxer call made: bodies in order, each a run of pieces.
struct FlvBodies {
    struct Body {
        FlvMux::DataType type = FlvMux::DATA_VIDEO;
        uint32_t timestamp = 0;
        size_t first = 0;  // index of its first piece
        size_t count = 0;
        size_t length = 0;
    };
    std::vector<Body> bodies;
    IoPieces pieces;

    void Clear() {
        bodies.clear();
        pieces.Clear();
    }
};

// A body received from the server on the intercom downlink: G.711 or AAC.
// An AAC configuration body carries its AudioSpecificConfig, from which the
// rate index and channels are taken; the header's bits give the sample size.
class FlvTagBodyAudioDataParse {
  public:
    enum Type { TYPE_CONFIG = 0, TYPE_DATA = 1 };

    // key and iv (16 bytes each) both set: the body is decrypted first and
    // must be whole blocks with valid padding. Returns FLV_OK or
    // FLV_AUDIO_PARSE_FAILED with LastDetail() a CryptoResult or CodecResult.
    int AddData(const char* data, size_t len, const uint8_t* key, const uint8_t* iv);

    int GetType() const { return type_; }
    const char* GetData() const {
        return body_.size() < 2 ? nullptr : reinterpret_cast<const char*>(body_.data()) + 2;
    }
    size_t GetLen() const { return body_.size() < 2 ? 0 : body_.size() - 2; }
    int GetFormat() const { return format_; }
    int GetBit() const { return bit_; }
    int GetChannel() const { return channel_; }
    int GetAddRate() const { return add_rate_; }
    int LastDetail() const { return detail_; }

  private:
    std::vector<uint8_t> body_;
    int type_ = TYPE_DATA;
    int format_ = 0;
    int bit_ = 0;
    int channel_ = 0;
    int add_rate_ = 0;
    int detail_ = 0;
};

}  // namespace kestrel
