#include "demo/app/kestrel_client.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <mutex>
#include <new>

#include "demo/app/device_auth_list.h"
#include "demo/app/tether_client.h"
#include "demo/app/voice_file.h"
#include "demo/camera/dummy_ipc.h"

namespace {

constexpr uint32_t kBitrateKbps = 1000;
constexpr size_t kFileNameMax = 256;

// Service ids attached to one device's streams; 0 = free. Written on the SDK's
// job thread, read by the camera's audio thread as well.
struct ServiceRow {
    std::atomic<int> live_main{0};
    std::atomic<int> live_sub{0};
    std::atomic<int> vod_by_time{0};
    std::atomic<int> vod_by_file{0};
    std::atomic<int> voice{0};
    // The camera's main stream runs for the voice session alone (no live
    // stream of the device does), so the intercom still hears the microphone.
    std::atomic<bool> voice_feed{false};
};

std::atomic<int> g_initialised{0};

// The device list and its service table change only in assistant start/stop;
// the mutex makes that change safe against callbacks already under way.
std::mutex g_list_mutex;
ks_device_auth_s* g_devices = nullptr;
ServiceRow* g_rows = nullptr;
unsigned g_device_count = 0;

// The row of the device named by `auth`, or null after printing "No ipc".
ServiceRow* FindRow(const ks_device_auth_s* auth) {
    std::lock_guard<std::mutex> lock(g_list_mutex);
    unsigned i = ksDeviceAuthCompares(auth, g_device_count, g_devices);
    if (i >= g_device_count) {
        printf("No ipc\n");
        return nullptr;
    }
    return &g_rows[i];
}

dummy_ipc_request_s Request(int service_id) {
    dummy_ipc_request_s r;
    memset(&r, 0, sizeof(r));
    r.service_id = service_id;
    return r;
}

bool IsVoiceFeed(int service_id) {
    std::lock_guard<std::mutex> lock(g_list_mutex);
    for (unsigned i = 0; i < g_device_count; ++i)
        if (g_rows[i].voice_feed && g_rows[i].voice == service_id)
            return true;
    return false;
}

// Runs the camera's main stream for the voice session when nothing else
// does; a live main stream that starts later takes it over (its audio is
// passed on to the voice session) and hands it back when it stops.
void StartVoiceFeed(const ks_device_auth_s* auth, ServiceRow* row) {
    int voice = row->voice;
    if (voice <= 0 || row->live_main > 0 || row->voice_feed)
        return;
    dummy_ipc_request_s request = Request(voice);
    request.stream = 0;
    if (dummy_ipc_live(auth, DUMMY_IPC_LIVE_START, &request) < 0) {
        printf("Start microphone for voice failed, service id = %d\n", voice);
        return;
    }
    row->voice_feed = true;
}

void StopVoiceFeed(const ks_device_auth_s* auth, ServiceRow* row, int voice) {
    if (!row->voice_feed)
        return;
    row->voice_feed = false;
    dummy_ipc_request_s request = Request(voice);
    dummy_ipc_live(auth, DUMMY_IPC_LIVE_STOP, &request);
}

uint32_t SeekMs(int seconds) {
    if (seconds <= 0)
        return 0;
    int64_t ms = static_cast<int64_t>(seconds) * 1000;
    return ms > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ms);
}

void SendConfig(int service_id, const ks_video_param_s& video, const ks_audio_param_s& audio) {
    ks_stream_send_config_param_s config;
    memset(&config, 0, sizeof(config));
    config.bitrate_kbps = kBitrateKbps;
    config.video = &video;
    config.audio = &audio;
    ks_stream_send_config(service_id, &config);
}

// Sends the media parameters of the stream that serves `service_id`.
void SendStreamConfig(const ks_device_auth_s* auth, int service_id, bool live) {
    ks_video_param_s video;
    ks_audio_param_s audio;
    memset(&video, 0, sizeof(video));
    memset(&audio, 0, sizeof(audio));
    int ret = live ? dummy_ipc_live_get_media_param(auth, service_id, &audio, &video)
                   : dummy_ipc_vod_get_media_param(auth, &video, &audio);
    if (ret < 0) {
        // Parameters the camera does not have would only mislead the receiver.
        printf("Get media param failed, service id = %d\n", service_id);
        return;
    }
    SendConfig(service_id, video, audio);
}

void SendAudio(int service_id, ks_audio_format_e format, unsigned char* p, unsigned len,
               unsigned timestamp) {
    ks_stream_send_media_param_s media;
    memset(&media, 0, sizeof(media));
    media.type = 1;
    media.len = len;
    media.timestamp = timestamp;
    media.p = p;
    media.audio_format = format;
    ks_stream_send_media(service_id, &media);
}

const char* Text(const char* s) {
    return s ? s : "";
}

}  // namespace

int kestrel_client_init(unsigned device_type, int log_level) {
    printf("before init kestrel\n");
    if (g_initialised) {
        printf("kestrel_demo_init already init\n");
        return 0;
    }
    ks_init_config_s config;
    memset(&config, 0, sizeof(config));
    config.device_type = device_type;
    config.log_level = log_level;
    config.log_dest = 1;
    config.vod_solo_max = 1;
    config.vod_all_max = 4;
    config.picture_store_size_max = 1048576;
    config.process_parallel = 2;
    config.stream_check_on = 1;

    ks_init_callback_s callbacks;
    memset(&callbacks, 0, sizeof(callbacks));
    callbacks.message_publish_cb = tether_message_publish_cb;
    callbacks.start_push_streaming_cb = start_push_streaming_cb;
    callbacks.stop_push_streaming_cb = stop_push_streaming_cb;
    callbacks.on_push_streaming_cmd_cb = on_push_streaming_cmd_cb;
    callbacks.on_push_streaming_data_cb = on_push_streaming_data_cb;
    callbacks.query_storage_record_cb = query_storage_record_cb;
    callbacks.trigger_picture_cb = trigger_picture_cb;
    callbacks.cloud_event_cb = cloud_event_cb;
    callbacks.feature_check_cb = feature_check_cb;

    ks_init_system_s system;
    memset(&system, 0, sizeof(system));
    int ret = ks_init(&config, &callbacks, &system);
    if (ret < 0) {
        printf("ks_init failed, result = %d\n", ret);
        return -1;
    }
    g_initialised = 1;
    printf("after init kestrel\n");
    return 0;
}

void kestrel_client_destroy(void) {
    printf("before destroy kestrel\n");
    if (!g_initialised) {
        printf("kestrel_demo_destroy is not init\n");
        return;
    }
    ks_destroy();
    g_initialised = 0;
    printf("after destroy kestrel\n");
}

int kestrel_client_assistant_start(int nvr, const ks_device_auth_s* auth, unsigned num,
                                   const ks_device_auth_s* list) {
    const ks_device_auth_s* source = nvr ? list : auth;
    unsigned count = nvr ? num : 1;
    if (!source || count == 0)
        return nvr ? 0 : -1;
    ks_device_auth_s* devices = ksDeviceAuthCopy(source, count);
    ServiceRow* rows = devices ? new (std::nothrow) ServiceRow[count] : nullptr;
    if (!rows) {
        ksDeviceAuthDelete(devices, count);
        return -1;
    }
    std::lock_guard<std::mutex> lock(g_list_mutex);
    ksDeviceAuthDelete(g_devices, g_device_count);
    delete[] g_rows;
    g_devices = devices;
    g_rows = rows;
    g_device_count = count;
    return 0;
}

void kestrel_client_assistant_stop(void) {
    std::lock_guard<std::mutex> lock(g_list_mutex);
    ksDeviceAuthDelete(g_devices, g_device_count);
    delete[] g_rows;
    g_devices = nullptr;
    g_rows = nullptr;
    g_device_count = 0;
}

void kestrel_client_playback_end(int service_id) {
    printf("Playback complete, service id = %d\n", service_id);
    ks_stream_send_cmd(service_id, KS_STORAGE_RECORD_COMPLETE);
}

void kestrel_client_video_handler(int service_id, ks_video_format_e format, unsigned char* p,
                                  unsigned len, unsigned timestamp, int key_frame) {
    if (IsVoiceFeed(service_id))
        return;  // the intercom carries the microphone only
    ks_stream_send_media_param_s media;
    memset(&media, 0, sizeof(media));
    media.type = 0;
    media.len = len;
    media.timestamp = timestamp;
    media.p = p;
    media.video_format = format;
    media.key_frame = key_frame;
    ks_stream_send_media(service_id, &media);
}

void kestrel_client_audio_handler(int service_id, ks_audio_format_e format, unsigned char* p,
                                  unsigned len, unsigned timestamp) {
    SendAudio(service_id, format, p, len, timestamp);
    if (service_id <= 0)
        return;
    // The camera's microphone also feeds a running voice intercom of the
    // device whose live stream this is. Service ids are unique, so at most
    // one device streams this one.
    int voice = 0;
    {
        std::lock_guard<std::mutex> lock(g_list_mutex);
        for (unsigned i = 0; i < g_device_count; ++i) {
            const ServiceRow& row = g_rows[i];
            if (row.live_main == service_id || row.live_sub == service_id) {
                voice = row.voice;
                break;
            }
        }
    }
    if (voice > 0)
        SendAudio(voice, format, p, len, timestamp);
}

void kestrel_client_picture_handler(const ks_device_auth_s* auth, unsigned char* p, unsigned len) {
    ks_intelligent_alarm_param_s alarm;
    memset(&alarm, 0, sizeof(alarm));
    alarm.type = 1;
    alarm.p = p;
    alarm.len = len;
    alarm.addition_string = "test";
    alarm.addition_string_len = 4;
    int id = -1;
    int ret = ks_post_intelligent_alarm(auth, &alarm, &id);
    if (ret < 0) {
        printf("ks_post_intelligent_alarm failed, ret = %d\n", ret);
        return;
    }
    printf("ks_post_intelligent_alarm, service id = %d\n", id);
}

int kestrel_client_query_record(int service_id, const ks_query_record_response_param_s* response) {
    return ks_post_query_record(service_id, response);
}

void kestrel_client_control_test(void) {
    char line[128];
    if (!fgets(line, sizeof(line), stdin))
        return;
    char* save = nullptr;
    const char* first = strtok_r(line, " \t\r\n", &save);
    const char* second = strtok_r(nullptr, " \t\r\n", &save);
    if (!first || !second)
        return;
    int n = second[0] - '0';
    if (strcmp(first, "-l") == 0)
        ks_control(KS_CONTROL_LOG_LEVEL, n);
    else if (strcmp(first, "-c") == 0)
        ks_control(KS_CONTROL_STREAM_AUTO_CHECK, n);
    else if (strcmp(first, "-s") == 0)
        ks_control(KS_CONTROL_STREAM_AUTO_SAVE, n, "/tmp/");
}

int start_push_streaming_cb(const ks_device_auth_s* auth,
                            const ks_start_push_stream_param_s* param) {
    if (!param)
        return -1;
    ServiceRow* row = FindRow(auth);
    if (!row)
        return -1;
    const int service_id = param->service_id;
    printf("startPushStreamingCallback:%d %d\n", service_id, param->stream_cmd_type);
    dummy_ipc_request_s request = Request(service_id);
    bool live = true;
    switch (param->stream_cmd_type) {
        case KS_STREAM_CMD_LIVE:
            request.stream = param->stream_type;
            if (dummy_ipc_live(auth, DUMMY_IPC_LIVE_START, &request) < 0) {
                printf("Start live stream failed, service id = %d\n", service_id);
                return -1;
            }
            if (!param->stream_type)
                row->voice_feed = false;  // the live stream took the camera's main stream over
            (param->stream_type ? row->live_sub : row->live_main) = service_id;
            break;
        case KS_STREAM_CMD_STORAGE_RECORD_BY_UTC_TIME:
            printf("Record type: %d\n", param->record_type);
            request.seek_ms = SeekMs(param->seek_time);
            if (dummy_ipc_vod_by_utc(auth, DUMMY_IPC_VOD_SEEK, &request) < 0) {
                printf("Start playback failed, service id = %d\n", service_id);
                return -1;
            }
            row->vod_by_time = service_id;
            live = false;
            break;
        case KS_STREAM_CMD_STORAGE_RECORD_BY_FILE:
            printf("File name: %s\n", Text(param->file_name));
            strncpy(request.file_name, Text(param->file_name), kFileNameMax);
            request.seek_ms = 0;
            if (dummy_ipc_vod_by_file(auth, DUMMY_IPC_VOD_SEEK, &request) < 0) {
                printf("Start playback failed, service id = %d\n", service_id);
                return -1;
            }
            row->vod_by_file = service_id;
            live = false;
            break;
        case KS_STREAM_CMD_VOICE:
            row->voice = service_id;
            StartVoiceFeed(auth, row);
            break;
        default:
            printf("Stream type is not support\n");
            return -1;
    }
    SendStreamConfig(auth, service_id, live);
    return 0;
}

int stop_push_streaming_cb(const ks_device_auth_s* auth, const ks_stop_push_stream_param_s* param) {
    if (!param)
        return -1;
    ServiceRow* row = FindRow(auth);
    if (!row)
        return -1;
    const int service_id = param->service_id;
    printf("stopPushStreamingCallback:%d\n", service_id);
    if (service_id <= 0)
        return 0;  // 0 marks a free slot, never a stream
    dummy_ipc_request_s request = Request(service_id);
    if (row->live_main == service_id || row->live_sub == service_id) {
        (row->live_main == service_id ? row->live_main : row->live_sub) = 0;
        dummy_ipc_live(auth, DUMMY_IPC_LIVE_STOP, &request);
        StartVoiceFeed(auth, row);
    } else if (row->vod_by_time == service_id) {
        row->vod_by_time = 0;
        dummy_ipc_vod_by_utc(auth, DUMMY_IPC_VOD_STOP, &request);
    } else if (row->vod_by_file == service_id) {
        row->vod_by_file = 0;
        dummy_ipc_vod_by_file(auth, DUMMY_IPC_VOD_STOP, &request);
    } else if (row->voice == service_id) {
        StopVoiceFeed(auth, row, service_id);
        row->voice = 0;
        voice_file_close(service_id);
    }
    return 0;
}

int on_push_streaming_cmd_cb(const ks_device_auth_s* auth,
                             const ks_on_push_stream_cmd_param_s* param) {
    if (!param)
        return -1;
    ServiceRow* row = FindRow(auth);
    if (!row)
        return -1;
    const int service_id = param->service_id;
    printf("on_push_streaming_cmd_cb service_id:%d, cmd:%d %d\n", service_id, param->cmd_type,
           param->timestamp);
    auto vod = row->vod_by_time == service_id ? dummy_ipc_vod_by_utc : dummy_ipc_vod_by_file;
    dummy_ipc_request_s request = Request(service_id);
    switch (param->cmd_type) {
        case KS_STORAGE_RECORD_START:
        case KS_STORAGE_RECORD_UNPAUSE:
            vod(auth, DUMMY_IPC_VOD_RESUME, &request);
            break;
        case KS_STORAGE_RECORD_PAUSE:
            vod(auth, DUMMY_IPC_VOD_PAUSE, &request);
            break;
        case KS_STORAGE_RECORD_SEEK:
            request.seek_ms = param->timestamp;
            vod(auth, DUMMY_IPC_VOD_SEEK, &request);
            break;
        case KS_STORAGE_RECORD_SET_PARAM:
            printf("on_push_streaming_cmd_cb set param: %u %u\n", param->key_only, param->speed);
            request.speed = param->speed;
            request.key_only = param->key_only;
            vod(auth, DUMMY_IPC_VOD_SET_PARAM, &request);
            break;
        case KS_LIVE_REQUEST_I_FRAME:
            SendStreamConfig(auth, service_id, true);
            dummy_ipc_live(auth, DUMMY_IPC_LIVE_KEY_FRAME, &request);
            break;
        default:
            break;
    }
    return 0;
}

int on_push_streaming_data_cb(const ks_device_auth_s* auth,
                              const ks_on_push_streaming_data_param_s* param) {
    if (!param)
        return -1;
    if (!FindRow(auth))
        return -1;
    const ks_audio_param_s* a = param->audio_param;
    printf("Receive voice data, param = %d %d %d %d, size = %u, timestamp = %u\n",
           a ? a->format : -1, a ? a->channel : -1, a ? a->bits_per_sample : -1,
           a ? a->sample_rate : -1, param->len, param->timestamp);
    voice_file_write(param->service_id, param);
    return 0;
}

void query_storage_record_cb(const ks_device_auth_s* auth, const ks_query_record_param_s* param) {
    if (!param || !FindRow(auth))
        return;
    printf("query_storage_record_cb\n");
    dummy_ipc_report_vod_list(auth, param);
}

int trigger_picture_cb(const ks_device_auth_s* auth, const ks_trigger_picture_param_s* param) {
    if (!param || !FindRow(auth))
        return -1;
    unsigned char* p = nullptr;
    unsigned len = 0;
    if (dummy_ipc_capture(auth, &p, &len) < 0 || !p || len == 0) {
        printf("Capture picture failed, service id = %d\n", param->service_id);
        return -1;
    }
    ks_picture_param_s picture;
    picture.p = p;
    picture.len = len;
    return ks_post_trigger_picture(param->service_id, &picture) < 0 ? -1 : 0;
}

int cloud_event_cb(const ks_device_auth_s* auth, const ks_cloud_event_param_s* param) {
    if (!param || !FindRow(auth))
        return -1;
    printf("cloud_event_cb: %d \n", param->event_type);
    if (param->event_type == 1)
        printf("cloud_event_cb %d %s %s\n", param->download_file_type,
               Text(param->download_file_name), Text(param->download_url));
    else if (param->event_type == 2)
        printf("cloud_event_cb %d %s %s\n", param->upload_file_type, Text(param->upload_file_name),
               Text(param->upload_url));
    return 0;
}

int feature_check_cb(void) {
    return 0;
}
