// DNS answers as a resolver could send them (the id is taken from the
// message itself, so every input reaches the record parser), and the query
// builder on any host name.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

// The parser is internal to this file.
#include "port/linux/hal_dns.cpp"

namespace {

void Check(bool ok) {
    if (!ok)
        abort();
}

}  // namespace

namespace tether_port {
void prt(int, const char* fmt, ...) {
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
}
}  // namespace tether_port

uint64_t HAL_UptimeMs() {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > static_cast<size_t>(kBufBytes) + 1)
        return 0;
    std::vector<unsigned char> msg(data + 1, data + size);
    if (data[0] & 1) {
        std::string host(msg.begin(), msg.end());
        unsigned char query[kBufBytes];
        int n = build_query(0x1234, host.c_str(), query, sizeof(query));
        Check(n < 0 || (n >= 18 && n <= static_cast<int>(sizeof(query))));
        return 0;
    }
    // A small cap so an answer with more records than room is covered.
    const int max = 1 + (data[0] >> 1) % DNS_MAX_ADDRS;
    std::vector<uint32_t> addrs(static_cast<size_t>(max));
    int found = -1;
    uint16_t id = msg.size() >= 2 ? rd16(msg.data()) : 0;
    int rc = parse_answer(msg.data(), static_cast<int>(msg.size()), id, addrs.data(), max, &found);
    Check(rc >= -1 && rc <= 1 && found >= 0 && found <= max);
    return 0;
}
