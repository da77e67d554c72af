#include "sdk/storage/file_transform.h"

#include <cassert>
#include <cjson/cJSON.h>
#include <kestrel/ks_api.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "core/logger.h"
#include "core/single.h"
#include "sdk/device_dispatch.h"
#include "sdk/device_env.h"
#include "sdk/message_service.h"

namespace kestrel {

namespace {

struct FileEntry {
    std::string url;
    std::string name;
    int type = 0;
};

bool ReadEntry(const cJSON* item, FileTransformService::Kind kind, FileEntry& out) {
    const char* url_name = kind == FileTransformService::kDownload ? "downloadUrl" : "uploadUrl";
    const cJSON* url = cJSON_GetObjectItemCaseSensitive(item, url_name);
    const cJSON* name = cJSON_GetObjectItemCaseSensitive(item, "fileName");
    const cJSON* type = cJSON_GetObjectItemCaseSensitive(item, "fileType");
    if (!cJSON_IsString(url) || !cJSON_IsString(name) || !cJSON_IsNumber(type) ||
        std::isnan(type->valuedouble) || type->valuedouble < -2147483648.0 ||
        type->valuedouble > 2147483647.0) {
        return false;
    }
    out.url = url->valuestring;
    out.name = name->valuestring;
    out.type = static_cast<int>(type->valuedouble);
    return true;
}

void Dispatch(int dev_id, FileTransformService::Kind kind, FileEntry& e) {
    ks_cloud_event_param_s event;
    memset(&event, 0, sizeof(event));
    if (kind == FileTransformService::kDownload) {
        event.event_type = 1;
        event.download_file_type = e.type;
        event.download_file_name = &e.name[0];
        event.download_url = &e.url[0];
    } else {
        event.event_type = 2;
        event.upload_file_type = e.type;
        event.upload_file_name = &e.name[0];
        event.upload_url = &e.url[0];
    }
    DeviceEnv::Get()->Dispatch()->CloudEventAsync(dev_id, &event);
}

}  // namespace

void FileTransformService::Init(bool no_download, bool no_upload) {
    MessageService* messages = Single<MessageService>::Instance();
    messages->RegisterKestrelHandler("/vision/biz/dev/DownloadFile/invoke", downloadFileHandler,
                                     this);
    messages->RegisterKestrelHandler("/vision/biz/dev/UploadFile/invoke", uploadFileHandler, this);
    no_download_ = no_download;
    no_upload_ = no_upload;
}

int FileTransformService::FileParse(const std::string& payload, int dev_id, Kind kind) {
    // The entries' URLs are pre-signed: their queries are credentials.
    KS_LOGD("FileParse: %s request of %zu bytes", kind == kDownload ? "download" : "upload",
            payload.size());
    cJSON* root = cJSON_ParseWithLength(payload.data(), payload.size());
    const cJSON* list = root ? cJSON_GetObjectItemCaseSensitive(root, "paramList") : nullptr;
    if (!cJSON_IsArray(list)) {
        KS_LOGE("FileParse, parse error");
        cJSON_Delete(root);
        return -1;
    }
    int size = cJSON_GetArraySize(list);
    if (size <= 0) {
        KS_LOGE("FileParse, parse error, array_size = %d", size);
        cJSON_Delete(root);
        return -1;
    }
    // Read every entry first, then dispatch those before the first bad one.
    std::vector<FileEntry> entries;
    int bad = -1;
    for (int i = 0; i < size; ++i) {
        FileEntry e;
        if (!ReadEntry(cJSON_GetArrayItem(list, i), kind, e)) {
            bad = i;
            break;
        }
        entries.push_back(std::move(e));
    }
    cJSON_Delete(root);
    bool quiet = kind == kDownload ? no_download_ : no_upload_;
    for (FileEntry& e : entries) {
        if (!quiet) {
            Dispatch(dev_id, kind, e);
        }
    }
    if (bad >= 0) {
        KS_LOGE("FileParse, parse error, array_index = %d", bad);
        return -1;
    }
    return static_cast<int>(entries.size());
}

void FileTransformService::downloadFileHandler(void* user, int dev_id, const std::string&,
                                               const std::string& payload) {
    // Registered with its owner as the context: null is a bug here, not input.
    assert(user);
    static_cast<FileTransformService*>(user)->FileParse(payload, dev_id, kDownload);
}

void FileTransformService::uploadFileHandler(void* user, int dev_id, const std::string&,
                                             const std::string& payload) {
    // Registered with its owner as the context: null is a bug here, not input.
    assert(user);
    static_cast<FileTransformService*>(user)->FileParse(payload, dev_id, kUpload);
}

}  // namespace kestrel
