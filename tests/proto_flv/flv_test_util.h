// Shared by the muxer tests: hex fixtures, a muxer whose bodies are kept for
// inspection, FLV file framing and the trip back to Annex B for ffmpeg.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "proto/flv_mux.h"

namespace flvtest {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const std::string& hex);
std::string ToHex(const Bytes& b);
Bytes Cat(std::initializer_list<Bytes> parts);

struct Body {
    kestrel::FlvMux::DataType type;
    Bytes data;
    uint32_t timestamp;
};

// A muxer and everything it emitted.
struct Capture {
    std::vector<Body> bodies;
    int status_calls = 0;
    int refuse_from = -1;  // handler refuses the body with this index and later ones
    kestrel::FlvMux mux;

    Capture();
    int Video(int format, bool key, const Bytes& au, uint32_t ts = 0);
    int Audio(const Bytes& frame, uint32_t ts = 0);
};

// An FLV file: header for audio and video, then each body (status bodies
// skipped) as a tag with its previous-tag size.
Bytes FlvFile(const std::vector<Body>& bodies);

// Turns video bodies back into Annex B: parameter sets from the decoder
// configuration record, then every length-prefixed unit of each frame body.
// Fails (returns false) on any length that runs past its body.
bool VideoToAnnexB(const std::vector<Body>& bodies, bool hevc, Bytes* out);

bool WriteFile(const std::string& path, const Bytes& data);
bool ReadFile(const std::string& path, Bytes* data);
// Runs a shell command; returns its exit status and its stdout+stderr.
int Run(const std::string& cmd, std::string* output);
// A fresh directory under /tmp; the test removes it.
std::string TempDir(const std::string& name);

}  // namespace flvtest
