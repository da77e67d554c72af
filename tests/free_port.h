// A loopback port for a test peer, safe while many test processes run at once.
//
// Asking the kernel for port 0 and closing the socket hands out a port from
// the ephemeral range, which the next outgoing connection of any process may
// take before the peer binds it. So ports come from below that range, and
// each one is reserved with a lock file that this process holds until it
// exits; the devcloud's Python helper takes the same locks.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <random>
#include <string>

namespace kestrel_test {

inline int EphemeralLow() {
    int low = 32768, high = 60999;
    if (FILE* f = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
        if (std::fscanf(f, "%d %d", &low, &high) != 2)
            low = 32768;
        std::fclose(f);
    }
    return low;
}

inline bool PortBindable(int type, int port) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
    close(fd);
    return ok;
}

// Holds the port's lock for the rest of the process; false when another
// process holds it.
inline bool LockPort(int port) {
    const char* dir = "/tmp/kestrel-ports";
    mkdir(dir, 01777);
    chmod(dir, 01777);
    std::string path = std::string(dir) + "/" + std::to_string(port);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
    return true;  // fd stays open on purpose: the lock lasts until exit
}

// A port free for both TCP and UDP on 127.0.0.1, or -1.
inline int FreePort(int type = SOCK_STREAM) {
    static std::mutex mutex;
    static std::mt19937 rng{std::random_device{}()};
    std::lock_guard<std::mutex> lock(mutex);
    int high = EphemeralLow() - 1;
    int low = high > 12000 ? 10000 : 1024;
    std::uniform_int_distribution<int> pick(low, high);
    for (int i = 0; i < 500; ++i) {
        int port = pick(rng);
        if (PortBindable(type, port) && LockPort(port) && PortBindable(type, port))
            return port;
    }
    return -1;
}

}  // namespace kestrel_test
