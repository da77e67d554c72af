// The SDK brought up through its public API beside a local HTTPS object store
// (picture_store_server.py) that checks every signed request, with a name
// server answering every name with 127.0.0.1 so uploads go to "device.test"
// and the server's name is verified.
#pragma once

#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <kestrel/ks_api.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "peers.h"
#include "sdk_fixture.h"

namespace picture_test {

constexpr const char* kAccessKey = "AK-test";
constexpr const char* kSecret = "secret-of-the-test-store";

// One logged request of the store.
struct StoreRequest {
    std::string key;
    std::string status;
    std::string auth;
    std::string sha256;
    long received = -1;
};

class StoreServer {
  public:
    bool Start(const std::string& dir, const std::string& cert, const std::string& key,
               const std::string& secret = kSecret);
    void Stop() { proc_.Stop(); }
    uint16_t Port() const { return port_; }
    std::vector<StoreRequest> Requests() const;
    // The stored body of a raw key, or "" when there is none.
    std::string Object(const std::string& raw_key) const;

  private:
    net_test::Process proc_;
    std::string dir_;
    uint16_t port_ = 0;
};

std::string Sha256Hex(const std::string& data);
// A JPEG-like body of n bytes, different for each seed.
std::string Picture(size_t n, int seed);
bool WaitFor(const std::function<bool()>& done, int timeout_ms = 5000);

// Calls the application saw.
struct AppCalls {
    std::mutex mutex;
    std::vector<int> picture_requests;      // service ids of trigger_picture_cb
    std::vector<std::string> cloud_events;  // "type:name:url"
    static AppCalls& Get() {
        static AppCalls c;
        return c;
    }
};

class PictureTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;
    void TearDown() override;

    // A "TriggerPicCapture" call with this upload URL.
    void Trigger(const std::string& url, const std::string& msg_id = "m1");
    void Kestrel(const std::string& topic, const std::string& payload);
    // Waits for the n-th trigger_picture_cb; its service id or -1.
    int WaitPictureRequest(size_t n);
    // Messages published on topics ending in `suffix`, once there are n.
    std::vector<kestrel_test::Published> WaitTopic(const std::string& suffix, size_t n,
                                                   int timeout_ms = 5000);
    // "params" of a published thing-model message, as a cJSON tree (caller deletes).
    static cJSON* Params(const kestrel_test::Published& p);
    // The store's URL for a raw key (percent-encoding left to the caller).
    std::string Url(const std::string& path) const;
    // A credential answer for the test store.
    std::string Credentials(const std::string& prefix = "pics/", int active = 3600,
                            const std::string& secret = kSecret) const;
    bool WaitLog(const std::string& text, size_t count = 1, int timeout_ms = 5000);

    static std::string dir_;
    static net_test::Pki* pki_;
    static net_test::ScriptedDns* dns_;
    static StoreServer* store_;
    static StoreServer* wrong_store_;  // presents a certificate for another name
    kestrel_test::Identity device_{0, "pkTest", "dnTest", "ZGV2aWNlLXNlY3JldA=="};
    kestrel_test::LogCapture log_;
};

}  // namespace picture_test
