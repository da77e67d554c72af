#include "net/net_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/logger.h"
#include "core/time.h"

namespace kestrel {

namespace {

uint64_t now_ms() {
    return Time::GetSystemTimeInt(0);
}

}  // namespace

namespace NetSocketCommon {

int MakeNonBlock(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) {
        KS_LOGD("fcntl(%d, F_GETFL)", fd);
        return -1;
    }
    if (flags & O_NONBLOCK) {
        return 0;
    }
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        KS_LOGD("fcntl(%d, F_SETFL)", fd);
        return -1;
    }
    return 0;
}

bool ErrorWouldBlock() {
    return errno == EAGAIN || errno == EINTR || errno == EINPROGRESS;
}

bool IpValid(const std::string& ip) {
    if (ip.empty() || ip.size() > 15) {
        return false;
    }
    int parts = 0;
    int value = -1;
    for (char c : ip) {
        if (c == '.') {
            if (value < 0) {
                return false;
            }
            ++parts;
            value = -1;
        } else if (c >= '0' && c <= '9') {
            value = (value < 0 ? 0 : value * 10) + (c - '0');
            if (value > 255) {
                return false;
            }
        } else {
            return false;
        }
    }
    return parts == 3 && value >= 0;
}

}  // namespace NetSocketCommon

NetSocket::NetSocket() = default;

NetSocket::~NetSocket() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

void NetSocket::SetKeepAlive(int idle_s, int interval_s, int count) {
    keepalive_interval_s_ = interval_s > 0 ? interval_s : 1;
    keepalive_count_ = count > 0 ? count : 1;
    keepalive_idle_s_.store(idle_s > 0 ? idle_s : 0);
}

void NetSocket::SetLogInfo(const std::string& info) {
    std::lock_guard<std::mutex> lock(info_mutex_);
    log_info_ = info;
}

std::string NetSocket::LogInfo() {
    std::lock_guard<std::mutex> lock(info_mutex_);
    return log_info_;
}

void NetSocket::SetRemoteIp(const std::string& ip, unsigned short port) {
    remote_ip_ = ip;
    remote_port_ = port;
}

void NetSocket::SetWake(SharedPtr<NetWake> wake) {
    wake_ = wake;
}

void NetSocket::ring() {
    if (wake_) {
        wake_->Ring();
    }
}

void NetSocket::fail(NetSocketDisconnectResult reason) {
    // The first cause wins: a Close() after an error keeps the error's reason.
    int state = state_.load();
    while (state != SOCKET_CLOSING) {
        if (state_.compare_exchange_weak(state, SOCKET_CLOSING)) {
            reason_ = reason;
            break;
        }
    }
    ring();
}

void NetSocket::Connect(unsigned long timeout_ms) {
    if (!NetSocketCommon::IpValid(remote_ip_)) {
        KS_LOGE("%s Illegal ip", LogInfo().c_str());
        fail(DISCONNECT_ILLEGAL_IP);
        return;
    }
    connect_deadline_ = timeout_ms ? now_ms() + timeout_ms : 0;
    // Only an idle socket starts connecting; the swap cannot undo a close
    // that raced it.
    int idle = SOCKET_IDLE;
    state_.compare_exchange_strong(idle, SOCKET_CONNECT);
    KS_LOGV("%s Socket start connect", LogInfo().c_str());
    ring();
}

void NetSocket::Close() {
    fail(DISCONNECT_CLOSED);
    KS_LOGV("%s Socket close", LogInfo().c_str());
}

void NetSocket::RequestWrite() {
    write_requested_ = true;
    ring();
}

void NetSocket::SetTimer(unsigned long delay_ms) {
    timer_at_ = delay_ms ? now_ms() + delay_ms : 0;
    ring();
}

uint64_t NetSocket::NextDeadline() {
    uint64_t timer = timer_at_.load();
    if (state_.load() == SOCKET_CONNECTING) {
        uint64_t connect = connect_deadline_.load();
        if (connect != 0 && (timer == 0 || connect < timer)) {
            return connect;
        }
    }
    return timer;
}

void NetSocket::RealTimer(uint64_t now) {
    uint64_t at = timer_at_.load();
    if (at != 0 && now >= at && timer_at_.compare_exchange_strong(at, 0)) {
        OnTimer();
    }
}

void NetSocket::RealConnect() {
    if (state_.load() != SOCKET_CONNECT) {
        KS_LOGE("%s Status error, status = %d", LogInfo().c_str(), state_.load());
        fail(DISCONNECT_STATUS_ERROR);
        return;
    }
    fd_ = protocol_ == 0 ? socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP)
                         : socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd_ < 0) {
        KS_LOGD("%s Create socket failed, error = %d ", LogInfo().c_str(), errno);
        fd_ = -1;
        fail(DISCONNECT_CONNECT_FAILED);
        return;
    }
    if (NetSocketCommon::MakeNonBlock(fd_) < 0) {
        KS_LOGD("%s Set socket non-block, error = %d ", LogInfo().c_str(), errno);
        fail(DISCONNECT_CONNECT_FAILED);
        return;
    }
    if (protocol_ == 0) {
        // Every queued message leaves at once: a frame's tail must not wait
        // for the peer's delayed acknowledgement of its head.
        int on = 1;
        if (setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) < 0) {
            KS_LOGD("%s TCP_NODELAY not set, error = %d", LogInfo().c_str(), errno);
        }
        int idle = keepalive_idle_s_.load();
        if (idle > 0) {
            int interval = keepalive_interval_s_, count = keepalive_count_;
            if (setsockopt(fd_, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on)) < 0 ||
                setsockopt(fd_, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle)) < 0 ||
                setsockopt(fd_, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval)) < 0 ||
                setsockopt(fd_, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof(count)) < 0) {
                KS_LOGW("%s TCP keep-alive not set, error = %d", LogInfo().c_str(), errno);
            }
        }
    }
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(remote_port_);
    inet_pton(AF_INET, remote_ip_.c_str(), &addr.sin_addr);
    int ret = connect(fd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
    if (ret == 0 || NetSocketCommon::ErrorWouldBlock()) {
        int expected = SOCKET_CONNECT;
        state_.compare_exchange_strong(expected, SOCKET_CONNECTING);
        return;
    }
    KS_LOGD("%s ConnectIp failed, ip = %s, port = %d, error = %d ", LogInfo().c_str(),
            remote_ip_.c_str(), remote_port_, errno);
    fail(DISCONNECT_CONNECT_FAILED);
}

bool NetSocket::RealConnectCheck() {
    uint64_t deadline = connect_deadline_.load();
    if (deadline != 0 && now_ms() > deadline) {
        KS_LOGE("%s Connect time out", LogInfo().c_str());
        fail(DISCONNECT_CONNECT_TIMEOUT);
        return true;
    }
    return false;
}

void NetSocket::RealWrite() {
    int state = state_.load();
    if (state != SOCKET_CONNECTING && state != SOCKET_CONNECTED) {
        KS_LOGE("%s Status error, status = %d", LogInfo().c_str(), state);
        fail(DISCONNECT_STATUS_ERROR);
        return;
    }
    if (state == SOCKET_CONNECTING) {
        int err = 0;
        socklen_t len = sizeof(err);
        if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) < 0 ||
            (err != 0 && err != EINTR && err != EINPROGRESS)) {
            KS_LOGE("%s Socket error, shutdown, error = %d", LogInfo().c_str(), err);
            fail(DISCONNECT_SOCKET_ERROR);
            return;
        }
        if (err != 0) {
            KS_LOGD("%s Socket connect is not finished", LogInfo().c_str());
            return;
        }
        int expected = SOCKET_CONNECTING;
        if (!state_.compare_exchange_strong(expected, SOCKET_CONNECTED)) {
            return;  // closed meanwhile
        }
        // The owner gets its first write turn right after the connect.
        write_requested_ = true;
        OnConnect();
        if (state_.load() != SOCKET_CONNECTED) {
            return;
        }
    }
    if (OnWrite() < 0) {
        KS_LOGE("%s Socket error, shutdown", LogInfo().c_str());
        fail(DISCONNECT_SOCKET_ERROR);
    }
}

void NetSocket::RealRead() {
    int state = state_.load();
    if (state == SOCKET_CONNECTING) {
        KS_LOGD("%s Socket not connected, wait", LogInfo().c_str());
        return;
    }
    if (state != SOCKET_CONNECTED) {
        KS_LOGE("%s Status error, status = %d", LogInfo().c_str(), state);
        fail(DISCONNECT_STATUS_ERROR);
        return;
    }
    unsigned long total = 0;
    for (;;) {
        ssize_t n = read(fd_, read_buffer_, kReadBufferLen);
        if (n < 0) {
            if (!NetSocketCommon::ErrorWouldBlock()) {
                KS_LOGW("%s Read error, ret = %zd, errno = %d", LogInfo().c_str(), n, errno);
                fail(DISCONNECT_READ_ERROR);
                return;
            }
            // Nothing more waiting: hand on what came so far, even when the
            // last read happened to fill the buffer exactly.
            if (total > 0 && OnRead(read_buffer_, 0, true) < 0) {
                KS_LOGE("%s Read data error", LogInfo().c_str());
                fail(DISCONNECT_READ_ERROR);
            }
            return;
        }
        if (n == 0) {
            if (total > 0) {
                OnRead(read_buffer_, 0, true);
            }
            KS_LOGI("%s Connection is closed", LogInfo().c_str());
            fail(DISCONNECT_PEER_CLOSED);
            return;
        }
        total += static_cast<unsigned long>(n);
        bool last = static_cast<unsigned long>(n) < kReadBufferLen || total >= kReadBudget ||
                    protocol_ != 0;
        if (OnRead(read_buffer_, static_cast<unsigned long>(n), last) < 0) {
            KS_LOGE("%s Read data error", LogInfo().c_str());
            fail(DISCONNECT_READ_ERROR);
            return;
        }
        if (last || state_.load() != SOCKET_CONNECTED) {
            return;
        }
    }
}

void NetSocket::RealDisconnect() {
    OnDisConnect(static_cast<NetSocketDisconnectResult>(reason_.load()));
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

long NetSocket::SendPieces(const IoPieces& pieces, const SharedPtr<SharedBytes>&) {
    std::vector<uint8_t> flat;
    pieces.AppendTo(&flat);
    if (flat.empty()) {
        return 0;
    }
    return Send(reinterpret_cast<const char*>(flat.data()), flat.size());
}

long NetSocket::privateSendv(const struct iovec* iov, int count) {
    ssize_t n;
    if (protocol_ == 0) {
        struct msghdr msg;
        memset(&msg, 0, sizeof msg);
        msg.msg_iov = const_cast<struct iovec*>(iov);
        msg.msg_iovlen = static_cast<size_t>(count);
        n = sendmsg(fd_, &msg, MSG_NOSIGNAL);
    } else {
        n = writev(fd_, iov, count);
    }
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) {
            return 0;
        }
        KS_LOGE("%s Write failed %d", LogInfo().c_str(), errno);
        return -1;
    }
    if (n == 0) {
        KS_LOGE("%s Write failed", LogInfo().c_str());
        return -1;
    }
    return n;
}

long NetSocket::privateSend(const char* data, unsigned long len) {
    struct iovec one;
    one.iov_base = const_cast<char*>(data);
    one.iov_len = len;
    return privateSendv(&one, 1);
}

}  // namespace kestrel
