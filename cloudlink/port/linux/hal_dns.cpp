// The library's own DNS resolver: plain A queries over UDP to a short list of
// resolvers, used before the system resolver.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "port/linux/hal_internal.h"
#include "tether/hal.h"

using tether_port::prt;

namespace {

constexpr int kBufBytes = 1024;
constexpr int kDefaultAttempts = 8;
constexpr int kDefaultPauseMs = 1000;

// Public resolvers reachable from most networks.
const char* const kDefaultServers[] = {"1.1.1.1", "8.8.8.8", "9.9.9.9"};

std::mutex g_lock;
std::vector<std::string> g_servers(std::begin(kDefaultServers), std::end(kDefaultServers));
std::atomic<int> g_timeout_ms{DNS_DEFAULT_TIMEOUT_MS};
std::atomic<int> g_attempts{kDefaultAttempts};
std::atomic<int> g_pause_ms{kDefaultPauseMs};

bool parse_server(const char* text, struct sockaddr_in* out) {
    if (text == nullptr) {
        return false;
    }
    std::string s(text);
    std::string ip = s;
    long port = 53;
    size_t colon = s.find(':');
    if (colon != std::string::npos) {
        ip = s.substr(0, colon);
        std::string p = s.substr(colon + 1);
        char* end = nullptr;
        port = strtol(p.c_str(), &end, 10);
        if (p.empty() || *end != '\0' || port <= 0 || port > 65535) {
            return false;
        }
    }
    memset(out, 0, sizeof(*out));
    out->sin_family = AF_INET;
    out->sin_port = htons(static_cast<uint16_t>(port));
    return inet_pton(AF_INET, ip.c_str(), &out->sin_addr) == 1;
}

// Writes the query for host into buf; length or -1 for a name that is not a
// valid DNS name.
int build_query(uint16_t id, const char* host, unsigned char* buf, int size) {
    size_t host_len = strlen(host);
    if (host_len > 0 && host[host_len - 1] == '.') {
        host_len--;
    }
    if (host_len == 0 || host_len > 253 || static_cast<int>(host_len) + 18 > size) {
        return -1;
    }
    int n = 0;
    buf[n++] = id >> 8;
    buf[n++] = id & 0xff;
    buf[n++] = 0x01;  // recursion desired
    buf[n++] = 0x00;
    buf[n++] = 0x00;
    buf[n++] = 0x01;  // one question
    for (int i = 0; i < 6; ++i) {
        buf[n++] = 0;
    }
    size_t start = 0;
    while (start <= host_len) {
        size_t dot = start;
        while (dot < host_len && host[dot] != '.') {
            dot++;
        }
        size_t label = dot - start;
        if (label == 0 || label > 63) {
            return -1;
        }
        buf[n++] = static_cast<unsigned char>(label);
        memcpy(buf + n, host + start, label);
        n += static_cast<int>(label);
        start = dot + 1;
    }
    buf[n++] = 0;
    buf[n++] = 0x00;
    buf[n++] = 0x01;  // type A
    buf[n++] = 0x00;
    buf[n++] = 0x01;  // class IN
    return n;
}

// Moves pos past a (possibly compressed) name; false when it runs off the
// message. Pointers are not followed, so a looping name cannot trap us.
bool skip_name(const unsigned char* msg, int len, int* pos) {
    int p = *pos;
    for (;;) {
        if (p >= len) {
            return false;
        }
        unsigned char b = msg[p];
        if (b == 0) {
            *pos = p + 1;
            return true;
        }
        if ((b & 0xC0) == 0xC0) {
            if (p + 1 >= len) {
                return false;
            }
            *pos = p + 2;
            return true;
        }
        if ((b & 0xC0) != 0) {
            return false;
        }
        p += 1 + b;
    }
}

uint16_t rd16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

// 1 = answer parsed (count in *found, may be 0), 0 = not our answer (ignore),
// -1 = the server answered with an error.
int parse_answer(const unsigned char* msg, int len, uint16_t id, uint32_t* addrs, int max,
                 int* found) {
    *found = 0;
    if (len < 12 || rd16(msg) != id || (msg[2] & 0x80) == 0) {
        return 0;
    }
    int rcode = msg[3] & 0x0F;
    if (rcode != 0) {
        prt(LOG_DEBUG_LEVEL, "dns answer rcode %d", rcode);
        return -1;
    }
    int qd = rd16(msg + 4);
    int an = rd16(msg + 6);
    int pos = 12;
    for (int i = 0; i < qd; ++i) {
        if (!skip_name(msg, len, &pos) || pos + 4 > len) {
            return -1;
        }
        pos += 4;
    }
    for (int i = 0; i < an && *found < max; ++i) {
        if (!skip_name(msg, len, &pos) || pos + 10 > len) {
            return -1;
        }
        uint16_t type = rd16(msg + pos);
        uint16_t cls = rd16(msg + pos + 2);
        uint16_t rdlen = rd16(msg + pos + 8);
        pos += 10;
        if (pos + rdlen > len) {
            return -1;
        }
        if (type == 1 && cls == 1 && rdlen == 4) {
            uint32_t a;
            memcpy(&a, msg + pos, 4);
            addrs[(*found)++] = a;
        }
        pos += rdlen;
    }
    return 1;
}

int64_t now_ms() {
    return static_cast<int64_t>(HAL_UptimeMs());
}

}  // namespace

int dns_set_servers(const char* const* servers, int count) {
    std::vector<std::string> list;
    if (servers == nullptr || count <= 0) {
        list.assign(std::begin(kDefaultServers), std::end(kDefaultServers));
    } else {
        if (count > DNS_MAX_SERVERS) {
            prt(LOG_ERR_LEVEL, "dns: at most %d servers, %d given", DNS_MAX_SERVERS, count);
            return -1;
        }
        for (int i = 0; i < count; ++i) {
            struct sockaddr_in sa;
            if (!parse_server(servers[i], &sa)) {
                prt(LOG_ERR_LEVEL, "dns: bad server '%s'", servers[i] ? servers[i] : "(null)");
                return -1;
            }
            list.emplace_back(servers[i]);
        }
    }
    std::lock_guard<std::mutex> lock(g_lock);
    g_servers.swap(list);
    return 0;
}

void dns_set_policy(int query_timeout_ms, int attempts, int retry_pause_ms) {
    g_timeout_ms.store(query_timeout_ms > 0 ? query_timeout_ms : DNS_DEFAULT_TIMEOUT_MS);
    g_attempts.store(attempts > 0 ? attempts : kDefaultAttempts);
    g_pause_ms.store(retry_pause_ms > 0 ? retry_pause_ms : kDefaultPauseMs);
}

namespace tether_port {

int dns_attempts() {
    return g_attempts.load();
}
int dns_retry_pause_ms() {
    return g_pause_ms.load();
}

}  // namespace tether_port

int dns_resolve(const char* server, const char* host, uint32_t* addrs, int max) {
    struct sockaddr_in sa;
    if (host == nullptr || addrs == nullptr || max <= 0 || !parse_server(server, &sa)) {
        prt(LOG_ERR_LEVEL, "dns_resolve: paras err");
        return -1;
    }
    uint16_t id = 0;
    if (getrandom(&id, sizeof(id), 0) != sizeof(id)) {
        id = static_cast<uint16_t>(HAL_UptimeMs());
    }
    unsigned char buf[kBufBytes];
    int qlen = build_query(id, host, buf, sizeof(buf));
    if (qlen < 0) {
        prt(LOG_ERR_LEVEL, "dns: invalid host name '%s'", host);
        return -1;
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        prt(LOG_ERR_LEVEL, "dns socket: %s", strerror(errno));
        return -1;
    }
    int bufsize = kBufBytes;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufsize, sizeof(bufsize));
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufsize, sizeof(bufsize));
    int timeout = g_timeout_ms.load();
    int result = -1;
    // Connected, so only the asked server's datagrams reach us and an ICMP
    // "port unreachable" ends the wait at once.
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof(sa)) != 0) {
        prt(LOG_ERR_LEVEL, "dns socket: %s", strerror(errno));
        close(fd);
        return -1;
    }
    struct pollfd pfd = {fd, POLLOUT, 0};
    if (poll(&pfd, 1, timeout) != 1 || send(fd, buf, static_cast<size_t>(qlen), 0) != qlen) {
        prt(LOG_ERR_LEVEL, "send dns request message failed: %s", strerror(errno));
        close(fd);
        return -1;
    }
    int64_t deadline = now_ms() + timeout;
    for (;;) {
        int64_t left = deadline - now_ms();
        if (left <= 0) {
            prt(LOG_DEBUG_LEVEL, "dns: no answer from %s for '%s'", server, host);
            break;
        }
        pfd.events = POLLIN;
        pfd.revents = 0;
        int pr = poll(&pfd, 1, static_cast<int>(left));
        if (pr < 0 && errno == EINTR) {
            continue;
        }
        if (pr <= 0) {
            continue;  // time-out is caught at the top
        }
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            prt(LOG_DEBUG_LEVEL, "dns: recv from %s: %s", server, strerror(errno));
            break;
        }
        int found = 0;
        int pr2 = parse_answer(buf, static_cast<int>(n), id, addrs, max, &found);
        if (pr2 == 0) {
            continue;  // stale or foreign datagram
        }
        if (pr2 > 0 && found > 0) {
            result = found;
        }
        break;
    }
    close(fd);
    return result;
}

int dns_getaddrinfo(const char* host, uint32_t addrs[DNS_MAX_ADDRS]) {
    if (host == nullptr || host[0] == '\0' || addrs == nullptr) {
        prt(LOG_ERR_LEVEL, "dns_getaddrinfo: paras err");
        return -1;
    }
    struct in_addr lit;
    if (inet_pton(AF_INET, host, &lit) == 1) {
        addrs[0] = lit.s_addr;
        return 1;
    }
    std::vector<std::string> servers;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        servers = g_servers;
    }
    for (const std::string& s : servers) {
        prt(LOG_DEBUG_LEVEL, "dns server: %s\n", s.c_str());
        int n = dns_resolve(s.c_str(), host, addrs, DNS_MAX_ADDRS);
        if (n > 0) {
            return n;
        }
    }
    return -1;
}
