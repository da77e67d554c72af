// The SDK resolver's answer reader on any datagram, with the id and question
// taken from the input so the record walk is reached; and the query builder
// on any name.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "proto/dns.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    uint16_t id = size >= 2 ? static_cast<uint16_t>((data[0] << 8) | data[1]) : 0;
    // The question name as the message spells it (labels from byte 12), so
    // most inputs pass the question check.
    std::string host;
    for (size_t p = 12; p < size && data[p] != 0 && data[p] < 64 && host.size() < 300;) {
        size_t n = data[p];
        if (p + 1 + n > size)
            break;
        if (!host.empty())
            host.push_back('.');
        host.append(reinterpret_cast<const char*>(data + p + 1), n);
        p += 1 + n;
    }
    std::vector<uint32_t> addrs;
    uint32_t ttl = 0;
    size_t used = 0;
    int ret = dns_parse_answer(data, size, id, host, &addrs, &ttl, &used);
    if (used > size || (ret == DNS_OK) != !addrs.empty())
        abort();
    for (uint32_t a : addrs)
        (void)dns_ipv4_text(a);

    uint8_t query[kDnsMaxMessage];
    int len = dns_build_query(std::string(reinterpret_cast<const char*>(data), size), id, query,
                              sizeof(query));
    if (len > static_cast<int>(sizeof(query)))
        abort();
    return 0;
}
