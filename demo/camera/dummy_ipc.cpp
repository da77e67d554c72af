#include "dummy_ipc.h"

#include <stdio.h>
#include <string.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ipc_unit.h"

using kestrel::camera::IpcSinks;
using kestrel::camera::IpcUnit;

namespace {

const char* const kDefaultLive[2] = {"avc_aac_1000k", "avc_aac_500k"};
const char* const kDefaultPicture = "1.jpg";

// The cameras. Callers hold a unit by shared_ptr while they use it, so that
// dummy_ipc_stop on another thread cannot free it under them.
std::mutex g_mutex;
std::vector<std::shared_ptr<IpcUnit>> g_units;
std::atomic<bool> g_initialised{false};
// Serialises start and stop.
std::mutex g_start_mutex;

std::vector<std::string> Names(int kind, const char (*names)[DUMMY_IPC_NAME_LEN]) {
    if (kind == DUMMY_IPC_SOURCE_NAMED && names != nullptr) {
        return {std::string(names[0], strnlen(names[0], DUMMY_IPC_NAME_LEN)),
                std::string(names[1], strnlen(names[1], DUMMY_IPC_NAME_LEN))};
    }
    return {kDefaultLive[0], kDefaultLive[1]};
}

std::shared_ptr<IpcUnit> Find(const ks_device_auth_s* auth) {
    if (!g_initialised) {
        printf("Dummy ipc not started\n");
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (const auto& unit : g_units) {
            if (unit->SameAuth(auth)) {
                return unit;
            }
        }
    }
    printf("Ipc not exist\n");
    return nullptr;
}

int VodCommon(const ks_device_auth_s* auth, int op, const dummy_ipc_request_s* request,
              bool by_file) {
    std::shared_ptr<IpcUnit> unit = Find(auth);
    if (!unit) {
        return -1;
    }
    switch (op) {
        case DUMMY_IPC_VOD_PAUSE:
            return unit->VodPause(true);
        case DUMMY_IPC_VOD_RESUME:
            return unit->VodPause(false);
        case DUMMY_IPC_VOD_STOP:
            return unit->VodStop();
        case DUMMY_IPC_VOD_SEEK:
        case DUMMY_IPC_VOD_SET_PARAM:
            break;
        default:
            return 0;
    }
    if (request == nullptr) {
        printf("Vod request is null, op = %d\n", op);
        return -1;
    }
    if (op == DUMMY_IPC_VOD_SET_PARAM) {
        return unit->VodSetParam(request->speed, request->key_only != 0);
    }
    if (!by_file) {
        return unit->VodSeek(request->service_id, request->seek_ms);
    }
    std::string name(request->file_name, strnlen(request->file_name, DUMMY_IPC_FILE_NAME_LEN));
    return unit->VodSeekFile(request->service_id, request->seek_ms, name);
}

}  // namespace

int dummy_ipc_start(const dummy_ipc_config_s* config) {
    std::lock_guard<std::mutex> start_lock(g_start_mutex);
    if (g_initialised) {
        return 0;
    }
    if (config == nullptr || config->video == nullptr || config->audio == nullptr ||
        config->picture == nullptr || config->property == nullptr || config->record == nullptr) {
        printf("Ipc sink illegal\n");
        return -1;
    }
    if (config->num == 0 || config->cameras == nullptr) {
        printf("Ipc num illegal\n");
        return -1;
    }
    IpcSinks sinks = {config->video,    config->audio,  config->picture,
                      config->property, config->record, config->end};
    std::vector<std::shared_ptr<IpcUnit>> units;
    for (unsigned i = 0; i < config->num; ++i) {
        const dummy_ipc_camera_s& camera = config->cameras[i];
        auto unit = std::make_shared<IpcUnit>(sinks);
        // The identity goes in before the threads start: the picture thread reads it.
        if (unit->SetAuth(camera.auth) != 0) {
            printf("Ipc unit auth failed\n");
            return -1;  // units built so far stop as they go out of scope
        }
        std::vector<std::string> live = Names(camera.live_source, camera.live_names);
        std::vector<std::string> vod = Names(camera.vod_source, camera.vod_names);
        std::string picture = camera.picture != nullptr ? camera.picture : kDefaultPicture;
        if (unit->Start(live, vod, picture, camera.picture_interval) != 0) {
            printf("Start ipc unit failed\n");
            return -1;
        }
        units.push_back(unit);
    }
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_units.swap(units);
    }
    g_initialised = true;
    return 0;
}

void dummy_ipc_stop(void) {
    std::lock_guard<std::mutex> start_lock(g_start_mutex);
    std::vector<std::shared_ptr<IpcUnit>> units;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        units.swap(g_units);
        g_initialised = false;
    }
    for (const auto& unit : units) {
        unit->Stop();
    }
}

int dummy_ipc_live(const ks_device_auth_s* auth, int op, const dummy_ipc_request_s* request) {
    std::shared_ptr<IpcUnit> unit = Find(auth);
    if (!unit) {
        return -1;
    }
    if (op != DUMMY_IPC_LIVE_START && op != DUMMY_IPC_LIVE_STOP && op != DUMMY_IPC_LIVE_KEY_FRAME) {
        return 0;
    }
    if (request == nullptr) {
        printf("Live request is null, op = %d\n", op);
        return -1;
    }
    switch (op) {
        case DUMMY_IPC_LIVE_START:
            return unit->LiveStart(request->stream, request->service_id);
        case DUMMY_IPC_LIVE_STOP:
            return unit->LiveStop(request->service_id);
        default:
            return unit->LiveRequestIFrame(request->service_id);
    }
}

int dummy_ipc_live_get_media_param(const ks_device_auth_s* auth, int service_id,
                                   ks_audio_param_s* audio, ks_video_param_s* video) {
    std::shared_ptr<IpcUnit> unit = Find(auth);
    return unit ? unit->LiveGetParam(service_id, audio, video) : -1;
}

int dummy_ipc_vod_get_media_param(const ks_device_auth_s* auth, ks_video_param_s* video,
                                  ks_audio_param_s* audio) {
    std::shared_ptr<IpcUnit> unit = Find(auth);
    return unit ? unit->VodGetParam(video, audio) : -1;
}

int dummy_ipc_vod_by_utc(const ks_device_auth_s* auth, int op, const dummy_ipc_request_s* request) {
    return VodCommon(auth, op, request, false);
}

int dummy_ipc_vod_by_file(const ks_device_auth_s* auth, int op,
                          const dummy_ipc_request_s* request) {
    return VodCommon(auth, op, request, true);
}

void dummy_ipc_report_vod_list(const ks_device_auth_s* auth, const ks_query_record_param_s* query) {
    std::shared_ptr<IpcUnit> unit = Find(auth);
    if (unit) {
        unit->VodQueryList(query);
    }
}

int dummy_ipc_set_property(const ks_device_auth_s* auth, const char* name, const char* value) {
    std::shared_ptr<IpcUnit> unit = Find(auth);
    if (!unit) {
        return -1;
    }
    return unit->SetProperty(name != nullptr ? name : "", value != nullptr ? value : "");
}

void dummy_ipc_get_all_property(const ks_device_auth_s* auth) {
    std::shared_ptr<IpcUnit> unit = Find(auth);
    if (unit) {
        unit->GetAllProperty();
    }
}

int dummy_ipc_capture(const ks_device_auth_s* auth, unsigned char** p, unsigned* len) {
    std::shared_ptr<IpcUnit> unit = Find(auth);
    return unit ? unit->Capture(p, len) : -1;
}
