// kestrel device SDK: the whole public interface.
//
// The application calls ks_init once, forwards every cloud message its cloud link
// receives through ks_message_adapter, answers the SDK's callbacks (start/stop a
// stream, send frames, take a snapshot, list records) and calls ks_destroy last.
// Records passed into the SDK are copied before the call returns; records passed
// to callbacks are the SDK's own and valid only during the call.
//
// Plain C99 as well as C++: firmware written in C includes it as it is.
#pragma once

#include <stdint.h>

// In C++ every enumeration has int as its fixed underlying type, so a value the
// SDK does not know is still a valid value to read and refuse. C has no such
// syntax; there the Linux ABIs give each enumeration below the size of an int
// (all values are small and non-negative), which the compile test checks.
#ifdef __cplusplus
#define KS_ENUM_INT : int
#else
#define KS_ENUM_INT
#endif

#ifdef __cplusplus
extern "C" {
#endif
// What this header declares is what a shared library exports.
#pragma GCC visibility push(default)

// ---------------------------------------------------------------------------
// Enumerations (32-bit int values in records and arguments).
// ---------------------------------------------------------------------------

typedef enum KS_ENUM_INT {
    KS_VIDEO_FORMAT_H264 = 0,
    KS_VIDEO_FORMAT_H265 = 1,
} ks_video_format_e;

typedef enum KS_ENUM_INT {
    KS_AUDIO_FORMAT_PCM = 0,
    KS_AUDIO_FORMAT_G711A = 1,
    KS_AUDIO_FORMAT_AAC = 2,
    KS_AUDIO_FORMAT_G711U = 3,
} ks_audio_format_e;

// ks_audio_param_s::sample_rate holds the MPEG-4 sampling-frequency index.
enum KS_ENUM_INT {
    KS_AUDIO_SAMPLE_RATE_96000 = 0,
    KS_AUDIO_SAMPLE_RATE_88200 = 1,
    KS_AUDIO_SAMPLE_RATE_64000 = 2,
    KS_AUDIO_SAMPLE_RATE_48000 = 3,
    KS_AUDIO_SAMPLE_RATE_44100 = 4,
    KS_AUDIO_SAMPLE_RATE_32000 = 5,
    KS_AUDIO_SAMPLE_RATE_24000 = 6,
    KS_AUDIO_SAMPLE_RATE_22050 = 7,
    KS_AUDIO_SAMPLE_RATE_16000 = 8,
    KS_AUDIO_SAMPLE_RATE_12000 = 9,
    KS_AUDIO_SAMPLE_RATE_11025 = 10,
    KS_AUDIO_SAMPLE_RATE_8000 = 11,
};
// ks_audio_param_s::bits_per_sample and ::channel codes.
enum KS_ENUM_INT { KS_AUDIO_BITS_8 = 0, KS_AUDIO_BITS_16 = 1 };
enum KS_ENUM_INT { KS_AUDIO_CHANNEL_MONO = 0, KS_AUDIO_CHANNEL_STEREO = 1 };

// The kind of stream named in start and stop parameters. 1 and 5 are not used.
typedef enum KS_ENUM_INT {
    KS_STREAM_CMD_LIVE = 0,  // also a direct-to-storage recording
    KS_STREAM_CMD_STORAGE_RECORD_BY_UTC_TIME = 2,
    KS_STREAM_CMD_PRE_EVENT_RECORD = 3,
    KS_STREAM_CMD_VOICE = 4,
    KS_STREAM_CMD_STORAGE_RECORD_BY_FILE = 6,
} ks_stream_cmd_type_e;

// Commands the SDK gives a running stream (on_push_streaming_cmd_cb).
typedef enum KS_ENUM_INT {
    KS_STORAGE_RECORD_START = 0,      // playback relay ready: start sending
    KS_STORAGE_RECORD_PAUSE = 1,      // pause the playback
    KS_STORAGE_RECORD_UNPAUSE = 2,    // resume the playback
    KS_STORAGE_RECORD_SEEK = 3,       // jump to `timestamp` ms from the start of the record
    KS_STORAGE_RECORD_SET_PARAM = 5,  // `speed` (integer factor) and `key_only` (0/1)
    KS_LIVE_REQUEST_I_FRAME = 6,      // next video frame must be a key frame; resend config
} ks_on_push_stream_cmd_type_e;

// What the application tells a running stream (ks_stream_send_cmd).
typedef enum KS_ENUM_INT {
    KS_STORAGE_RECORD_COMPLETE = 0,    // the playback file has been sent completely
    KS_PRE_EVENT_RECORD_COMPLETE = 1,  // the pre-event history has been sent completely
} ks_push_stream_cmd_e;
// The name older applications use for it.
typedef ks_push_stream_cmd_e ks_push_stream_cmd_s;

typedef enum KS_ENUM_INT {
    KS_CONTROL_LOG_LEVEL = 0,          // (int level)
    KS_CONTROL_STREAM_AUTO_CHECK = 1,  // (int on)
    KS_CONTROL_STREAM_AUTO_SAVE = 2,   // (int on, const char* path when on)
    // (const char* pem): a PEM trust anchor for storage uploads besides the
    // built-in root; null or "" removes it. Numbered apart from the stream
    // controls, so an application built against an older header that passes
    // 3 still gets "not support" rather than a read of a missing argument.
    KS_CONTROL_STORAGE_TRUST_ANCHOR = 100,
} ks_control_type_e;

typedef enum KS_ENUM_INT {
    KS_MESSAGE_ADAPTER_TYPE_TSL_SERVICE = 1,  // a thing-model service call
    KS_MESSAGE_ADAPTER_TYPE_KESTREL = 2,      // a message on one of the SDK's own topics
    KS_MESSAGE_ADAPTER_TYPE_CONNECTED = 3,    // the device (or a sub-device) is online
} ks_message_adapter_type_e;

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

// A device identity. dev_id 0 is the device itself; 1..128 are the cameras of a
// recorder. Strings are NUL-terminated and stay owned by the caller.
typedef struct {
    int dev_id;
    char* product_key;
    char* device_name;
    char* device_secret;
} ks_device_auth_s;

typedef struct {
    uint32_t device_type;             // 0 = IPC (dev_id 0 only); other = NVR
    int log_level;                    // 2 ERROR .. 6 VERBOSE
    int log_dest;                     // 0 keep console, 1 console at log_level, 2 logger_cb
    uint32_t vod_solo_max;            // playback sessions per device
    uint32_t vod_all_max;             // playback sessions in total
    uint32_t picture_store_size_max;  // bytes of picture memory
    uint32_t process_parallel;        // picture uploads at once (at most 8)
    int stream_check_on;              // non-zero: stream-quality checks on
    int stream_auto_save_on;          // non-zero: save every pushed stream to files
    char stream_auto_save_path[36];   // directory ending in "/"
} ks_init_config_s;

typedef struct {
    int reserved;  // copied, not used
} ks_init_system_s;

typedef struct {
    int service_id;
    ks_stream_cmd_type_e stream_cmd_type;
    int stream_type;         // live, pre-event: encoder stream
    int pre_time;            // pre-event: seconds of history wanted
    uint32_t begin_time;     // playback by time: UTC seconds
    uint32_t end_time;       // playback by time: UTC seconds
    int seek_time;           // playback by time: seek position in seconds
    int record_type;         // playback by time: record type
    int record_stream_type;  // direct-to-storage recording: stream type
    char* file_name;         // playback by file: the record file (the SDK's copy)
} ks_start_push_stream_param_s;

typedef struct {
    int service_id;
    ks_stream_cmd_type_e stream_cmd_type;
} ks_stop_push_stream_param_s;

typedef struct {
    int service_id;
    ks_on_push_stream_cmd_type_e cmd_type;
    uint32_t timestamp;
    uint32_t speed;
    uint32_t key_only;
} ks_on_push_stream_cmd_param_s;

typedef struct {
    ks_audio_format_e format;
    int sample_rate;      // KS_AUDIO_SAMPLE_RATE_*
    int bits_per_sample;  // KS_AUDIO_BITS_*
    int channel;          // KS_AUDIO_CHANNEL_*
} ks_audio_param_s;

typedef struct {
    ks_video_format_e format;
    uint32_t fps;
    uint32_t key_frame_interval;  // ms
    uint32_t duration;            // seconds of a playback file, 0 for live
} ks_video_param_s;

// One audio frame of a voice intercom, from the cloud to the application.
typedef struct {
    int service_id;
    uint32_t len;
    uint32_t timestamp;  // ms
    uint32_t reserved;   // always 0
    const ks_audio_param_s* audio_param;
    const unsigned char* p;
} ks_on_push_streaming_data_param_s;

typedef struct {
    int service_id;   // the answer must carry it
    int common_type;  // 0 records in a time range, 1 days of a month with records
    int record_type;
    uint32_t begin_time;  // UTC seconds
    uint32_t end_time;    // UTC seconds
    int num;              // maximum entries wanted (0: no size asked)
    const char* month;    // common_type 1: the month as the cloud sent it
} ks_query_record_param_s;

typedef struct {
    uint32_t start_time;  // UTC seconds
    uint32_t stop_time;   // UTC seconds
    uint32_t file_size;   // bytes
    char* file_name;
    int record_type;
} ks_query_record_response_item_s;

typedef struct {
    int num;                                 // entries in infos
    ks_query_record_response_item_s* infos;  // common_type 0
    int* days;                               // common_type 1: 31 flags, day 1 first
} ks_query_record_response_param_s;

typedef struct {
    int service_id;
} ks_trigger_picture_param_s;

typedef struct {
    int event_type;  // 0 mask event, 1 file download, 2 file upload
    int download_file_type;
    char* download_file_name;
    char* download_url;
    int upload_file_type;
    char* upload_file_name;
    char* upload_url;
} ks_cloud_event_param_s;

typedef struct {
    uint32_t bitrate_kbps;
    uint32_t reserved;
    const ks_video_param_s* video;
    const ks_audio_param_s* audio;
} ks_stream_send_config_param_s;

typedef struct {
    int type;  // 0 video, 1 audio
    uint32_t len;
    uint32_t timestamp;  // ms
    unsigned char* p;
    ks_video_format_e video_format;
    int key_frame;                   // non-zero for a key frame
    ks_audio_format_e audio_format;  // carried; the configuration decides the audio format
} ks_stream_send_media_param_s;

typedef struct {
    unsigned char* p;  // JPEG
    uint32_t len;
} ks_picture_param_s;

typedef struct {
    int type;
    unsigned char* p;
    uint32_t len;
    const char* addition_string;  // may be null; cut to 1024 bytes
} ks_alarm_image_param_s;

typedef struct {
    int type;
    unsigned char* p;
    uint32_t len;
    const char* addition_string;
    uint32_t addition_string_len;  // cut to 2048
} ks_intelligent_alarm_param_s;

typedef struct {
    int type;
    const char* algorithm;  // null is taken as ""
    const char* product_key;
    const char* device_name;
    const char* data;
} ks_intelligent_alarm_gateway_item_s;

// A text is used only when both its pointer and its length are non-zero; it is
// the pointer's text up to that length or its first NUL, whichever comes first.
typedef struct {
    ks_message_adapter_type_e type;
    const char* msg_id;
    uint32_t msg_id_len;
    const char* service;  // service name or topic
    uint32_t service_len;
    const char* payload;
    uint32_t payload_len;
} ks_message_adapter_param_s;

// One MQTT message for the application to publish on its cloud connection
// (message_publish_cb). C++ code may also call it
// kestrel::MessageService::MessagePublishParam.
typedef struct {
    const char* topic;
    const char* message;  // payload text, NUL-terminated
    int qos;              // 0 or 1
    int dev_id;
} ks_message_publish_param_s;

// Every callback runs on the SDK's single job thread, in the order the SDK
// queued it, except logger_cb (any thread), on_push_streaming_data_cb (the voice
// session's thread) and feature_check_cb (the thread calling ks_init).
typedef struct {
    void (*message_publish_cb)(const ks_message_publish_param_s* param);
    void (*logger_cb)(int level, const char* file, int line, const char* fmt, ...);
    int (*start_push_streaming_cb)(const ks_device_auth_s* auth,
                                   const ks_start_push_stream_param_s* param);
    int (*stop_push_streaming_cb)(const ks_device_auth_s* auth,
                                  const ks_stop_push_stream_param_s* param);
    int (*on_push_streaming_cmd_cb)(const ks_device_auth_s* auth,
                                    const ks_on_push_stream_cmd_param_s* param);
    int (*on_push_streaming_data_cb)(const ks_device_auth_s* auth,
                                     const ks_on_push_streaming_data_param_s* param);
    void (*query_storage_record_cb)(const ks_device_auth_s* auth,
                                    const ks_query_record_param_s* param);
    int (*trigger_picture_cb)(const ks_device_auth_s* auth,
                              const ks_trigger_picture_param_s* param);
    int (*cloud_event_cb)(const ks_device_auth_s* auth,
                          const ks_cloud_event_param_s* param);  // optional
    int (*feature_check_cb)(void);  // 10000 announces pre-event recording support
} ks_init_callback_s;

// ---------------------------------------------------------------------------
// Functions: 0 (or a non-negative id) on success, negative on failure.
// ---------------------------------------------------------------------------

// ks_stream_send_media: the stream exists but its queue refused the frame (full, or the
// frame is larger than a queue can hold); the frame is dropped and counted. Other
// failures, "not initialised" among them, return -1.
#define KS_ERR_FRAME_DROPPED (-2)

int ks_init(const ks_init_config_s* config, const ks_init_callback_s* callbacks,
            const ks_init_system_s* system);
int ks_destroy(void);

// Before ks_init (or after ks_destroy): how many sockets the SDK may hold at
// once, 255 unless set. A recorder with many channels (live, pre-event and
// storage streams on each, besides name look-ups and uploads) raises it; the
// process's descriptor limit (RLIMIT_NOFILE) must allow as many. 0 when taken;
// -1 for 0, for more than 1048576, or while the SDK is initialised.
int ks_set_max_sockets(uint32_t max_sockets);

int ks_message_adapter(const ks_device_auth_s* auth, const ks_message_adapter_param_s* param);

int ks_stream_send_config(int service_id, const ks_stream_send_config_param_s* param);
int ks_stream_send_media(int service_id, const ks_stream_send_media_param_s* param);
int ks_stream_send_cmd(int service_id, ks_push_stream_cmd_e cmd);

int ks_control(int type, ...);

int ks_post_trigger_picture(int service_id, const ks_picture_param_s* param);
int ks_post_alarm_image(const ks_device_auth_s* auth, const ks_alarm_image_param_s* param,
                        int* service_id);
int ks_post_intelligent_alarm(const ks_device_auth_s* auth,
                              const ks_intelligent_alarm_param_s* param, int* service_id);
int ks_post_intelligent_alarm_gateway(int dev_id, const unsigned char* p, unsigned len,
                                      unsigned count,
                                      const ks_intelligent_alarm_gateway_item_s* items,
                                      int* service_id);
int ks_post_query_record(int service_id, const ks_query_record_response_param_s* param);

#pragma GCC visibility pop
#ifdef __cplusplus
}  // extern "C"
#endif
