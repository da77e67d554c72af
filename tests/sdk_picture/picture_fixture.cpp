#include "picture_fixture.h"

#include <mbedtls/sha256.h>
#include <sys/socket.h>

#include <fstream>
#include <sstream>

#include "net/dns_service.h"
#include "sdk/picture/one_time_put.h"
#include "sdk/storage/kiv_ca.h"

using namespace kestrel;
using namespace kestrel_test;

namespace picture_test {

std::string PictureTest::dir_;
net_test::Pki* PictureTest::pki_ = nullptr;
net_test::ScriptedDns* PictureTest::dns_ = nullptr;
StoreServer* PictureTest::store_ = nullptr;
StoreServer* PictureTest::wrong_store_ = nullptr;

bool StoreServer::Start(const std::string& dir, const std::string& cert, const std::string& key,
                        const std::string& secret) {
    dir_ = dir;
    if (!net_test::Run("mkdir -p " + dir))
        return false;
    if (!proc_.Start({PICTURE_STORE_SERVER, dir, cert, key, kAccessKey, secret},
                     dir + "/server.log"))
        return false;
    if (!WaitFor([&] { return !net_test::ReadFile(dir + "/port").empty(); }, 10000)) {
        ADD_FAILURE() << "store server did not start: " << net_test::ReadFile(dir + "/server.log");
        return false;
    }
    port_ = static_cast<uint16_t>(std::stoi(net_test::ReadFile(dir + "/port")));
    return true;
}

std::vector<StoreRequest> StoreServer::Requests() const {
    std::vector<StoreRequest> out;
    std::istringstream in(net_test::ReadFile(dir_ + "/requests.jsonl"));
    std::string line;
    while (std::getline(in, line)) {
        cJSON* j = cJSON_Parse(line.c_str());
        if (!j)
            continue;
        StoreRequest r;
        auto str = [&](const char* name) {
            const cJSON* v = cJSON_GetObjectItem(j, name);
            if (cJSON_IsString(v))
                return std::string(v->valuestring);
            if (cJSON_IsNumber(v))
                return std::to_string(v->valueint);
            return std::string();
        };
        r.key = str("key");
        r.status = str("status");
        r.auth = str("auth");
        r.sha256 = str("sha256");
        const cJSON* rec = cJSON_GetObjectItem(j, "received");
        r.received = cJSON_IsNumber(rec) ? static_cast<long>(rec->valuedouble) : -1;
        out.push_back(r);
        cJSON_Delete(j);
    }
    return out;
}

std::string StoreServer::Object(const std::string& raw_key) const {
    return net_test::ReadFile(dir_ + "/objects/" + Sha256Hex(raw_key));
}

std::string Sha256Hex(const std::string& data) {
    unsigned char d[32];
    mbedtls_sha256_ret(reinterpret_cast<const unsigned char*>(data.data()), data.size(), d, 0);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned char c : d) {
        out.push_back(hex[c >> 4]);
        out.push_back(hex[c & 15]);
    }
    return out;
}

std::string Picture(size_t n, int seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 31 + static_cast<size_t>(seed) * 7 + (i >> 8)) & 0xff);
    if (n >= 2) {
        s[0] = static_cast<char>(0xff);
        s[1] = static_cast<char>(0xd8);
    }
    return s;
}

bool WaitFor(const std::function<bool()>& done, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

namespace {

int OnPictureRequest(const ks_device_auth_s*, const ks_trigger_picture_param_s* p) {
    AppCalls& c = AppCalls::Get();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.picture_requests.push_back(p->service_id);
    return 0;
}

int OnCloudEvent(const ks_device_auth_s*, const ks_cloud_event_param_s* p) {
    AppCalls& c = AppCalls::Get();
    std::lock_guard<std::mutex> lock(c.mutex);
    auto s = [](const char* t) { return std::string(t ? t : "(null)"); };
    if (p->event_type == 1)
        c.cloud_events.push_back("1:" + std::to_string(p->download_file_type) + ":" +
                                 s(p->download_file_name) + ":" + s(p->download_url));
    else
        c.cloud_events.push_back(std::to_string(p->event_type) + ":" +
                                 std::to_string(p->upload_file_type) + ":" +
                                 s(p->upload_file_name) + ":" + s(p->upload_url));
    return 0;
}

}  // namespace

void PictureTest::SetUpTestSuite() {
    dir_ = net_test::MakeTempDir("picture");
    pki_ = new net_test::Pki;
    ASSERT_TRUE(pki_->Make(dir_));
    dns_ = new net_test::ScriptedDns;
    ASSERT_TRUE(dns_->Start(net_test::ScriptedDns::kAnswer, "127.0.0.1"));
    std::ofstream(dir_ + "/resolv.conf") << "nameserver 127.0.0.1\n";
    DnsService::SetResolvConfPath(dir_ + "/resolv.conf");
    DnsService::SetServerPort(dns_->Port());
    store_ = new StoreServer;
    ASSERT_TRUE(store_->Start(dir_ + "/store", pki_->device_cert, pki_->device_key));
    wrong_store_ = new StoreServer;
    ASSERT_TRUE(wrong_store_->Start(dir_ + "/wrong", pki_->wrong_cert, pki_->wrong_key));
}

void PictureTest::TearDownTestSuite() {
    delete store_;
    delete wrong_store_;
    delete dns_;
    delete pki_;
    store_ = wrong_store_ = nullptr;
    dns_ = nullptr;
    pki_ = nullptr;
    DnsService::SetResolvConfPath("/etc/resolv.conf");
    DnsService::SetServerPort(53);
    net_test::Run("rm -rf " + dir_);
}

void PictureTest::SetUp() {
    Recorder::Get().Reset();
    {
        AppCalls& c = AppCalls::Get();
        std::lock_guard<std::mutex> lock(c.mutex);
        c.picture_requests.clear();
        c.cloud_events.clear();
    }
    OneTimePutLimits limits;
    limits.connect_ms = 3000;
    limits.stall_ms = 400;
    one_time_put_set_limits(limits);
    ks_init_config_s c = DefaultConfig();
    c.picture_store_size_max = 16 * 1024 * 1024;
    c.process_parallel = 1;
    ks_init_callback_s cb = DefaultCallbacks();
    cb.trigger_picture_cb = OnPictureRequest;
    cb.cloud_event_cb = OnCloudEvent;
    ks_init_system_s sys = {0};
    ASSERT_EQ(0, ks_init(&c, &cb, &sys));
    ASSERT_EQ(0, Connect(&device_.auth));
    ASSERT_EQ(0, ks_control(KS_CONTROL_STORAGE_TRUST_ANCHOR, net_test::ReadFile(pki_->ca).c_str()));
}

void PictureTest::TearDown() {
    ks_destroy();
    if (HasFailure()) {
        auto lines = log_.Lines();
        size_t from = lines.size() > 80 ? lines.size() - 80 : 0;
        for (size_t i = from; i < lines.size(); ++i)
            fprintf(stderr, "  log| %s\n", lines[i].substr(0, 300).c_str());
    }
    KivCa::SetExtraAnchor("");
    one_time_put_set_limits(OneTimePutLimits());
}

void PictureTest::Trigger(const std::string& url, const std::string& msg_id) {
    cJSON* j = cJSON_CreateObject();
    cJSON_AddStringToObject(j, "UploadUrl", url.c_str());
    char* text = cJSON_PrintUnformatted(j);
    ASSERT_EQ(0, SendMessage(&device_.auth, KS_MESSAGE_ADAPTER_TYPE_TSL_SERVICE, msg_id,
                             "TriggerPicCapture", text));
    cJSON_free(text);
    cJSON_Delete(j);
}

void PictureTest::Kestrel(const std::string& topic, const std::string& payload) {
    ASSERT_EQ(0, SendMessage(&device_.auth, KS_MESSAGE_ADAPTER_TYPE_KESTREL, "", topic, payload));
}

int PictureTest::WaitPictureRequest(size_t n) {
    AppCalls& c = AppCalls::Get();
    int id = -1;
    WaitFor([&] {
        std::lock_guard<std::mutex> lock(c.mutex);
        if (c.picture_requests.size() < n)
            return false;
        id = c.picture_requests[n - 1];
        return true;
    });
    return id;
}

std::vector<Published> PictureTest::WaitTopic(const std::string& suffix, size_t n, int timeout_ms) {
    std::vector<Published> out;
    WaitFor(
        [&] {
            out.clear();
            for (const auto& p : Recorder::Get().WaitPublished(0, 0)) {
                if (p.topic.size() >= suffix.size() &&
                    p.topic.compare(p.topic.size() - suffix.size(), suffix.size(), suffix) == 0)
                    out.push_back(p);
            }
            return out.size() >= n;
        },
        timeout_ms);
    return out;
}

cJSON* PictureTest::Params(const Published& p) {
    cJSON* root = cJSON_Parse(p.message.c_str());
    if (!root)
        return nullptr;
    cJSON* params = cJSON_DetachItemFromObject(root, "params");
    cJSON_Delete(root);
    return params;
}

std::string PictureTest::Url(const std::string& path) const {
    return "https://device.test:" + std::to_string(store_->Port()) + "/" + path;
}

std::string PictureTest::Credentials(const std::string& prefix, int active,
                                     const std::string& secret) const {
    cJSON* root = cJSON_CreateObject();
    cJSON_AddStringToObject(root, "id", "1");
    cJSON* p = cJSON_AddObjectToObject(root, "params");
    cJSON_AddStringToObject(p, "accessKey", kAccessKey);
    cJSON_AddStringToObject(p, "accessSecret", secret.c_str());
    cJSON_AddStringToObject(p, "stsToken", "token-123");
    cJSON_AddStringToObject(p, "endpoint",
                            ("device.test:" + std::to_string(store_->Port())).c_str());
    cJSON_AddStringToObject(p, "bucketName", "bucket");
    cJSON_AddStringToObject(p, "fileNamePrefix", prefix.c_str());
    cJSON_AddStringToObject(p, "contentType", "image/jpeg");
    cJSON_AddNumberToObject(p, "activeTime", active);
    char* text = cJSON_PrintUnformatted(root);
    std::string out(text);
    cJSON_free(text);
    cJSON_Delete(root);
    return out;
}

bool PictureTest::WaitLog(const std::string& text, size_t count, int timeout_ms) {
    return WaitFor([&] { return log_.Count(text) >= count; }, timeout_ms);
}

}  // namespace picture_test
