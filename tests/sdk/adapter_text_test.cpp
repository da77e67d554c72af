// How ks_message_adapter takes its (pointer, length) texts.
#include <mutex>

#include "core/single.h"
#include "sdk/message_service.h"
#include "sdk_fixture.h"

using namespace kestrel_test;

namespace {

std::mutex g_mutex;
std::vector<std::pair<std::string, std::string>> g_seen;

void OnService(void*, int, const std::string& service, const std::string& payload,
               const std::string&) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_seen.emplace_back(service, payload);
}

std::vector<std::pair<std::string, std::string>> WaitSeen(size_t n) {
    for (int i = 0; i < 300; ++i) {
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            if (g_seen.size() >= n)
                return g_seen;
        }
        usleep(10000);
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_seen;
}

}  // namespace

class AdapterTextTest : public SdkTest {};

TEST_F(AdapterTextTest, TextsStopAtTheirLengthOrFirstNulWithoutPadding) {
    ASSERT_EQ(0, Init());
    kestrel::Single<kestrel::MessageService>::Instance()->RegisterServiceHandler(
        "TestService", OnService, nullptr);
    Identity dev(0, "pk", "dn", "ds");
    ASSERT_EQ(0, Connect(&dev.auth));

    // A caller passing its buffer sizes: the name must still match exactly.
    char service[64] = "TestService";
    char payload[256] = "{\"a\":1}";
    ks_message_adapter_param_s buffers = {KS_MESSAGE_ADAPTER_TYPE_TSL_SERVICE,
                                          "1",
                                          1,
                                          service,
                                          sizeof(service),
                                          payload,
                                          sizeof(payload)};
    EXPECT_EQ(0, ks_message_adapter(&dev.auth, &buffers));
    // A length far beyond the text allocates nothing beyond the text.
    ks_message_adapter_param_s huge = {
        KS_MESSAGE_ADAPTER_TYPE_TSL_SERVICE, "2", 1, "TestService", 0xFFFFFFFFu, "{}", 0xFFFFFFFFu};
    EXPECT_EQ(0, ks_message_adapter(&dev.auth, &huge));
    // A length shorter than the text cuts it: "TestServ" has no handler.
    ks_message_adapter_param_s cut = {
        KS_MESSAGE_ADAPTER_TYPE_TSL_SERVICE, "3", 1, "TestService", 8, "{}", 2};
    EXPECT_EQ(0, ks_message_adapter(&dev.auth, &cut));
    ks_message_adapter_param_s last = {
        KS_MESSAGE_ADAPTER_TYPE_TSL_SERVICE, "4", 1, "TestService", 11, "{\"z\":9}", 7};
    EXPECT_EQ(0, ks_message_adapter(&dev.auth, &last));

    auto seen = WaitSeen(3);
    ASSERT_EQ(3u, seen.size());
    EXPECT_EQ("TestService", seen[0].first);
    EXPECT_EQ("{\"a\":1}", seen[0].second);
    EXPECT_EQ("{}", seen[1].second);
    EXPECT_EQ("{\"z\":9}", seen[2].second);
}
