// Server commands and status texts: the command parse, the status table and
// the play-parameter object, then the whole client session fed the same
// bytes after a handshake, as a server would send them.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "proto/rtmp_command.h"
#include "proto/rtmp_session.h"

using namespace kestrel;

// The first byte picks the handshake mode; the rest is what the server sends.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t input_size) {
    if (input_size < 1) {
        return 0;
    }
    const uint8_t* data = input + 1;
    size_t size = input_size - 1;
    rtmp_command_t cmd;
    if (rtmp_command_parse(data, size, &cmd) == RTMP_COMMAND_OK) {
        rtmp_status_lookup(cmd.code);
        std::string text;
        rtmp_play_param_text(cmd.description, &text);
        if (text.size() > 63) {
            abort();
        }
    }

    RtmpSession session;
    RtmpSessionConfig cfg;
    cfg.app = "live";
    cfg.stream = "s";
    cfg.private_mode = input[0] & 1;
    if (session.Configure(cfg) != 0 || session.Start(0, nullptr) != 0) {
        abort();
    }
    static const std::string hs = std::string(1, '\x03') + std::string(3072, 'h');
    session.Input(reinterpret_cast<const uint8_t*>(hs.data()), cfg.private_mode ? 1537 : hs.size(),
                  0);
    session.Input(data, size, 0);
    RtmpEvent ev;
    while (session.PollEvent(&ev)) {
    }
    return 0;
}
