/* A minimal camera in C: keeps the cloud link, hands the SDK every cloud
 * message, and when the cloud asks for a live stream replays a sample
 * recording (N with its frame index N.index, as in demo/media) until the
 * cloud stops it.
 *
 *   c_camera -p PK -n DN -s DS -H HOST -P PORT [-C CA_FILE] [-t SECONDS] SAMPLE
 *   c_camera -x SERVICE PAYLOAD [-f] [-w MS] [-t SECONDS] SAMPLE
 *   (-w: once the sample is handed over, give the relay this long to send
 *   what is still queued before the SDK is shut down)
 *
 * -x delivers one service call as if the cloud had sent it, without a cloud
 * link: the camera then exits once that stream has ended (stopped, or the
 * sample sent). -f sends the sample as fast as the SDK takes it. */
#define _POSIX_C_SOURCE 200809L

#include <kestrel/ks_api.h>
#include <tether/tether_api.h>

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

typedef struct {
    int audio;
    long offset;
    uint32_t len, timestamp;
    int key;
} frame_t;

static ks_device_auth_s g_auth;
static const char* g_sample;
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_cond;
static int g_service_id = -1, g_started, g_stopped, g_frames_sent, g_streams_ended;
static int g_unpaced, g_scripted;
static volatile sig_atomic_t g_quit;

static void on_signal(int sig) { (void)sig; g_quit = 1; }

static int load_index(frame_t** out) {
    char path[512];
    snprintf(path, sizeof path, "%s.index", g_sample);
    FILE* f = fopen(path, "r");
    if (!f)
        return -1;
    int n = 0, cap = 0;
    frame_t fr;
    *out = NULL;
    while (fscanf(f, " media=%d,offset=%ld,len=%u,timestamp=%u,key=%d", &fr.audio, &fr.offset,
                  &fr.len, &fr.timestamp, &fr.key) == 5) {
        if (n == cap) {
            cap = cap ? cap * 2 : 1024;
            frame_t* grown = realloc(*out, (size_t)cap * sizeof fr);
            if (!grown)
                break;
            *out = grown;
        }
        (*out)[n++] = fr;
    }
    fclose(f);
    return n;
}

/* Waits until `ms` after `t0` or until the stream is stopped; 1 when stopped. */
static int wait_until(const struct timespec* t0, uint32_t ms, int service_id) {
    struct timespec at = *t0;
    at.tv_sec += ms / 1000;
    at.tv_nsec += (long)(ms % 1000) * 1000000L;
    if (at.tv_nsec >= 1000000000L) {
        at.tv_sec++;
        at.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&g_lock);
    while (g_service_id == service_id && !g_quit &&
           pthread_cond_timedwait(&g_cond, &g_lock, &at) == 0) {
    }
    int stopped = g_service_id != service_id || g_quit;
    pthread_mutex_unlock(&g_lock);
    return stopped;
}

static void* stream_thread(void* arg) {
    int service_id = (int)(intptr_t)arg;
    ks_video_param_s video = {KS_VIDEO_FORMAT_H264, 25, 2000, 0};
    ks_audio_param_s audio = {KS_AUDIO_FORMAT_AAC, KS_AUDIO_SAMPLE_RATE_16000, KS_AUDIO_BITS_16,
                              KS_AUDIO_CHANNEL_MONO};
    ks_stream_send_config_param_s config = {1000, 0, &video, &audio};
    frame_t* index = NULL;
    int n = load_index(&index);
    FILE* media = fopen(g_sample, "rb");
    unsigned char* buf = NULL;
    struct timespec t0;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    if (n <= 0 || !media || ks_stream_send_config(service_id, &config) < 0)
        n = 0;
    for (int i = 0; i < n && !wait_until(&t0, g_unpaced ? 0 : index[i].timestamp, service_id);
         ++i) {
        unsigned char* grown = realloc(buf, index[i].len ? index[i].len : 1);
        if (!grown || fseek(media, index[i].offset, SEEK_SET) != 0 ||
            fread(grown, 1, index[i].len, media) != index[i].len) {
            buf = grown ? grown : buf;
            break;
        }
        buf = grown;
        ks_stream_send_media_param_s m;
        memset(&m, 0, sizeof m);
        m.type = index[i].audio ? 1 : 0;
        m.len = index[i].len;
        m.timestamp = index[i].timestamp;
        m.p = buf;
        m.video_format = KS_VIDEO_FORMAT_H264;
        m.key_frame = index[i].key;
        m.audio_format = KS_AUDIO_FORMAT_AAC;
        if (ks_stream_send_media(service_id, &m) == 0) {
            pthread_mutex_lock(&g_lock);
            g_frames_sent++;
            pthread_mutex_unlock(&g_lock);
        }
    }
    free(buf);
    free(index);
    if (media)
        fclose(media);
    pthread_mutex_lock(&g_lock);
    g_streams_ended++;
    pthread_cond_broadcast(&g_cond);
    pthread_mutex_unlock(&g_lock);
    return NULL;
}

static int on_start(const ks_device_auth_s* auth, const ks_start_push_stream_param_s* p) {
    (void)auth;
    if (p->stream_cmd_type != KS_STREAM_CMD_LIVE)
        return -1;
    pthread_mutex_lock(&g_lock);
    int busy = g_service_id >= 0;
    if (!busy) {
        g_service_id = p->service_id;
        g_started++;
    }
    pthread_mutex_unlock(&g_lock);
    if (busy)
        return -1;
    pthread_t t;
    if (pthread_create(&t, NULL, stream_thread, (void*)(intptr_t)p->service_id) != 0)
        return -1;
    pthread_detach(t);
    printf("stream %d started\n", p->service_id);
    return 0;
}

static int on_stop(const ks_device_auth_s* auth, const ks_stop_push_stream_param_s* p) {
    (void)auth;
    pthread_mutex_lock(&g_lock);
    if (p->service_id == g_service_id) {
        g_service_id = -1;
        g_stopped++;
        pthread_cond_broadcast(&g_cond);
    }
    pthread_mutex_unlock(&g_lock);
    printf("stream %d stopped\n", p->service_id);
    return 0;
}

static int on_cmd(const ks_device_auth_s* a, const ks_on_push_stream_cmd_param_s* p) {
    (void)a;
    (void)p;
    return 0;
}
static int on_data(const ks_device_auth_s* a, const ks_on_push_streaming_data_param_s* p) {
    (void)a;
    (void)p;
    return -1;
}
static void on_query(const ks_device_auth_s* a, const ks_query_record_param_s* p) {
    (void)a;
    (void)p;
}
static int on_picture(const ks_device_auth_s* a, const ks_trigger_picture_param_s* p) {
    (void)a;
    (void)p;
    return -1;
}

static int on_feature_check(void) { return 0; }

static void on_publish(const ks_message_publish_param_s* msg) {
    if (g_scripted) { /* no cloud link: show what would go up */
        printf("publish %s %s\n", msg->topic, msg->message);
        return;
    }
    tether_mqtt_topic_info_t info;
    memset(&info, 0, sizeof info);
    info.qos = (uint8_t)msg->qos;
    info.payload = msg->message;
    info.payload_len = (uint32_t)strlen(msg->message);
    IOT_MQTT_Publish(NULL, msg->topic, &info);
}

static void deliver(ks_message_adapter_type_e type, const char* id, const char* service,
                    int service_len, const char* payload, int payload_len) {
    ks_message_adapter_param_s m;
    memset(&m, 0, sizeof m);
    m.type = type;
    m.msg_id = id;
    m.msg_id_len = id ? (uint32_t)strlen(id) : 0;
    m.service = service;
    m.service_len = (uint32_t)service_len;
    m.payload = payload;
    m.payload_len = (uint32_t)payload_len;
    ks_message_adapter(&g_auth, &m);
}

static int on_connected(void) {
    deliver(KS_MESSAGE_ADAPTER_TYPE_CONNECTED, NULL, NULL, 0, NULL, 0);
    return 0;
}
static int on_service(const int devid, const char* msgid, const int msgid_len,
                      const char* service, const int service_len, const char* request,
                      const int request_len, char** response, int* response_len) {
    char id[64];
    (void)devid;
    (void)response;
    (void)response_len;
    snprintf(id, sizeof id, "%.*s", msgid_len > 0 ? msgid_len : 0, msgid ? msgid : "");
    deliver(KS_MESSAGE_ADAPTER_TYPE_TSL_SERVICE, id, service, service_len, request, request_len);
    return 0;
}
static int on_kestrel(const int devid, const char* topic, const int topic_len,
                      const char* payload, const int payload_len) {
    (void)devid;
    deliver(KS_MESSAGE_ADAPTER_TYPE_KESTREL, NULL, topic, topic_len, payload, payload_len);
    return 0;
}

typedef struct {
    tether_dev_meta_info_t meta;
    const char *host, *ca, *x_service, *x_payload;
    uint16_t port;
    int seconds, linger_ms;
} options_t;

/* 0, or the exit status (2) for a command line in error. */
static int parse_options(int argc, char** argv, options_t* o) {
    int opt;
    memset(o, 0, sizeof *o);
    o->port = 443;
    while ((opt = getopt(argc, argv, "p:n:s:H:P:C:t:x:fw:")) != -1) {
        switch (opt) {
        case 'p': snprintf(o->meta.product_key, sizeof o->meta.product_key, "%s", optarg); break;
        case 'n': snprintf(o->meta.device_name, sizeof o->meta.device_name, "%s", optarg); break;
        case 's': snprintf(o->meta.device_secret, sizeof o->meta.device_secret, "%s", optarg); break;
        case 'H': o->host = optarg; break;
        case 'P': o->port = (uint16_t)atoi(optarg); break;
        case 'C': o->ca = optarg; break;
        case 't': o->seconds = atoi(optarg); break;
        case 'f': g_unpaced = 1; break;
        case 'w': o->linger_ms = atoi(optarg); break;
        case 'x':
            if (optind >= argc)
                return 2;
            o->x_service = optarg;
            o->x_payload = argv[optind++];
            break;
        default: return 2;
        }
    }
    if (optind != argc - 1 || (!o->x_service && (!o->host || !o->meta.product_key[0]))) {
        fprintf(stderr, "usage: %s (-p PK -n DN -s DS -H HOST -P PORT [-C CA] | -x SERVICE "
                        "PAYLOAD) [-t SECONDS] SAMPLE\n", argv[0]);
        return 2;
    }
    g_sample = argv[optind];
    return 0;
}

/* Scripted, the SDK sees a made-up identity: there is no cloud to check it. */
static void set_identity(options_t* o) {
    g_scripted = o->x_service != NULL;
    g_auth.dev_id = 0;
    g_auth.product_key = g_scripted ? "pk" : o->meta.product_key;
    g_auth.device_name = g_scripted ? "dn" : o->meta.device_name;
    g_auth.device_secret = g_scripted ? "ds" : o->meta.device_secret;
}

static int start_sdk(void) {
    ks_init_config_s config;
    memset(&config, 0, sizeof config);
    config.log_level = 4;
    config.log_dest = 1;
    config.vod_solo_max = 1;
    config.vod_all_max = 1;
    config.picture_store_size_max = 512 * 1024;
    config.process_parallel = 1;
    ks_init_callback_s cb;
    memset(&cb, 0, sizeof cb);
    cb.message_publish_cb = on_publish;
    cb.start_push_streaming_cb = on_start;
    cb.stop_push_streaming_cb = on_stop;
    cb.on_push_streaming_cmd_cb = on_cmd;
    cb.on_push_streaming_data_cb = on_data;
    cb.query_storage_record_cb = on_query;
    cb.trigger_picture_cb = on_picture;
    cb.feature_check_cb = on_feature_check;
    ks_init_system_s sys = {0};
    if (ks_init(&config, &cb, &sys) != 0) {
        fprintf(stderr, "ks_init failed\n");
        return -1;
    }
    return 0;
}

/* The cloud link's id, or -1 without one (scripted: the service call is
 * delivered here instead). */
static int start_link(options_t* o) {
    if (o->x_service) {
        on_connected();
        deliver(KS_MESSAGE_ADAPTER_TYPE_TSL_SERVICE, "1", o->x_service, (int)strlen(o->x_service),
                o->x_payload, (int)strlen(o->x_payload));
        return -1;
    }
    IOT_Ioctl(TETHER_IOCTL_SET_MQTT_DOMAIN, (void*)o->host);
    IOT_Ioctl(TETHER_IOCTL_SET_MQTT_PORT, &o->port);
    if (o->ca)
        HAL_SetTrustAnchorPem(o->ca);
    nexo_register_for_ITE_CONNECT_SUCC(on_connected);
    nexo_register_for_ITE_SERVICE_REQUST(on_service);
    nexo_register_for_ITE_KESTREL(on_kestrel);
    int link = IOT_Tether_Open(TETHER_DEV_TYPE_MASTER, &o->meta);
    if (link < 0 || IOT_Tether_Connect(link) < 0)
        fprintf(stderr, "cloud link not connected\n");
    return link;
}

static struct timespec after_ms(int ms) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += ms / 1000;
    t.tv_nsec += (long)(ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec++;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

/* With a cloud link: its cycle runs here until a signal or the deadline. */
static void run_link(const struct timespec* at) {
    while (!g_quit) {
        IOT_Tether_Yield(200);
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec >= at->tv_sec)
            break;
    }
}

/* Scripted: until the stream's thread is done (the stream was stopped or the
 * sample sent), a signal or the deadline. */
static void wait_scripted(const struct timespec* at, int linger_ms) {
    pthread_mutex_lock(&g_lock);
    int rc = 0;
    while (!g_streams_ended && !g_quit && rc == 0)
        rc = pthread_cond_timedwait(&g_cond, &g_lock, at);
    /* Frames handed over may still wait for the relay's publish: give them
     * time unless the stream was stopped or a signal came. */
    if (linger_ms > 0 && g_stopped == 0) {
        struct timespec until = after_ms(linger_ms);
        rc = 0;
        while (!g_quit && g_stopped == 0 && rc == 0)
            rc = pthread_cond_timedwait(&g_cond, &g_lock, &until);
    }
    pthread_mutex_unlock(&g_lock);
}

/* Stops the stream thread, the cloud link and the SDK; the exit status. */
static int finish(int link, int scripted) {
    pthread_mutex_lock(&g_lock);
    g_quit = 1; /* a stream thread still running ends its sample here */
    pthread_cond_broadcast(&g_cond);
    pthread_mutex_unlock(&g_lock);
    if (link >= 0)
        IOT_Tether_Close(link);
    ks_destroy();
    pthread_mutex_lock(&g_lock);
    printf("streams started %d, stopped %d, frames sent %d\n", g_started, g_stopped,
           g_frames_sent);
    int ok = !scripted || (g_started == 1 && g_streams_ended == 1);
    pthread_mutex_unlock(&g_lock);
    return ok ? 0 : 1;
}

int main(int argc, char** argv) {
    options_t o;
    int bad = parse_options(argc, argv, &o);
    if (bad)
        return bad;
    set_identity(&o);

    pthread_condattr_t ca_attr;
    pthread_condattr_init(&ca_attr);
    pthread_condattr_setclock(&ca_attr, CLOCK_MONOTONIC);
    pthread_cond_init(&g_cond, &ca_attr);
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);

    if (start_sdk() != 0)
        return 1;
    int link = start_link(&o);
    /* Until a signal or -t seconds (a day without -t). */
    struct timespec at = after_ms(0);
    at.tv_sec += o.seconds > 0 ? o.seconds : 24 * 3600;
    if (link >= 0)
        run_link(&at);
    else if (!g_quit)
        wait_scripted(&at, o.linger_ms);
    return finish(link, g_scripted);
}
