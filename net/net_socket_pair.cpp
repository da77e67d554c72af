#include "net/net_socket_pair.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

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
    std::lock_guard<std::mutex> lk(mutex_);
    if (!closed_) {
        return 0;
    }
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        KS_LOGE("Create socket pair failed ");
        return -1;
    }
    if (!make_non_block(fds[0]) || !make_non_block(fds[1])) {
        KS_LOGE("Make socket non block failed ");
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
    write_fd_ = fds[0];
    read_fd_ = fds[1];
    closed_ = false;
    return 0;
}

long NetSocketPair::Send(const char* data, unsigned long len) {
    std::lock_guard<std::mutex> lk(mutex_);
    if (closed_) {
        return -1;
    }
    ssize_t n = write(write_fd_, data, len);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return static_cast<long>(len);
    }
    if (n <= 0) {
        KS_LOGE("Write failed");
        return -1;
    }
    return static_cast<long>(n);
}

int NetSocketPair::GetReadFd() {
    std::lock_guard<std::mutex> lk(mutex_);
    return read_fd_;
}

bool NetSocketPair::IsClosed() {
    std::lock_guard<std::mutex> lk(mutex_);
    return closed_;
}

void NetSocketPair::Readable() {
    std::lock_guard<std::mutex> lk(mutex_);
    if (closed_) {
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
            KS_LOGE("Read error, ret = %zd", n);
            stopLocked();
            return;
        }
        if (n == 0) {
            KS_LOGE("Read error, connect lost");
            stopLocked();
            return;
        }
        if (n < static_cast<ssize_t>(sizeof(buffer_))) {
            return;
        }
    }
}

void NetSocketPair::Stop() {
    std::lock_guard<std::mutex> lk(mutex_);
    stopLocked();
}

void NetSocketPair::stopLocked() {
    if (closed_) {
        return;
    }
    if (write_fd_ >= 0) {
        close(write_fd_);
    }
    if (read_fd_ >= 0) {
        close(read_fd_);
    }
    write_fd_ = -1;
    read_fd_ = -1;
    closed_ = true;
}

}  // namespace kestrel
