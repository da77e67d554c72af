#include "sdk/device_auth.h"

#include <cstring>

#include "core/logger.h"

namespace kestrel {

namespace {

// Copies a legal field into `out` and a new C string; a missing, empty or
// over-long field stays empty and marks the identity illegal.
char* TakeField(const char* src, std::string& out, bool& illegal) {
    if (!src || src[0] == '\0' || strlen(src) > DeviceAuth::kMaxFieldLen) {
        illegal = true;
        return nullptr;
    }
    out = src;
    char* copy = new char[out.size() + 1];
    memcpy(copy, out.c_str(), out.size() + 1);
    return copy;
}

}  // namespace

DeviceAuth::DeviceAuth(const char* product_key, const char* device_name, const char* device_secret,
                       int dev_id) {
    auth_.dev_id = dev_id;
    auth_.product_key = TakeField(product_key, product_key_, illegal_);
    auth_.device_name = TakeField(device_name, device_name_, illegal_);
    auth_.device_secret = TakeField(device_secret, device_secret_, illegal_);
    label_ = "[" + product_key_ + "|" + device_name_ + "]";
}

DeviceAuth::~DeviceAuth() {
    delete[] auth_.product_key;
    delete[] auth_.device_name;
    delete[] auth_.device_secret;
}

bool DeviceAuth::Equal(const char* product_key, const char* device_name, const char* device_secret,
                       int dev_id) const {
    if (!product_key || !device_name || !device_secret)
        return false;
    return product_key_ == product_key && device_name_ == device_name &&
           device_secret_ == device_secret && dev_id == auth_.dev_id;
}

DeviceAuthService::DeviceAuthService() : empty_(new DeviceAuth("", "", "", 0)) {}

void DeviceAuthService::DeviceType(unsigned type) {
    device_type_ = type;
}

bool DeviceAuthService::IsIpc(int dev_id) const {
    return device_type_ == 0 ? dev_id == 0 : dev_id != 0;
}

int DeviceAuthService::GetDevId(const char* product_key, const char* device_name,
                                const char* device_secret, int dev_id) {
    if (dev_id < 0)
        return -1;
    SharedPtr<DeviceAuth> created;
    {
        MutexGuard guard(mutex_);
        auto it = devices_.find(dev_id);
        if (it != devices_.end()) {
            if (it->second->Equal(product_key, device_name, device_secret, dev_id))
                return dev_id;
            KS_LOGE("Device auth error, device id exist, dev_id = %d", dev_id);
            return -1;
        }
        unsigned type = device_type_;
        if (type == 0 && dev_id != 0) {
            KS_LOGW("Device auth error, device type = %d, device id = %d", type, dev_id);
            return -1;
        }
        if (type != 0 && dev_id > kMaxNvrChannel) {
            KS_LOGW("Device auth error, no more ipc auth under nvr");
            return -1;
        }
        created = MakeShared<DeviceAuth>(product_key, device_name, device_secret, dev_id);
        devices_[dev_id] = created;
    }
    // The secret stays out of the log: lines reach consoles and application sinks.
    KS_LOGI("New auth:%d %s %s %s", dev_id, created->GetPkS().c_str(), created->GetDnS().c_str(),
            created->GetDsS().empty() ? "" : "******");
    return dev_id;
}

SharedPtr<DeviceAuth> DeviceAuthService::GetAuth(int dev_id) {
    MutexGuard guard(mutex_);
    auto it = devices_.find(dev_id);
    return it == devices_.end() ? empty_ : it->second;
}

void DeviceAuthService::Login(int dev_id) {
    MutexGuard guard(mutex_);
    auto it = devices_.find(dev_id);
    if (it != devices_.end())
        it->second->Login();
}

bool DeviceAuthService::IsLogin(int dev_id) {
    MutexGuard guard(mutex_);
    auto it = devices_.find(dev_id);
    return it != devices_.end() && it->second->IsLogin();
}

}  // namespace kestrel
