#include "flv_test_util.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>

namespace flvtest {

Bytes Hex(const std::string& hex) {
    Bytes out;
    std::string digits;
    for (char c : hex) {
        if (isxdigit(static_cast<unsigned char>(c))) {
            digits += c;
        }
    }
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::string ToHex(const Bytes& b) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    for (uint8_t v : b) {
        s += kDigits[v >> 4];
        s += kDigits[v & 15];
    }
    return s;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

namespace {

int OnData(void* param, kestrel::FlvMux::DataType type, const char* data, size_t len, uint32_t ts) {
    auto* c = static_cast<Capture*>(param);
    if (c->refuse_from >= 0 && static_cast<int>(c->bodies.size()) >= c->refuse_from) {
        return -1;
    }
    const uint8_t* p = reinterpret_cast<const uint8_t*>(data);
    c->bodies.push_back({type, Bytes(p, p + len), ts});
    return 0;
}

void OnStatus(void* param, kestrel::FlvMux::Status) {
    ++static_cast<Capture*>(param)->status_calls;
}

void Put(Bytes* out, uint32_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        out->push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

uint32_t Get(const Bytes& b, size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) {
        v = v << 8 | b[at + i];
    }
    return v;
}

const uint8_t kStartCode[4] = {0, 0, 0, 1};

void AppendUnit(Bytes* out, const uint8_t* p, size_t n) {
    out->insert(out->end(), kStartCode, kStartCode + 4);
    out->insert(out->end(), p, p + n);
}

bool RecordToAnnexB(const Bytes& b, bool hevc, Bytes* out) {
    size_t at = 5;  // tag header
    if (!hevc) {
        if (b.size() < at + 8) {
            return false;
        }
        at += 5;
        for (int set = 0; set < 2; ++set) {
            size_t count = b[at++] & (set == 0 ? 0x1F : 0xFF);
            for (size_t i = 0; i < count; ++i) {
                size_t n = Get(b, at, 2);
                if (at + 2 + n > b.size()) {
                    return false;
                }
                AppendUnit(out, b.data() + at + 2, n);
                at += 2 + n;
            }
        }
        return true;
    }
    at += 22;
    if (b.size() < at + 1) {
        return false;
    }
    size_t arrays = b[at++];
    for (size_t a = 0; a < arrays; ++a) {
        size_t count = Get(b, at + 1, 2);
        at += 3;
        for (size_t i = 0; i < count; ++i) {
            size_t n = Get(b, at, 2);
            if (at + 2 + n > b.size()) {
                return false;
            }
            AppendUnit(out, b.data() + at + 2, n);
            at += 2 + n;
        }
    }
    return true;
}

}  // namespace

Capture::Capture() : mux(kestrel::FlvMux::MODE_RTMP, this, OnData, OnStatus) {}

int Capture::Video(int format, bool key, const Bytes& au, uint32_t ts) {
    return mux.SendVideo(format, key ? 1 : 0, reinterpret_cast<const char*>(au.data()),
                         static_cast<uint32_t>(au.size()), ts);
}

int Capture::Audio(const Bytes& frame, uint32_t ts) {
    return mux.SendAudio(reinterpret_cast<const char*>(frame.data()),
                         static_cast<uint32_t>(frame.size()), ts);
}

Bytes FlvFile(const std::vector<Body>& bodies) {
    Bytes out = {'F', 'L', 'V', 1, 5, 0, 0, 0, 9, 0, 0, 0, 0};
    for (const Body& b : bodies) {
        static const uint8_t kTagType[] = {9, 8, 18};
        if (b.type == kestrel::FlvMux::DATA_STATUS) {
            continue;
        }
        out.push_back(kTagType[b.type]);
        Put(&out, static_cast<uint32_t>(b.data.size()), 3);
        Put(&out, b.timestamp & 0xFFFFFF, 3);
        out.push_back(static_cast<uint8_t>(b.timestamp >> 24));
        Put(&out, 0, 3);
        out.insert(out.end(), b.data.begin(), b.data.end());
        Put(&out, static_cast<uint32_t>(b.data.size() + 11), 4);
    }
    return out;
}

bool VideoToAnnexB(const std::vector<Body>& bodies, bool hevc, Bytes* out) {
    for (const Body& b : bodies) {
        if (b.type != kestrel::FlvMux::DATA_VIDEO || b.data.size() < 5) {
            continue;
        }
        if (b.data[1] == 0) {
            if (!RecordToAnnexB(b.data, hevc, out)) {
                return false;
            }
            continue;
        }
        for (size_t at = 5; at < b.data.size();) {
            size_t n = at + 4 <= b.data.size() ? Get(b.data, at, 4) : SIZE_MAX;
            if (n > b.data.size() - at - 4) {
                return false;
            }
            AppendUnit(out, b.data.data() + at + 4, n);
            at += 4 + n;
        }
    }
    return true;
}

bool WriteFile(const std::string& path, const Bytes& data) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(f);
}

bool ReadFile(const std::string& path, Bytes* data) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        return false;
    }
    data->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return true;
}

int Run(const std::string& cmd, std::string* output) {
    output->clear();
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p) {
        return -1;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) {
        output->append(buf, n);
    }
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string TempDir(const std::string& name) {
    std::string tmpl = "/tmp/proto_flv_" + name + "_XXXXXX";
    char* dir = mkdtemp(&tmpl[0]);
    return dir ? std::string(dir) : std::string();
}

}  // namespace flvtest
