// Device identities: every device the application names is recorded the first
// time it is seen, and a second, different identity under the same id is refused.
#pragma once

#include <kestrel/ks_api.h>

#include <atomic>
#include <map>
#include <string>

#include "core/mutex.h"
#include "core/shared_ptr.h"

namespace kestrel {

class DeviceAuth {
  public:
    static constexpr size_t kMaxFieldLen = 255;

    DeviceAuth(const char* product_key, const char* device_name, const char* device_secret,
               int dev_id);
    virtual ~DeviceAuth();
    DeviceAuth(const DeviceAuth&) = delete;
    DeviceAuth& operator=(const DeviceAuth&) = delete;

    const std::string& GetPkS() const { return product_key_; }
    const std::string& GetDnS() const { return device_name_; }
    const std::string& GetDsS() const { return device_secret_; }
    // "[product key|device name]", the prefix of session log lines.
    const std::string& GetPkDnS() const { return label_; }
    // The record handed to application callbacks; owned by this object.
    const ks_device_auth_s* GetAuth() const { return &auth_; }
    bool IsIllegal() const { return illegal_; }
    bool IsLogin() const { return logged_in_.load(); }
    void Login() { logged_in_ = true; }

    bool Equal(const char* product_key, const char* device_name, const char* device_secret,
               int dev_id) const;

  private:
    std::string product_key_;
    std::string device_name_;
    std::string device_secret_;
    std::string label_;
    ks_device_auth_s auth_;
    bool illegal_ = false;
    std::atomic<bool> logged_in_{false};
};

class DeviceAuthService {
  public:
    static constexpr int kMaxNvrChannel = 128;

    DeviceAuthService();

    void DeviceType(unsigned type);
    bool IsMain(int dev_id) const { return dev_id == 0; }
    bool IsIpc(int dev_id) const;
    // The device id, recording the identity the first time; -1 when refused.
    int GetDevId(const char* product_key, const char* device_name, const char* device_secret,
                 int dev_id);
    // The device's identity, or an empty (illegal) one for an unknown id.
    SharedPtr<DeviceAuth> GetAuth(int dev_id);
    void Login(int dev_id);
    bool IsLogin(int dev_id);

  private:
    std::atomic<unsigned> device_type_{0};
    Mutex mutex_;
    SharedPtr<DeviceAuth> empty_;
    std::map<int, SharedPtr<DeviceAuth>> devices_;
};

}  // namespace kestrel
