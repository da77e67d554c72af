#include "net/io_multiplexing.h"

#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/logger.h"

namespace kestrel {

namespace {

// The descriptor rides in the low half of the event's data, the owner's tag
// in the high half.
uint64_t pack(int fd, uint32_t tag) {
    return (static_cast<uint64_t>(tag) << 32) | static_cast<uint32_t>(fd);
}

int fd_of(const struct epoll_event& ev) {
    return static_cast<int>(static_cast<uint32_t>(ev.data.u64 & 0xffffffffu));
}

}  // namespace

IoMultiplexing::IoMultiplexing(int capacity)
    : epfd_(-1),
      ok_(false),
      capacity_(capacity > 0 ? capacity : 1),
      count_(0),
      ready_(0),
      events_(new struct epoll_event[capacity_]) {
    memset(events_, 0, sizeof(struct epoll_event) * capacity_);
    epfd_ = epoll_create1(EPOLL_CLOEXEC);
    if (epfd_ < 0) {
        KS_LOGE("Epoll create failed, ret = %d", epfd_);
        return;
    }
    ok_ = true;
}

IoMultiplexing::~IoMultiplexing() {
    delete[] events_;
    if (epfd_ >= 0) {
        close(epfd_);
    }
}

int IoMultiplexing::AddFd(int fd, bool read, bool write, uint32_t tag) {
    if (!ok_) {
        return -1;
    }
    if (count_ >= capacity_) {
        KS_LOGE("Too many fds, fd = %d, count = %d", fd, count_);
        return -1;
    }
    struct epoll_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.events = (read ? EPOLLIN : 0u) | (write ? EPOLLOUT : 0u);
    ev.data.u64 = pack(fd, tag);
    if (epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
        KS_LOGE("Epoll add failed, fd = %d, errno = %d", fd, errno);
        return -1;
    }
    ++count_;
    return 0;
}

int IoMultiplexing::DeleteFd(int fd) {
    if (!ok_) {
        return -1;
    }
    if (epoll_ctl(epfd_, EPOLL_CTL_DEL, fd, nullptr) != 0) {
        return -1;
    }
    --count_;
    return 0;
}

int IoMultiplexing::ModifyFd(int fd, bool read, bool write, uint32_t tag) {
    if (!ok_) {
        return -1;
    }
    struct epoll_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.events = (read ? EPOLLIN : 0u) | (write ? EPOLLOUT : 0u);
    ev.data.u64 = pack(fd, tag);
    if (epoll_ctl(epfd_, EPOLL_CTL_MOD, fd, &ev) != 0) {
        KS_LOGE("Epoll modify failed, fd = %d, errno = %d", fd, errno);
        return -1;
    }
    return 0;
}

void IoMultiplexing::ReadyAt(int index, int& fd, bool& readable, bool& writable) const {
    fd = -1;
    readable = false;
    writable = false;
    if (index < 0 || index >= ready_) {
        return;
    }
    uint32_t ev = events_[index].events;
    fd = fd_of(events_[index]);
    // Errors and hang-ups are reported as readable and writable so the
    // socket's own read or write step finds and reports them.
    readable = (ev & (EPOLLIN | EPOLLERR | EPOLLHUP)) != 0;
    writable = (ev & (EPOLLOUT | EPOLLERR)) != 0;
}

uint32_t IoMultiplexing::ReadyTag(int index) const {
    if (index < 0 || index >= ready_) {
        return 0;
    }
    return static_cast<uint32_t>(events_[index].data.u64 >> 32);
}

int IoMultiplexing::Dispatch(bool block, unsigned long ms) {
    if (!ok_) {
        return -1;
    }
    // Only the first ready_ entries are ever read, so the array is not cleared.
    ready_ = 0;
    int max_events = count_ > 0 ? (count_ < capacity_ ? count_ : capacity_) : 1;
    int timeout = block ? -1 : (ms > 0x7fffffffUL ? 0x7fffffff : static_cast<int>(ms));
    int n = epoll_wait(epfd_, events_, max_events, timeout);
    if (n < 0) {
        // A signal is not a failure of the loop; the caller simply polls again.
        if (errno == EINTR) {
            return 0;
        }
        return n;
    }
    ready_ = n;
    return n;
}

int IoMultiplexing::FdCheck(int fd, bool& readable, bool& writable) {
    readable = false;
    writable = false;
    if (!ok_) {
        return -1;
    }
    for (int i = 0; i < ready_; ++i) {
        if (fd_of(events_[i]) == fd) {
            // Errors and hang-ups are reported as readable and writable so
            // the socket's own read or write step finds and reports them.
            uint32_t ev = events_[i].events;
            readable = (ev & (EPOLLIN | EPOLLERR | EPOLLHUP)) != 0;
            writable = (ev & (EPOLLOUT | EPOLLERR)) != 0;
            break;
        }
    }
    return 0;
}

void IoMultiplexing::Sleep(unsigned long ms) {
    struct timeval tv;
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    select(0, nullptr, nullptr, nullptr, &tv);
}

}  // namespace kestrel
