// Keys, IVs and URL tokens the cloud hands the camera never reach the log, at
// any level: a live start with an encryption key, a voice intercom, a payload
// the SDK refuses and one it does not know.
#include "sdk_stream_session/session_fixture.h"

namespace streamtest {
namespace {

const char* const kLiveKey = "S0VZU0VDUkVUMDEyMzQ1Ng==";
const char* const kLiveIv = "SVZTRUNSRVRJVjAxMjM0NQ==";
const char* const kVoiceKey = "VktFWVNFQ1JFVDk4NzY1NA==";
const char* const kLiveToken = "LIVETOKEN7788";
const char* const kVoiceToken = "VOICETOKEN9911";

std::string KeyText(const std::string& key, const std::string& iv) {
    return "{\\\"key\\\":\\\"" + key + "\\\",\\\"iv\\\":\\\"" + iv + "\\\"}";
}

class SecretsLogTest : public StreamTest {};

TEST_F(SecretsLogTest, NoKeyIvOrTokenInAnyLine) {
    ASSERT_EQ(0, ks_control(KS_CONTROL_LOG_LEVEL, 6));
    SilentPeer relay;
    std::string live_key = KeyText(kLiveKey, kLiveIv);
    Call("StartPushStreaming",
         "{\"PushUrl\":\"rtmp://127.0.0.1:" + std::to_string(relay.port()) + "/live?token=" +
             kLiveToken + "/s1\",\"StreamType\":0,\"EncryptKey\":\"" + live_key + "\"}");
    Call("StartVoiceIntercom", "{\"IntercomUrl\":\"rtmp://127.0.0.1:" +
                                   std::to_string(relay.port()) + "/voice?token=" + kVoiceToken +
                                   "&private=0/talk\",\"Key\":\"" +
                                   KeyText(kVoiceKey, kLiveIv) + "\"}");
    // Refused (no StreamType): the error line quotes the payload.
    Call("StartPushStreaming", "{\"PushUrl\":\"rtmp://h/live?token=" + std::string(kLiveToken) +
                                   "/s\",\"EncryptKey\":\"" + live_key + "\"}");
    // A thing-model service nothing handles is still logged on arrival.
    Call("SomeService", "{\"Key\":\"" + std::string(kVoiceKey) + "\",\"EncryptKey\":\"" +
                            live_key + "\"}");
    EXPECT_TRUE(log_.Contains("parse value error:"));
    EXPECT_TRUE(log_.Contains("key = SomeService"));
    ks_destroy();
    for (const char* secret : {kLiveKey, kLiveIv, kVoiceKey, kLiveToken, kVoiceToken})
        EXPECT_EQ(0u, log_.Count(secret)) << secret;
    if (HasFailure()) {
        for (const std::string& line : log_.Lines())
            ADD_FAILURE() << line;
    }
}

}  // namespace
}  // namespace streamtest
