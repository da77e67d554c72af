/* The public header as a C firmware sees it: every type, value and function
 * is usable from C99, and the records keep the layout the C++ library reads. */
#include <kestrel/ks_api.h>

#include <stddef.h>

#define KS_CHECK(name, cond) typedef char name[(cond) ? 1 : -1]

/* C gives an enumeration whatever size its values need; the library is C++,
 * where each is an int. A short enumeration would shift every record after it. */
KS_CHECK(video_format_is_int, sizeof(ks_video_format_e) == sizeof(int));
KS_CHECK(stream_cmd_is_int, sizeof(ks_stream_cmd_type_e) == sizeof(int));
KS_CHECK(push_cmd_is_int, sizeof(ks_push_stream_cmd_s) == sizeof(int));
KS_CHECK(publish_topic_first, offsetof(ks_message_publish_param_s, topic) == 0);
KS_CHECK(save_path_size, sizeof(((ks_init_config_s*)0)->stream_auto_save_path) == 36);

static void on_publish(const ks_message_publish_param_s* p) { (void)p; }
static int on_start(const ks_device_auth_s* a, const ks_start_push_stream_param_s* p) {
    (void)a;
    return p->stream_cmd_type == KS_STREAM_CMD_LIVE ? 0 : -1;
}

int header_c_use(void);
int header_c_use(void) {
    ks_init_callback_s cb = {0};
    ks_push_stream_cmd_e done = KS_STORAGE_RECORD_COMPLETE;
    ks_push_stream_cmd_s old_name = KS_PRE_EVENT_RECORD_COMPLETE;
    int (*send_cmd)(int, ks_push_stream_cmd_s) = ks_stream_send_cmd;
    int (*control)(int, ...) = ks_control;
    int (*max_sockets)(uint32_t) = ks_set_max_sockets;
    cb.message_publish_cb = on_publish;
    cb.start_push_streaming_cb = on_start;
    (void)done;
    (void)old_name;
    (void)send_cmd;
    (void)control;
    (void)max_sockets;
    return cb.message_publish_cb != 0 && KS_AUDIO_SAMPLE_RATE_8000 == 11 &&
           KS_CONTROL_STORAGE_TRUST_ANCHOR == 100;
}
