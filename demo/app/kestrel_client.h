// The demo's side of the SDK: starts and stops it, answers its callbacks by
// driving the simulated camera, and feeds the camera's media, pictures and
// record lists back into it. A per-device table remembers which SDK service
// id is attached to which stream of the camera.
#pragma once

#include <kestrel/ks_api.h>

int kestrel_client_init(unsigned device_type, int log_level);
void kestrel_client_destroy(void);

// The devices the callbacks serve: nvr 0 is one camera with identity `auth`;
// otherwise the `num` identities of `list` (num 0 or a null list: 0, nothing
// set). -1 when an allocation fails.
int kestrel_client_assistant_start(int nvr, const ks_device_auth_s* auth, unsigned num,
                                   const ks_device_auth_s* list);
void kestrel_client_assistant_stop(void);

// Sinks given to the simulated camera.
// The playback of service_id has sent its last frame: the relay closes the
// stream once it has written everything queued before it.
void kestrel_client_playback_end(int service_id);
void kestrel_client_video_handler(int service_id, ks_video_format_e format, unsigned char* p,
                                  unsigned len, unsigned timestamp, int key_frame);
void kestrel_client_audio_handler(int service_id, ks_audio_format_e format, unsigned char* p,
                                  unsigned len, unsigned timestamp);
void kestrel_client_picture_handler(const ks_device_auth_s* auth, unsigned char* p, unsigned len);
int kestrel_client_query_record(int service_id, const ks_query_record_response_param_s* response);

// Console control (not used by main): reads "-l N", "-c N" or "-s N" from
// standard input and calls ks_control accordingly.
void kestrel_client_control_test(void);

// The SDK callbacks (given to ks_init; exposed for tests).
int start_push_streaming_cb(const ks_device_auth_s* auth,
                            const ks_start_push_stream_param_s* param);
int stop_push_streaming_cb(const ks_device_auth_s* auth, const ks_stop_push_stream_param_s* param);
int on_push_streaming_cmd_cb(const ks_device_auth_s* auth,
                             const ks_on_push_stream_cmd_param_s* param);
int on_push_streaming_data_cb(const ks_device_auth_s* auth,
                              const ks_on_push_streaming_data_param_s* param);
void query_storage_record_cb(const ks_device_auth_s* auth, const ks_query_record_param_s* param);
int trigger_picture_cb(const ks_device_auth_s* auth, const ks_trigger_picture_param_s* param);
int cloud_event_cb(const ks_device_auth_s* auth, const ks_cloud_event_param_s* param);
int feature_check_cb(void);
