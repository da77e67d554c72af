// Per-thread counts of what the frame path costs, taken by replacing
// pthread_mutex_lock, memcpy and memmove in this one test program (the
// product code is not instrumented: every lock and every copy counts, from
// the SDK and from the standard library alike).
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace framepath {

struct ThreadCount {
    pid_t tid = 0;
    uint64_t locks = 0;         // pthread_mutex_lock calls, the ignored mutex left out
    uint64_t ignored_locks = 0;  // calls on the ignored mutex
    uint64_t big_copies = 0;    // memcpy/memmove calls of at least the threshold
    uint64_t big_copy_bytes = 0;
};

// Counting runs only between Start and Stop; copies below `min_copy` bytes
// (framing, descriptors, log text) are not counted as copies of a frame.
void Start(size_t min_copy);
void Stop();
// A mutex whose locks are counted apart (the frame ring's: the crossing).
void Ignore(const void* mutex);
// The calling thread's counts go to Learn()'s result: the address of the
// one mutex the calling thread locked since Learn(true).
void Learn(bool on);
const void* Learned();
std::vector<ThreadCount> Snapshot();
// Locks taken by threads other than `app` (set with SetApp) on mutexes the
// app thread never took while counting: what the other side locks on its
// own, with the mutexes of the hand-off (ring, wake-up) left out.
uint64_t PrivateLocksOfOthers();
// Mutexes locked by both sides while counting.
int SharedMutexes();
void SetApp(pid_t tid);
pid_t Tid();

}  // namespace framepath
