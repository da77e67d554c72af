// The C example camera, run as a program against nginx with the RTMP module:
// a start request it is handed makes it push its sample, which nginx records
// and ffmpeg decodes.
#include <gtest/gtest.h>

#include <string>

#include "net_rtmp/rtmp_peers.h"

namespace {

using rtmptest::RunCommand;

TEST(CCamera, StreamsItsSampleWhenAskedToStart) {
    rtmptest::NginxRelay nginx;
    ASSERT_TRUE(nginx.Started()) << nginx.ErrorLog();
    const std::string url = "rtmp://127.0.0.1:" + std::to_string(nginx.port()) +
                            "/live?token=tok&private=0/ccam";
    std::string out;
    ASSERT_EQ(0, RunCommand(std::string(C_CAMERA) + " -f -w 3000 -t 120 -x StartPushStreaming '{\"PushUrl\":\"" +
                                url + "\",\"StreamType\":0}' " + KESTREL_SOURCE_DIR +
                                "/demo/media/avc_aac_500k 2>&1",
                            &out))
        << out;
    EXPECT_NE(std::string::npos, out.find("streams started 1")) << out;
    nginx.Stop();
    std::string probe;
    ASSERT_EQ(0, RunCommand("ffprobe -v error -count_packets -show_entries stream=codec_name,nb_read_packets "
                            "-of csv=p=0 '" + nginx.Recording("ccam") + "'",
                            &probe))
        << nginx.ErrorLog();
    EXPECT_NE(std::string::npos, probe.find("h264")) << probe;
    EXPECT_NE(std::string::npos, probe.find("aac")) << probe;
    std::string decode;
    EXPECT_EQ(0, RunCommand("ffmpeg -v error -i '" + nginx.Recording("ccam") + "' -f null - 2>&1",
                            &decode))
        << decode;
}

}  // namespace
