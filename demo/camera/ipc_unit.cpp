#include "ipc_unit.h"

#include <assert.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

namespace kestrel {
namespace camera {

namespace {

bool FileExists(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        printf("Check files failed: %s\n", path.c_str());
        return false;
    }
    return true;
}

}  // namespace

IpcUnit::IpcUnit(const IpcSinks& sinks, ReplayClock& clock)
    : sinks_(sinks),
      live_main_(&IpcUnit::OnVideo, &IpcUnit::OnAudio, this, clock),
      live_sub_(&IpcUnit::OnVideo, &IpcUnit::OnAudio, this, clock),
      vod_(&IpcUnit::OnVideo, &IpcUnit::OnAudio, this, clock),
      picture_(&IpcUnit::OnPicture, this, clock),
      property_(&IpcUnit::OnProperty, this) {
    assert(sinks_.video != nullptr && "video_data_");
    assert(sinks_.audio != nullptr && "audio_data_");
    assert(sinks_.picture != nullptr && "pic_data_");
    assert(sinks_.property != nullptr && "property_data_");
    assert(sinks_.record != nullptr && "record_data_");
    vod_.SetEndSink(&IpcUnit::OnEnd);
}

IpcUnit::~IpcUnit() {
    Stop();
}

int IpcUnit::Start(const std::vector<std::string>& live, const std::vector<std::string>& vod,
                   const std::string& picture, unsigned interval) {
    if (live.size() != 2 || vod.size() != 2) {
        printf("Stream list illegal\n");
        return -1;
    }
    bool ok = true;
    for (const auto* list : {&live, &vod}) {
        for (const std::string& name : *list) {
            // Each check prints, so every missing file is named.
            ok = FileExists(name) && ok;
            ok = FileExists(name + ".index") && ok;
            ok = FileExists(name + ".meta") && ok;
        }
    }
    ok = FileExists(picture) && ok;
    if (!ok) {
        return -1;
    }
    if (live_main_.StartLive(0, live[0]) != 0 || live_sub_.StartLive(0, live[1]) != 0 ||
        picture_.Start(interval, picture) != 0) {
        Stop();
        return -1;
    }
    vod_list_ = vod;
    started_ = true;
    return 0;
}

void IpcUnit::Stop() {
    live_main_.Stop();
    live_sub_.Stop();
    vod_.Stop();
    picture_.Stop();
    started_ = false;
}

int IpcUnit::SetAuth(const ks_device_auth_s* auth) {
    if (auth == nullptr || auth->product_key == nullptr || auth->device_name == nullptr ||
        auth->device_secret == nullptr) {
        return -1;
    }
    product_key_ = auth->product_key;
    device_name_ = auth->device_name;
    device_secret_ = auth->device_secret;
    dev_id_ = auth->dev_id;
    return 0;
}

bool IpcUnit::SameAuth(const ks_device_auth_s* auth) const {
    return auth != nullptr && auth->dev_id == dev_id_ && auth->product_key != nullptr &&
           auth->device_name != nullptr && auth->device_secret != nullptr &&
           product_key_ == auth->product_key && device_name_ == auth->device_name &&
           device_secret_ == auth->device_secret;
}

ks_device_auth_s IpcUnit::Auth() {
    ks_device_auth_s auth;
    auth.dev_id = dev_id_;
    auth.product_key = &product_key_[0];
    auth.device_name = &device_name_[0];
    auth.device_secret = &device_secret_[0];
    return auth;
}

int IpcUnit::LiveStart(int stream, int service_id) {
    (stream == 0 ? live_main_ : live_sub_).SetServiceId(service_id);
    return 0;
}

int IpcUnit::LiveStop(int service_id) {
    for (MediaParse* live : {&live_main_, &live_sub_}) {
        if (live->GetServiceId() == service_id) {
            live->SetServiceId(0);
            return 0;
        }
    }
    printf("LiveStop failed, service id =%d\n", service_id);
    return -1;
}

int IpcUnit::LiveRequestIFrame(int service_id) {
    for (MediaParse* live : {&live_main_, &live_sub_}) {
        if (live->GetServiceId() == service_id) {
            live->RequestKeyFrame();
            return 0;
        }
    }
    printf("LiveRequestIFrame failed, service id =%d\n", service_id);
    return -1;
}

int IpcUnit::LiveGetParam(int service_id, ks_audio_param_s* audio, ks_video_param_s* video) {
    if (audio == nullptr || video == nullptr) {
        return -1;
    }
    MediaParse* source = nullptr;
    if (live_main_.GetServiceId() == service_id) {
        source = &live_main_;
    } else if (live_sub_.GetServiceId() == service_id) {
        source = &live_sub_;
    } else if (live_main_.GetServiceId() > 0) {
        source = &live_main_;
    } else if (service_id < live_sub_.GetServiceId()) {
        source = &live_sub_;
    } else {
        printf("LiveGetParam failed, service id =%d\n", service_id);
        return -1;
    }
    source->GetParam(*video, *audio);
    return 0;
}

int IpcUnit::VodGetParam(ks_video_param_s* video, ks_audio_param_s* audio) {
    if (video == nullptr || audio == nullptr) {
        return -1;
    }
    if (vod_.GetPath().empty()) {
        printf("VodGetParam failed, no playback\n");
        return -1;
    }
    vod_.GetParam(*video, *audio);
    return 0;
}

int IpcUnit::VodPause(bool pause) {
    vod_.Pause(pause);
    return 0;
}

int IpcUnit::VodStop() {
    // The next playback starts afresh, not at this one's speed or paused.
    vod_.Stop();
    vod_.ResetPlayState();
    return 0;
}

int IpcUnit::VodSeek(int service_id, unsigned position_ms) {
    uint64_t sum = 0;
    size_t file = vod_list_.size();
    uint64_t start = 0;
    for (size_t i = 0; i < vod_list_.size(); ++i) {
        double seconds = 0;
        if (MediaParse::GetDuration(vod_list_[i], &seconds) != 0) {
            printf("Get duration failed: %s\n", vod_list_[i].c_str());
            return -1;
        }
        uint64_t length = static_cast<uint64_t>(seconds * 1000);
        // The end of the whole timeline still belongs to its last file.
        if (position_ms < sum + length ||
            (position_ms == sum + length && i + 1 == vod_list_.size())) {
            file = i;
            start = sum;
            break;
        }
        sum += length;
    }
    if (file == vod_list_.size()) {
        printf("Vod seek out of range: %u\n", position_ms);
        return -1;
    }
    const std::string& path = vod_list_[file];
    unsigned offset = static_cast<unsigned>(position_ms - start);
    if (vod_.IsRunning()) {
        vod_.Pause(true);
        if (vod_.GetPath() != path) {
            vod_.Stop();
            if (vod_.StartVod(service_id, path, static_cast<unsigned>(start)) != 0) {
                return -1;
            }
        } else {
            vod_.SetServiceId(service_id);
        }
        vod_.Seek(offset);
        vod_.Pause(false);
        return 0;
    }
    // Stays paused until the playback is resumed by the start command.
    vod_.Pause(true);
    if (vod_.StartVod(service_id, path, static_cast<unsigned>(start)) != 0) {
        return -1;
    }
    vod_.Seek(offset);
    return 0;
}

int IpcUnit::VodSeekFile(int service_id, unsigned position_ms, const std::string& name) {
    if (name.empty()) {
        vod_.Seek(position_ms);
        return 0;
    }
    bool known = false;
    for (const std::string& path : vod_list_) {
        known = known || path == name;
    }
    if (!known) {
        printf("Query file failed");
        return -1;
    }
    if (vod_.IsRunning()) {
        vod_.Stop();
    }
    vod_.Pause(true);
    if (vod_.StartVod(service_id, name, 0) != 0) {
        return -1;
    }
    vod_.Seek(position_ms);
    return 0;
}

int IpcUnit::VodSetParam(unsigned speed, bool key_only) {
    vod_.SetSpeed(speed, key_only);
    return 0;
}

void IpcUnit::VodQueryList(const ks_query_record_param_s* query) {
    if (query == nullptr) {
        return;
    }
    ks_query_record_response_param_s response;
    memset(&response, 0, sizeof(response));
    std::vector<ks_query_record_response_item_s> items;
    std::vector<std::string> names;
    int days[31] = {0};
    if (query->common_type == 0) {
        names.reserve(vod_list_.size());
        uint32_t start = query->begin_time;
        for (const std::string& path : vod_list_) {
            double seconds = 0;
            if (MediaParse::GetDuration(path, &seconds) != 0) {
                printf("Get duration failed: %s\n", path.c_str());
                continue;
            }
            names.push_back(path);
            ks_query_record_response_item_s item;
            memset(&item, 0, sizeof(item));
            item.file_name = &names.back()[0];
            item.file_size = 1024;
            item.record_type = 2;
            item.start_time = start;
            item.stop_time = start + static_cast<uint32_t>(seconds);
            start = item.stop_time;
            items.push_back(item);
        }
        response.num = static_cast<int>(items.size());
        response.infos = items.empty() ? nullptr : items.data();
    } else if (query->common_type == 1) {
        days[0] = days[10] = days[27] = 1;  // the 1st, 11th and 28th
        response.days = days;
    } else {
        return;
    }
    sinks_.record(query->service_id, &response);
}

int IpcUnit::SetProperty(const std::string& name, const std::string& value) {
    return property_.SetProperty(name, value);
}

void IpcUnit::GetAllProperty() {
    property_.GetAllProperty();
}

int IpcUnit::Capture(unsigned char** p, unsigned* len) {
    return picture_.Capture(p, len);
}

void IpcUnit::OnVideo(void* self, int service_id, ks_video_format_e format, unsigned char* p,
                      unsigned len, unsigned timestamp, int key_frame) {
    if (service_id > 0) {
        static_cast<IpcUnit*>(self)->sinks_.video(service_id, format, p, len, timestamp, key_frame);
    }
}

void IpcUnit::OnEnd(void* self, int service_id) {
    dummy_ipc_end_sink end = static_cast<IpcUnit*>(self)->sinks_.end;
    if (service_id > 0 && end) {
        end(service_id);
    }
}

void IpcUnit::OnAudio(void* self, int service_id, ks_audio_format_e format, unsigned char* p,
                      unsigned len, unsigned timestamp) {
    if (service_id > 0) {
        static_cast<IpcUnit*>(self)->sinks_.audio(service_id, format, p, len, timestamp);
    }
}

void IpcUnit::OnPicture(void* self, unsigned char* p, unsigned len) {
    IpcUnit* unit = static_cast<IpcUnit*>(self);
    ks_device_auth_s auth = unit->Auth();
    unit->sinks_.picture(&auth, p, len);
}

int IpcUnit::OnProperty(void* self, const char* json) {
    IpcUnit* unit = static_cast<IpcUnit*>(self);
    ks_device_auth_s auth = unit->Auth();
    return unit->sinks_.property(&auth, json);
}

}  // namespace camera
}  // namespace kestrel
