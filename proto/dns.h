// DNS over UDP for IPv4 look-ups: the query the resolver sends and a strict
// reading of the answer. Pure functions over caller buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrel {

enum DnsResult {
    DNS_OK = 0,
    DNS_BAD_NAME = -1,          // empty name, empty or over-long label, name over 253
    DNS_BUFFER_TOO_SHORT = -2,  // the query does not fit the caller's buffer
    DNS_MALFORMED = -3,         // the answer breaks the message format
    DNS_NOT_ANSWER = -4,        // QR clear, another id, or another question
    DNS_SERVER_ERROR = -5,      // RCODE other than 0 (NXDOMAIN, SERVFAIL, ...)
    DNS_TRUNCATED = -6,         // TC set: the answer was cut to fit UDP
    DNS_NO_ADDRESS = -7,        // well formed, but no A record of class IN
};

constexpr size_t kDnsMaxMessage = 1024;

// A recursive query for the A record of `host`. Returns the message length
// (> 0) or a negative DnsResult.
int dns_build_query(const std::string& host, uint16_t id, uint8_t* out, size_t cap);

// Reads an answer to the query (id, host): requires QR = 1, RCODE = 0, the
// echoed question (name compared without case, type A, class IN), walks
// exactly ANCOUNT records and collects the addresses of those of type A,
// class IN and 4 data bytes (host byte order). *used receives how far the
// reading got, for the caller's log line.
// *ttl receives the smallest TTL of the addresses taken (seconds).
int dns_parse_answer(const uint8_t* msg, size_t len, uint16_t id, const std::string& host,
                     std::vector<uint32_t>* addrs, uint32_t* ttl, size_t* used);

// Dotted decimal of an address in host byte order.
std::string dns_ipv4_text(uint32_t addr);

}  // namespace kestrel
