#include "net/net_socket_pair.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "core/logger.h"

namespace kestrel {

namespace {

bool make_non_block(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) {
        return false;
    }
    return (flags & O_NONBLOCK) != 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

NetSocketPair::~NetSocketPair() {
    Stop();
}

int NetSocketPair::Start() {
    if (!closed_.load()) {
        return 0;
    }
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        KS_LOGE("Create socket pair failed: %s", strerror(errno));
        return -1;
    }
    if (!make_non_block(fds[0]) || !make_non_block(fds[1])) {
        KS_LOGE("Make socket non block failed: %s", strerror(errno));
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
    write_fd_.store(fds[0]);
    read_fd_ = fds[1];
    closed_.store(false);
    return 0;
}

long NetSocketPair::Send(const char* data, unsigned long len) {
    senders_.fetch_add(1);
    long result = -1;
    if (!closed_.load()) {
        ssize_t n = write(write_fd_.load(), data, len);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            result = static_cast<long>(len);
        } else if (n <= 0) {
            KS_LOGE("Write failed: %s", n < 0 ? strerror(errno) : "nothing written");
        } else {
            result = static_cast<long>(n);
        }
    }
    senders_.fetch_sub(1);
    return result;
}

void NetSocketPair::Readable() {
    if (closed_.load()) {
        return;
    }
    for (;;) {
        ssize_t n = read(read_fd_, buffer_, sizeof(buffer_));
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                // Only seen when the previous read took exactly a full buffer:
                // the pipe is drained, which is what we wanted.
                KS_LOGD("Read wait, ret = %zd", n);
                return;
            }
            KS_LOGE("Read error: %s", strerror(errno));
            Stop();
            return;
        }
        if (n == 0) {
            KS_LOGE("Read error, connect lost");
            Stop();
            return;
        }
        if (n < static_cast<ssize_t>(sizeof(buffer_))) {
            return;
        }
    }
}

void NetSocketPair::Stop() {
    if (closed_.exchange(true)) {
        return;
    }
    // A Send that counted itself in before closed_ was set finishes its one
    // non-blocking write; later ones see closed_ and write nothing.
    while (senders_.load() != 0) {
        std::this_thread::yield();
    }
    close(write_fd_.exchange(-1));
    close(read_fd_);
    read_fd_ = -1;
}

}  // namespace kestrel
