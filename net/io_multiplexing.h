// Level-triggered readiness over epoll, shared by the network engine and the
// task queue. At most kMaxEvents descriptors may be registered at once: the
// event array is sized to that, and a wait asks for as many events as there
// are registered descriptors.
#ifndef KESTREL_NET_IO_MULTIPLEXING_H
#define KESTREL_NET_IO_MULTIPLEXING_H

#include <sys/epoll.h>

namespace kestrel {

class IoMultiplexing {
  public:
    enum { kMaxEvents = 256 };

    IoMultiplexing();
    ~IoMultiplexing();
    IoMultiplexing(const IoMultiplexing&) = delete;
    IoMultiplexing& operator=(const IoMultiplexing&) = delete;

    bool Ok() const { return ok_; }
    int Count() const { return count_; }

    // 0 on success, -1 on failure (also when kMaxEvents are registered).
    int AddFd(int fd, bool read, bool write);
    int DeleteFd(int fd);
    // Changes the interest of a registered descriptor.
    int ModifyFd(int fd, bool read, bool write);
    // Ready descriptors, 0 on time-out (or an interrupted wait), negative on error.
    int Dispatch(bool block, unsigned long ms);
    // Readiness of `fd` in the last Dispatch; both false when it was not ready.
    int FdCheck(int fd, bool& readable, bool& writable);
    // The ready descriptors of the last Dispatch, by index (0..ReadyCount-1).
    int ReadyCount() const { return ready_; }
    void ReadyAt(int index, int& fd, bool& readable, bool& writable) const;

    static void Sleep(unsigned long ms);

  private:
    int epfd_;
    bool ok_;
    int count_;
    int ready_;
    struct epoll_event* events_;
};

}  // namespace kestrel

#endif  // KESTREL_NET_IO_MULTIPLEXING_H
