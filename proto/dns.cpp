#include "proto/dns.h"

#include <cctype>

namespace kestrel {

namespace {

constexpr uint16_t kTypeA = 1;
constexpr uint16_t kClassIn = 1;
constexpr size_t kHeaderLen = 12;
// A name has at most 127 labels; a walk longer than that follows a pointer loop.
constexpr int kMaxNameSteps = 128;

uint16_t be16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v & 0xff);
}

// Skips the name at *pos (labels, ending in a zero byte or a pointer) and,
// when `text` is given, spells it out in lower case with dots. Pointers are
// followed only to spell the name, never for the position.
int read_name(const uint8_t* msg, size_t len, size_t* pos, std::string* text) {
    size_t p = *pos;
    size_t end = 0;  // where the name ends in the record, once known
    bool jumped = false;
    for (int step = 0; step < kMaxNameSteps; ++step) {
        if (p >= len) {
            return DNS_MALFORMED;
        }
        uint8_t b = msg[p];
        if (b == 0) {
            *pos = jumped ? end : p + 1;
            return DNS_OK;
        }
        if ((b & 0xc0) == 0xc0) {
            if (p + 1 >= len) {
                return DNS_MALFORMED;
            }
            size_t target = static_cast<size_t>(((b & 0x3f) << 8) | msg[p + 1]);
            if (!jumped) {
                end = p + 2;
                jumped = true;
            }
            if (target >= p) {
                return DNS_MALFORMED;  // pointers only go backwards
            }
            p = target;
            continue;
        }
        if ((b & 0xc0) != 0) {
            return DNS_MALFORMED;  // 0x40 and 0x80 label types are not in use
        }
        if (p + 1 + b > len) {
            return DNS_MALFORMED;
        }
        if (text != nullptr) {
            if (!text->empty()) {
                text->push_back('.');
            }
            for (size_t i = 0; i < b; ++i) {
                text->push_back(static_cast<char>(std::tolower(msg[p + 1 + i])));
            }
            if (text->size() > 255) {
                return DNS_MALFORMED;
            }
        }
        p += 1 + b;
    }
    return DNS_MALFORMED;
}

std::string lower(const std::string& s) {
    std::string out(s);
    for (char& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

}  // namespace

int dns_build_query(const std::string& host_in, uint16_t id, uint8_t* out, size_t cap) {
    std::string host = host_in;
    if (!host.empty() && host.back() == '.') {
        host.pop_back();  // the root label is written anyway
    }
    if (host.empty() || host.size() > 253) {
        return DNS_BAD_NAME;
    }
    size_t need = kHeaderLen + host.size() + 2 + 4;
    if (need > cap) {
        return DNS_BUFFER_TOO_SHORT;
    }
    put16(out, id);
    put16(out + 2, 0x0100);  // recursion desired
    put16(out + 4, 1);
    put16(out + 6, 0);
    put16(out + 8, 0);
    put16(out + 10, 0);
    size_t p = kHeaderLen;
    size_t start = 0;
    while (start <= host.size()) {
        size_t dot = host.find('.', start);
        size_t label_end = dot == std::string::npos ? host.size() : dot;
        size_t n = label_end - start;
        if (n == 0 || n > 63) {
            return DNS_BAD_NAME;
        }
        out[p++] = static_cast<uint8_t>(n);
        for (size_t i = start; i < label_end; ++i) {
            out[p++] = static_cast<uint8_t>(host[i]);
        }
        if (dot == std::string::npos) {
            break;
        }
        start = dot + 1;
    }
    out[p++] = 0;
    put16(out + p, kTypeA);
    put16(out + p + 2, kClassIn);
    return static_cast<int>(p + 4);
}

int dns_parse_answer(const uint8_t* msg, size_t len, uint16_t id, const std::string& host,
                     std::vector<uint32_t>* addrs, uint32_t* ttl, size_t* used) {
    addrs->clear();
    *ttl = 0;
    *used = 0;
    if (msg == nullptr || len < kHeaderLen) {
        return DNS_MALFORMED;
    }
    uint16_t flags = be16(msg + 2);
    if (be16(msg) != id || (flags & 0x8000) == 0 || be16(msg + 4) != 1) {
        return DNS_NOT_ANSWER;
    }
    if ((flags & 0x000f) != 0) {
        return DNS_SERVER_ERROR;
    }
    if ((flags & 0x0200) != 0) {
        return DNS_TRUNCATED;
    }
    uint16_t ancount = be16(msg + 6);
    size_t pos = kHeaderLen;
    std::string qname;
    int ret = read_name(msg, len, &pos, &qname);
    *used = pos;
    if (ret != DNS_OK) {
        return ret;
    }
    if (pos + 4 > len) {
        return DNS_MALFORMED;
    }
    std::string want = lower(host);
    if (!want.empty() && want.back() == '.') {
        want.pop_back();
    }
    if (qname != want || be16(msg + pos) != kTypeA || be16(msg + pos + 2) != kClassIn) {
        return DNS_NOT_ANSWER;
    }
    pos += 4;
    *used = pos;
    for (uint16_t i = 0; i < ancount; ++i) {
        ret = read_name(msg, len, &pos, nullptr);
        if (ret == DNS_OK && pos + 10 > len) {
            ret = DNS_MALFORMED;
        }
        if (ret != DNS_OK) {
            addrs->clear();  // a broken message yields nothing, not a part
            return ret;
        }
        uint16_t type = be16(msg + pos);
        uint16_t klass = be16(msg + pos + 2);
        uint32_t record_ttl =
            (static_cast<uint32_t>(be16(msg + pos + 4)) << 16) | be16(msg + pos + 6);
        uint16_t rdlen = be16(msg + pos + 8);
        pos += 10;
        if (pos + rdlen > len) {
            addrs->clear();
            return DNS_MALFORMED;
        }
        if (type == kTypeA && klass == kClassIn && rdlen == 4) {
            if (addrs->empty() || record_ttl < *ttl) {
                *ttl = record_ttl;
            }
            addrs->push_back((static_cast<uint32_t>(msg[pos]) << 24) |
                             (static_cast<uint32_t>(msg[pos + 1]) << 16) |
                             (static_cast<uint32_t>(msg[pos + 2]) << 8) | msg[pos + 3]);
        }
        pos += rdlen;
        *used = pos;
    }
    return addrs->empty() ? DNS_NO_ADDRESS : DNS_OK;
}

std::string dns_ipv4_text(uint32_t addr) {
    return std::to_string(addr >> 24) + "." + std::to_string((addr >> 16) & 0xff) + "." +
           std::to_string((addr >> 8) & 0xff) + "." + std::to_string(addr & 0xff);
}

}  // namespace kestrel
