#include "counting_hooks.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

// glibc's checked entry points do the work without going through the
// replaced symbols.
extern "C" void* __memcpy_chk(void* dst, const void* src, size_t n, size_t dst_len);
extern "C" void* __memmove_chk(void* dst, const void* src, size_t n, size_t dst_len);
// The same function pthread_mutex_lock is, under its other exported name.
extern "C" int framepath_real_lock(pthread_mutex_t* m);
__asm__(".symver framepath_real_lock,__pthread_mutex_lock@GLIBC_2.2.5");

namespace framepath {

namespace {

struct Slot {
    std::atomic<pid_t> tid{0};
    std::atomic<uint64_t> locks{0}, ignored{0}, copies{0}, bytes{0};
};
constexpr int kSlots = 256;
Slot g_slots[kSlots];
std::atomic<int> g_used{0};
std::atomic<bool> g_on{false};
std::atomic<size_t> g_min_copy{0};
std::atomic<const void*> g_ignore{nullptr};
std::atomic<pid_t> g_learner{0};
std::atomic<const void*> g_learned{nullptr};
thread_local Slot* t_slot = nullptr;

struct MutexCount {
    std::atomic<const void*> key{nullptr};
    std::atomic<uint64_t> app{0}, others{0};
};
constexpr size_t kMutexes = 4096;
MutexCount g_mutexes[kMutexes];
std::atomic<pid_t> g_app{0};

void CountMutex(const void* m, bool app) {
    size_t h = (reinterpret_cast<uintptr_t>(m) >> 4) % kMutexes;
    for (size_t i = 0; i < kMutexes; ++i) {
        MutexCount& c = g_mutexes[(h + i) % kMutexes];
        const void* k = c.key.load();
        if (k == nullptr) {
            const void* empty = nullptr;
            if (!c.key.compare_exchange_strong(empty, m) && empty != m) {
                continue;
            }
        } else if (k != m) {
            continue;
        }
        (app ? c.app : c.others).fetch_add(1);
        return;
    }
}

Slot* Mine() {
    if (!t_slot) {
        int i = g_used.fetch_add(1);
        if (i >= kSlots) {
            return nullptr;
        }
        g_slots[i].tid = static_cast<pid_t>(syscall(SYS_gettid));
        t_slot = &g_slots[i];
    }
    return t_slot;
}

void CountCopy(size_t n) {
    if (g_on.load(std::memory_order_relaxed) && n >= g_min_copy.load(std::memory_order_relaxed)) {
        if (Slot* s = Mine()) {
            s->copies.fetch_add(1, std::memory_order_relaxed);
            s->bytes.fetch_add(n, std::memory_order_relaxed);
        }
    }
}

}  // namespace

void Start(size_t min_copy) {
    g_min_copy = min_copy;
    for (int i = 0; i < kSlots; ++i) {
        g_slots[i].locks = g_slots[i].ignored = g_slots[i].copies = g_slots[i].bytes = 0;
    }
    for (MutexCount& c : g_mutexes) {
        c.key = nullptr;
        c.app = c.others = 0;
    }
    g_on = true;
}

void Stop() {
    g_on = false;
}

void SetApp(pid_t tid) {
    g_app = tid;
}

uint64_t PrivateLocksOfOthers() {
    uint64_t n = 0;
    for (const MutexCount& c : g_mutexes) {
        if (c.key.load() && c.app.load() == 0) {
            n += c.others.load();
        }
    }
    return n;
}

int SharedMutexes() {
    int n = 0;
    for (const MutexCount& c : g_mutexes) {
        n += c.key.load() && c.app.load() && c.others.load();
    }
    return n;
}

void Ignore(const void* mutex) {
    g_ignore = mutex;
}

void Learn(bool on) {
    Mine();
    if (on) {
        g_learned = nullptr;
    }
    g_learner = on ? Tid() : 0;
}

const void* Learned() {
    return g_learned.load();
}

pid_t Tid() {
    return static_cast<pid_t>(syscall(SYS_gettid));
}

std::vector<ThreadCount> Snapshot() {
    std::vector<ThreadCount> out;
    int n = std::min(g_used.load(), kSlots);
    for (int i = 0; i < n; ++i) {
        ThreadCount c;
        c.tid = g_slots[i].tid;
        c.locks = g_slots[i].locks;
        c.ignored_locks = g_slots[i].ignored;
        c.big_copies = g_slots[i].copies;
        c.big_copy_bytes = g_slots[i].bytes;
        out.push_back(c);
    }
    return out;
}

}  // namespace framepath

using namespace framepath;

extern "C" int pthread_mutex_lock(pthread_mutex_t* m) {
    if (g_learner.load(std::memory_order_relaxed) != 0 && t_slot &&
        g_learner.load() == t_slot->tid.load()) {
        g_learned = m;
    }
    if (g_on.load(std::memory_order_relaxed)) {
        if (Slot* s = Mine()) {
            CountMutex(m, s->tid.load() == g_app.load(std::memory_order_relaxed));
            (m == g_ignore.load(std::memory_order_relaxed) ? s->ignored : s->locks)
                .fetch_add(1, std::memory_order_relaxed);
        }
    }
    return framepath_real_lock(m);
}

extern "C" void* memcpy(void* dst, const void* src, size_t n) {
    CountCopy(n);
    return __memcpy_chk(dst, src, n, n);
}

extern "C" void* memmove(void* dst, const void* src, size_t n) {
    CountCopy(n);
    return __memmove_chk(dst, src, n, n);
}
