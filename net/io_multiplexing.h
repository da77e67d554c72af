// Level-triggered readiness over epoll, shared by the network engine and the
// task queue. The capacity, fixed at construction, bounds both the number of
// descriptors registered at once and the events one wait reports.
#ifndef KESTREL_NET_IO_MULTIPLEXING_H
#define KESTREL_NET_IO_MULTIPLEXING_H

#include <sys/epoll.h>

#include <cstdint>

namespace kestrel {

class IoMultiplexing {
  public:
    enum { kMaxEvents = 256 };

    explicit IoMultiplexing(int capacity = kMaxEvents);
    ~IoMultiplexing();
    IoMultiplexing(const IoMultiplexing&) = delete;
    IoMultiplexing& operator=(const IoMultiplexing&) = delete;

    bool Ok() const { return ok_; }
    int Count() const { return count_; }
    int Capacity() const { return capacity_; }

    // 0 on success, -1 on failure (also when `capacity` descriptors are
    // registered). `tag` comes back with every event of the descriptor, so an
    // owner can tell a reused descriptor number from the one it registered.
    int AddFd(int fd, bool read, bool write, uint32_t tag = 0);
    int DeleteFd(int fd);
    // Changes the interest of a registered descriptor (and its tag).
    int ModifyFd(int fd, bool read, bool write, uint32_t tag = 0);
    // Ready descriptors, 0 on time-out (or an interrupted wait), negative on error.
    int Dispatch(bool block, unsigned long ms);
    // Readiness of `fd` in the last Dispatch; both false when it was not ready.
    int FdCheck(int fd, bool& readable, bool& writable);
    // The ready descriptors of the last Dispatch, by index (0..ReadyCount-1).
    int ReadyCount() const { return ready_; }
    void ReadyAt(int index, int& fd, bool& readable, bool& writable) const;
    uint32_t ReadyTag(int index) const;

    static void Sleep(unsigned long ms);

  private:
    int epfd_;
    bool ok_;
    int capacity_;
    int count_;
    int ready_;
    struct epoll_event* events_;
};

}  // namespace kestrel

#endif  // KESTREL_NET_IO_MULTIPLEXING_H
