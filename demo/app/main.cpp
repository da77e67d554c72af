// kestrel_demo: one simulated IP camera online through the SDK and the cloud
// link. Runs until SIGINT or SIGTERM, then undoes its start-up and exits 0.
#include <errno.h>
#include <kestrel/ks_api.h>
#include <semaphore.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "demo/app/demo_options.h"
#include "demo/app/kestrel_client.h"
#include "demo/app/tether_client.h"
#include "demo/camera/dummy_ipc.h"

namespace {

constexpr unsigned kPictureIntervalS = 600;
const char* const kLiveNames[2] = {"avc_aac_1000k", "avc_aac_500k"};
const char kPictureName[] = "1.jpg";

volatile sig_atomic_t g_stop = 0;
// Posted by the signal handler (sem_post is async-signal-safe): the main
// thread sleeps on it and wakes only to stop.
sem_t g_stop_sem;

void OnStopSignal(int) {
    // A second signal means the orderly stop is stuck: leave at once.
    if (g_stop)
        _exit(130);
    g_stop = 1;
    sem_post(&g_stop_sem);
}

void WaitForStop() {
    while (!g_stop) {
        if (sem_wait(&g_stop_sem) != 0 && errno != EINTR)
            break;
    }
}

void InstallSignals() {
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A peer that closes its socket must not end the process.
    signal(SIGPIPE, SIG_IGN);
}

// Stream and picture names inside the media directory; false when a path
// does not fit the camera's name buffers.
bool MediaNames(const char* dir, char names[2][DUMMY_IPC_NAME_LEN], std::string* picture) {
    std::string prefix = std::string(dir) + (dir[strlen(dir) - 1] == '/' ? "" : "/");
    for (int i = 0; i < 2; ++i) {
        std::string path = prefix + kLiveNames[i];
        if (path.size() >= DUMMY_IPC_NAME_LEN) {
            printf("Media path too long: %s\n", path.c_str());
            return false;
        }
        memset(names[i], 0, DUMMY_IPC_NAME_LEN);
        memcpy(names[i], path.c_str(), path.size());
    }
    *picture = prefix + kPictureName;
    return true;
}

// The storage anchor is handed to the SDK as PEM text.
bool TrustStorageAnchor(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream pem;
    pem << in.rdbuf();
    if (!in || ks_control(KS_CONTROL_STORAGE_TRUST_ANCHOR, pem.str().c_str()) != 0) {
        printf("Storage trust anchor unusable: %s\n", path);
        return false;
    }
    return true;
}

// What the running demo hands out by pointer: the camera keeps the names
// and the picture path, the cloud link the identity texts.
struct DemoDevice {
    ks_device_auth_s auth;
    char names[2][DUMMY_IPC_NAME_LEN];
    std::string picture;
    dummy_ipc_camera_s camera;
};

// How far start-up got; tear-down undoes exactly that much.
enum class Stage { kNothing, kSdk, kCamera, kAssistant, kRunning };

// False when the program ends here: after -h (exit 0) or an unusable
// command line (usage on stderr, exit -1).
bool ReadOptions(int argc, char* argv[], demo_options_s* opts, int* exit_code) {
    int parsed = demo_options_parse(argc, argv, opts);
    if (parsed < 0 || opts->help) {
        demo_options_usage(parsed < 0 ? stderr : stdout, argv[0]);
        *exit_code = parsed < 0 ? -1 : 0;
        return false;
    }
    return true;
}

void PrintIdentity(const demo_options_s& opts) {
    printf("PRODUCT_KEY            :%s\n", opts.product_key);
    printf("DEVICE_NAME            :%s\n", opts.device_name);
    // Masked as the SDK's own log does: these lines reach consoles and files.
    printf("DEVICE_SECRET          :%s\n", opts.device_secret[0] ? "******" : "");
    printf("Log level              :%d\n", opts.log_level);
}

// The camera and the device list are ready before the cloud link connects:
// the platform may set a property or start a stream the moment the device is
// online, and such a request must not find nothing to serve it.
bool StartCamera(const demo_options_s& opts, DemoDevice* dev) {
    memset(&dev->camera, 0, sizeof(dev->camera));
    dev->camera.picture_interval = kPictureIntervalS;
    dev->camera.auth = &dev->auth;
    if (opts.media_dir) {
        if (!MediaNames(opts.media_dir, dev->names, &dev->picture))
            return false;
        dev->camera.live_source = DUMMY_IPC_SOURCE_NAMED;
        dev->camera.live_names = dev->names;
        dev->camera.vod_source = DUMMY_IPC_SOURCE_NAMED;
        dev->camera.vod_names = dev->names;
        dev->camera.picture = dev->picture.c_str();
    }
    dummy_ipc_config_s config;
    memset(&config, 0, sizeof(config));
    config.num = 1;
    config.cameras = &dev->camera;
    config.video = kestrel_client_video_handler;
    config.audio = kestrel_client_audio_handler;
    config.picture = kestrel_client_picture_handler;
    config.property = tether_client_set_property_handler;
    config.record = kestrel_client_query_record;
    config.end = kestrel_client_playback_end;
    if (dummy_ipc_start(&config) < 0) {
        printf("Start dummy ipc failed\n");
        return false;
    }
    return true;
}

bool StartCloudLink(const demo_options_s& opts, const DemoDevice& dev) {
    tether_client_broker_s broker = {opts.broker_host,    opts.broker_port,    opts.trust_anchor,
                                     opts.bootstrap_host, opts.bootstrap_port, opts.firmware_file,
                                     opts.retry_max_ms};
    tether_client_set_broker(&broker);
    if (tether_client_start(&dev.auth, opts.product_secret, 0, nullptr) < 0) {
        printf("tether_client_start failed\n");
        return false;
    }
    return true;
}

// The identity points into the options, which live as long as main.
void SetIdentity(demo_options_s* opts, ks_device_auth_s* auth) {
    auth->dev_id = 0;
    auth->product_key = opts->product_key;
    auth->device_name = opts->device_name;
    auth->device_secret = opts->device_secret;
}

// SDK, camera, the SDK's assistant for it, then the cloud link.
Stage StartUp(const demo_options_s& opts, DemoDevice* dev) {
    if (kestrel_client_init(0, opts.log_level) < 0) {
        printf("kestrel_client_init failed\n");
        return Stage::kNothing;
    }
    if (opts.storage_anchor && !TrustStorageAnchor(opts.storage_anchor))
        return Stage::kSdk;
    if (!StartCamera(opts, dev))
        return Stage::kSdk;
    if (kestrel_client_assistant_start(0, &dev->auth, 0, nullptr) < 0) {
        printf("Start kestrel client dummy ipc assistant failed\n");
        return Stage::kCamera;
    }
    if (!StartCloudLink(opts, *dev))
        return Stage::kAssistant;
    return Stage::kRunning;
}

// Cloud link first (no new requests), then the SDK (drains the callbacks it
// has queued), then the camera that those callbacks drive.
void TearDown(Stage reached) {
    if (reached >= Stage::kRunning)
        tether_client_destroy();
    if (reached >= Stage::kSdk)
        kestrel_client_destroy();
    if (reached >= Stage::kCamera)
        dummy_ipc_stop();
    if (reached >= Stage::kAssistant)
        kestrel_client_assistant_stop();
}

}  // namespace

int main(int argc, char* argv[]) {
    // Lines reach a pipe (a script, a test) as they are printed.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    sem_init(&g_stop_sem, 0, 0);
    InstallSignals();

    demo_options_s opts;
    int exit_code = 0;
    if (!ReadOptions(argc, argv, &opts, &exit_code))
        return exit_code;
    PrintIdentity(opts);

    DemoDevice dev;
    SetIdentity(&opts, &dev.auth);
    Stage reached = StartUp(opts, &dev);
    if (reached != Stage::kRunning) {
        TearDown(reached);
        return -1;
    }
    WaitForStop();
    printf("Stopping\n");
    TearDown(reached);
    printf("Stopped\n");
    return 0;
}
