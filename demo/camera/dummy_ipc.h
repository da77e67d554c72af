// The simulated camera as the demo's SDK glue sees it: start it once with the
// sinks that receive its media, pictures, property reports and record lists,
// then drive each camera (found by its identity) with the dummy_ipc_* calls.
// Every int-returning call gives 0 on success and -1 on failure.
#pragma once

#include <kestrel/ks_api.h>
#include <stdint.h>

// Length of one stream name buffer in a camera record (256 characters + NUL).
#define DUMMY_IPC_NAME_LEN 257
// Length of the file name in a camera request (NUL-terminated).
#define DUMMY_IPC_FILE_NAME_LEN 260
// Source kind that selects the names given in the camera record.
#define DUMMY_IPC_SOURCE_NAMED 2

typedef void (*dummy_ipc_video_sink)(int service_id, ks_video_format_e format, unsigned char* p,
                                     unsigned len, unsigned timestamp, int key_frame);
typedef void (*dummy_ipc_audio_sink)(int service_id, ks_audio_format_e format, unsigned char* p,
                                     unsigned len, unsigned timestamp);
typedef void (*dummy_ipc_picture_sink)(const ks_device_auth_s* auth, unsigned char* p,
                                       unsigned len);
typedef int (*dummy_ipc_property_sink)(const ks_device_auth_s* auth, const char* json);
typedef int (*dummy_ipc_record_sink)(int service_id,
                                     const ks_query_record_response_param_s* response);
// A playback has handed over its last frame.
typedef void (*dummy_ipc_end_sink)(int service_id);

// One camera.
typedef struct {
    int live_source;  // DUMMY_IPC_SOURCE_NAMED: live_names, else defaults
    const char (*live_names)[DUMMY_IPC_NAME_LEN];  // [0] main stream, [1] sub-stream
    int vod_source;  // DUMMY_IPC_SOURCE_NAMED: vod_names, else defaults
    const char (*vod_names)[DUMMY_IPC_NAME_LEN];  // the two playback files, in timeline order
    const char* picture;                          // null: "1.jpg"
    unsigned picture_interval;                    // seconds between periodic pictures (at least 10)
    const ks_device_auth_s* auth;                 // the camera's identity (copied)
} dummy_ipc_camera_s;

typedef struct {
    unsigned num;  // cameras in `cameras`
    const dummy_ipc_camera_s* cameras;
    dummy_ipc_video_sink video;
    dummy_ipc_audio_sink audio;
    dummy_ipc_picture_sink picture;
    dummy_ipc_property_sink property;
    dummy_ipc_record_sink record;
    dummy_ipc_end_sink end;  // optional
} dummy_ipc_config_s;

// What the SDK glue asks of one stream.
typedef struct {
    int service_id;
    int stream;        // live: 0 main stream, other = sub-stream
    uint32_t seek_ms;  // playback: position in ms
    uint32_t reserved;
    uint32_t speed;                           // playback: 1..16
    uint32_t key_only;                        // playback: non-zero = key frames only
    char file_name[DUMMY_IPC_FILE_NAME_LEN];  // playback by file
} dummy_ipc_request_s;

// Live operations (dummy_ipc_live).
enum { DUMMY_IPC_LIVE_START = 0, DUMMY_IPC_LIVE_STOP = 3, DUMMY_IPC_LIVE_KEY_FRAME = 5 };
// Playback operations (dummy_ipc_vod_by_utc, dummy_ipc_vod_by_file).
enum {
    DUMMY_IPC_VOD_PAUSE = 1,
    DUMMY_IPC_VOD_RESUME = 2,
    DUMMY_IPC_VOD_STOP = 3,
    DUMMY_IPC_VOD_SEEK = 4,
    DUMMY_IPC_VOD_SET_PARAM = 6,
};

int dummy_ipc_start(const dummy_ipc_config_s* config);
void dummy_ipc_stop(void);

int dummy_ipc_live(const ks_device_auth_s* auth, int op, const dummy_ipc_request_s* request);
int dummy_ipc_live_get_media_param(const ks_device_auth_s* auth, int service_id,
                                   ks_audio_param_s* audio, ks_video_param_s* video);
int dummy_ipc_vod_get_media_param(const ks_device_auth_s* auth, ks_video_param_s* video,
                                  ks_audio_param_s* audio);
int dummy_ipc_vod_by_utc(const ks_device_auth_s* auth, int op, const dummy_ipc_request_s* request);
int dummy_ipc_vod_by_file(const ks_device_auth_s* auth, int op, const dummy_ipc_request_s* request);
void dummy_ipc_report_vod_list(const ks_device_auth_s* auth, const ks_query_record_param_s* query);
int dummy_ipc_set_property(const ks_device_auth_s* auth, const char* name, const char* value);
void dummy_ipc_get_all_property(const ks_device_auth_s* auth);
// Hands out the camera's picture buffer itself (no copy); it stays valid until
// dummy_ipc_stop.
int dummy_ipc_capture(const ks_device_auth_s* auth, unsigned char** p, unsigned* len);
