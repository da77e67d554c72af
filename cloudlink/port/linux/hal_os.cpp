// Memory, time, timers, random numbers, locks, semaphores, threads and a few
// system queries on Linux.
#include <arpa/inet.h>
#include <errno.h>
#include <net/if.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "port/linux/hal_internal.h"
#include "tether/hal.h"

using tether_port::prt;

// ---------------------------------------------------------------------------
// Memory
// ---------------------------------------------------------------------------
void* HAL_Malloc(uint32_t size) {
    return malloc(size);
}
void* HAL_Calloc(uint32_t nmemb, uint32_t size) {
    return calloc(nmemb, size);
}
void* HAL_Realloc(void* ptr, uint32_t size) {
    return realloc(ptr, size);
}
void HAL_Free(void* ptr) {
    free(ptr);
}

// ---------------------------------------------------------------------------
// Time
// ---------------------------------------------------------------------------
namespace {

int64_t wall_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::atomic<int64_t> g_utc_offset_ms{0};

}  // namespace

uint64_t HAL_UptimeMs(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

void HAL_SleepMs(uint32_t ms) {
    struct timespec req;
    req.tv_sec = ms / 1000;
    req.tv_nsec = static_cast<long>(ms % 1000) * 1000000;
    // Resume after a signal so the caller always gets the full pause.
    while (nanosleep(&req, &req) != 0 && errno == EINTR) {
    }
}

char* HAL_GetTimeStr(char* buf, int len) {
    if (buf == nullptr || len <= 0) {
        return buf;
    }
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    localtime_r(&tv.tv_sec, &tm);
    char head[32];
    strftime(head, sizeof(head), "%m-%d %H:%M:%S", &tm);
    snprintf(buf, static_cast<size_t>(len), "%s.%3.3d", head, static_cast<int>(tv.tv_usec / 1000));
    return buf;
}

void HAL_UTC_Set(uint64_t ms) {
    g_utc_offset_ms.store(static_cast<int64_t>(ms) - wall_ms());
}

uint64_t HAL_UTC_Get(void) {
    return static_cast<uint64_t>(wall_ms() + g_utc_offset_ms.load());
}

// ---------------------------------------------------------------------------
// Timers
// ---------------------------------------------------------------------------
// One service thread keeps the deadlines and starts a fresh thread for every
// expiry. (Kernel timers with thread notification would do the same, but
// their helper thread is created inside the C library, where thread checkers
// cannot see it.)
namespace {

struct TimerEntry {
    void (*func)(void*);
    void* ctx;
    bool armed = false;
    struct timespec due;
    std::vector<pthread_t> running;  // threads inside func right now
};

struct TimerService {
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t wake;  // monotonic clock
    pthread_cond_t done;  // a callback returned
    std::map<uintptr_t, std::shared_ptr<TimerEntry>> timers;
    uintptr_t next_id = 1;
    bool started = false;
};

// Never destroyed: the service thread may still be waiting at process exit.
TimerService& timer_service() {
    static TimerService* s = [] {
        TimerService* t = new TimerService;
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        pthread_cond_init(&t->wake, &attr);
        pthread_condattr_destroy(&attr);
        pthread_cond_init(&t->done, nullptr);
        return t;
    }();
    return *s;
}

bool before(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

void* timer_fire(void* arg) {
    TimerService& s = timer_service();
    uintptr_t id = reinterpret_cast<uintptr_t>(arg);
    pthread_mutex_lock(&s.m);
    auto it = s.timers.find(id);
    if (it == s.timers.end()) {  // deleted before this thread got going
        pthread_mutex_unlock(&s.m);
        return nullptr;
    }
    std::shared_ptr<TimerEntry> e = it->second;
    e->running.push_back(pthread_self());
    pthread_mutex_unlock(&s.m);

    e->func(e->ctx);

    pthread_mutex_lock(&s.m);
    auto& r = e->running;
    r.erase(std::find_if(r.begin(), r.end(),
                         [](pthread_t t) { return pthread_equal(t, pthread_self()); }));
    pthread_cond_broadcast(&s.done);
    pthread_mutex_unlock(&s.m);
    return nullptr;
}

void* timer_loop(void*) {
    TimerService& s = timer_service();
    pthread_mutex_lock(&s.m);
    for (;;) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        bool any = false;
        struct timespec next = {0, 0};
        for (auto& kv : s.timers) {
            TimerEntry& e = *kv.second;
            if (!e.armed) {
                continue;
            }
            if (!before(now, e.due)) {
                e.armed = false;
                pthread_attr_t attr;
                pthread_attr_init(&attr);
                pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
                pthread_t tid;
                int err =
                    pthread_create(&tid, &attr, timer_fire, reinterpret_cast<void*>(kv.first));
                pthread_attr_destroy(&attr);
                if (err != 0) {
                    prt(LOG_ERR_LEVEL, "pthread_create failed,ret = %d", err);
                }
            } else if (!any || before(e.due, next)) {
                next = e.due;
                any = true;
            }
        }
        if (any) {
            pthread_cond_timedwait(&s.wake, &s.m, &next);
        } else {
            pthread_cond_wait(&s.wake, &s.m);
        }
    }
    return nullptr;
}

// Caller holds the lock.
std::shared_ptr<TimerEntry> find_timer(TimerService& s, void* timer) {
    auto it = s.timers.find(reinterpret_cast<uintptr_t>(timer));
    return it == s.timers.end() ? nullptr : it->second;
}

int arm_timer(void* timer, int ms, bool arm) {
    TimerService& s = timer_service();
    pthread_mutex_lock(&s.m);
    auto e = find_timer(s, timer);
    if (!e) {
        pthread_mutex_unlock(&s.m);
        prt(LOG_ERR_LEVEL, "unknown timer %p", timer);
        return -1;
    }
    e->armed = arm;
    if (arm) {
        clock_gettime(CLOCK_MONOTONIC, &e->due);
        e->due.tv_sec += ms / 1000;
        e->due.tv_nsec += static_cast<long>(ms % 1000) * 1000000;
        if (e->due.tv_nsec >= 1000000000) {
            e->due.tv_sec += 1;
            e->due.tv_nsec -= 1000000000;
        }
        pthread_cond_signal(&s.wake);
    }
    pthread_mutex_unlock(&s.m);
    return 0;
}

}  // namespace

void* HAL_Timer_Create(const char* name, void (*func)(void*), void* user_data) {
    (void)name;
    if (func == nullptr) {
        prt(LOG_ERR_LEVEL, "timer create: no function");
        return nullptr;
    }
    auto e = std::make_shared<TimerEntry>();
    e->func = func;
    e->ctx = user_data;
    TimerService& s = timer_service();
    pthread_mutex_lock(&s.m);
    if (!s.started) {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_t tid;
        int err = pthread_create(&tid, &attr, timer_loop, nullptr);
        pthread_attr_destroy(&attr);
        if (err != 0) {
            pthread_mutex_unlock(&s.m);
            prt(LOG_ERR_LEVEL, "pthread_create failed,ret = %d", err);
            return nullptr;
        }
        s.started = true;
    }
    uintptr_t id = s.next_id++;
    s.timers[id] = e;
    pthread_mutex_unlock(&s.m);
    return reinterpret_cast<void*>(id);
}

int HAL_Timer_Start(void* timer, int ms) {
    if (ms < 0) {
        prt(LOG_ERR_LEVEL, "timer start: negative time %d", ms);
        return -1;
    }
    return arm_timer(timer, ms, true);
}

int HAL_Timer_Stop(void* timer) {
    return arm_timer(timer, 0, false);
}

int HAL_Timer_Delete(void* timer) {
    TimerService& s = timer_service();
    pthread_mutex_lock(&s.m);
    auto e = find_timer(s, timer);
    if (!e) {
        pthread_mutex_unlock(&s.m);
        prt(LOG_ERR_LEVEL, "unknown timer %p", timer);
        return -1;
    }
    s.timers.erase(reinterpret_cast<uintptr_t>(timer));
    // Wait for callbacks in flight, except our own when deleting from inside.
    for (;;) {
        bool others = false;
        for (pthread_t t : e->running) {
            others = others || !pthread_equal(t, pthread_self());
        }
        if (!others) {
            break;
        }
        pthread_cond_wait(&s.done, &s.m);
    }
    pthread_mutex_unlock(&s.m);
    return 0;
}

// ---------------------------------------------------------------------------
// Random
// ---------------------------------------------------------------------------
void HAL_Srandom(uint32_t seed) {
    srandom(seed);
}

uint32_t HAL_Random(uint32_t region) {
    return region == 0 ? 0 : static_cast<uint32_t>(random()) % region;
}

// ---------------------------------------------------------------------------
// Locks
// ---------------------------------------------------------------------------
void* HAL_MutexCreate(void) {
    pthread_mutex_t* m = static_cast<pthread_mutex_t*>(malloc(sizeof(pthread_mutex_t)));
    if (m == nullptr || pthread_mutex_init(m, nullptr) != 0) {
        free(m);
        prt(LOG_ERR_LEVEL, "create mutex failed");
        return nullptr;
    }
    return m;
}

void HAL_MutexDestroy(void* mutex) {
    if (mutex == nullptr) {
        return;
    }
    int err = pthread_mutex_destroy(static_cast<pthread_mutex_t*>(mutex));
    if (err != 0) {
        prt(LOG_ERR_LEVEL, "destroy mutex failed - '%s' (%d)", strerror(err), err);
    }
    free(mutex);
}

void HAL_MutexLock(void* mutex) {
    if (mutex == nullptr) {
        prt(LOG_ERR_LEVEL, "lock mutex failed: - '%s' (%d)", strerror(EINVAL), EINVAL);
        return;
    }
    int err = pthread_mutex_lock(static_cast<pthread_mutex_t*>(mutex));
    if (err != 0) {
        prt(LOG_ERR_LEVEL, "lock mutex failed: - '%s' (%d)", strerror(err), err);
    }
}

void HAL_MutexUnlock(void* mutex) {
    if (mutex == nullptr) {
        prt(LOG_ERR_LEVEL, "unlock mutex failed - '%s' (%d)", strerror(EINVAL), EINVAL);
        return;
    }
    int err = pthread_mutex_unlock(static_cast<pthread_mutex_t*>(mutex));
    if (err != 0) {
        prt(LOG_ERR_LEVEL, "unlock mutex failed - '%s' (%d)", strerror(err), err);
    }
}

// ---------------------------------------------------------------------------
// Semaphores: a counter under a condition variable on the monotonic clock, so
// a wall-clock step (NTP, manual setting) neither stretches nor cuts a wait.
// ---------------------------------------------------------------------------
namespace {

struct Semaphore {
    pthread_mutex_t m;
    pthread_cond_t c;
    unsigned count;
};

}  // namespace

void* HAL_SemaphoreCreate(void) {
    Semaphore* s = static_cast<Semaphore*>(calloc(1, sizeof(Semaphore)));
    if (s == nullptr) {
        prt(LOG_ERR_LEVEL, "create semaphore failed: no memory");
        return nullptr;
    }
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    int err = pthread_mutex_init(&s->m, nullptr);
    if (err == 0) {
        err = pthread_cond_init(&s->c, &attr);
        if (err != 0) {
            pthread_mutex_destroy(&s->m);
        }
    }
    pthread_condattr_destroy(&attr);
    if (err != 0) {
        prt(LOG_ERR_LEVEL, "create semaphore failed - '%s' (%d)", strerror(err), err);
        free(s);
        return nullptr;
    }
    return s;
}

void HAL_SemaphoreDestroy(void* sem) {
    if (sem == nullptr) {
        return;
    }
    Semaphore* s = static_cast<Semaphore*>(sem);
    pthread_cond_destroy(&s->c);
    pthread_mutex_destroy(&s->m);
    free(s);
}

void HAL_SemaphorePost(void* sem) {
    if (sem == nullptr) {
        prt(LOG_ERR_LEVEL, "semaphore post: NULL");
        return;
    }
    Semaphore* s = static_cast<Semaphore*>(sem);
    pthread_mutex_lock(&s->m);
    s->count++;
    pthread_cond_signal(&s->c);
    pthread_mutex_unlock(&s->m);
}

int HAL_SemaphoreWait(void* sem, uint32_t timeout_ms) {
    if (sem == nullptr) {
        prt(LOG_ERR_LEVEL, "semaphore wait: NULL");
        return -1;
    }
    Semaphore* s = static_cast<Semaphore*>(sem);
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000;
    if (deadline.tv_nsec >= 1000000000) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000;
    }
    int rc = 0;
    pthread_mutex_lock(&s->m);
    while (s->count == 0) {
        if (timeout_ms == HAL_WAIT_FOREVER) {
            pthread_cond_wait(&s->c, &s->m);
        } else if (pthread_cond_timedwait(&s->c, &s->m, &deadline) == ETIMEDOUT && s->count == 0) {
            rc = -1;
            break;
        }
    }
    if (rc == 0) {
        s->count--;
    }
    pthread_mutex_unlock(&s->m);
    return rc;
}

// ---------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------
namespace {

// A thread is detached at birth, so joining is replaced by waiting for this
// record's done flag; the record is freed by whichever of the thread and the
// handle owner lets go last.
struct ThreadCtl {
    void* (*routine)(void*);
    void* arg;
    char name[16];
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::atomic<int> refs{2};
};

thread_local ThreadCtl* t_self = nullptr;

void release(ThreadCtl* ctl) {
    if (ctl->refs.fetch_sub(1) == 1) {
        delete ctl;
    }
}

void* thread_main(void* p) {
    ThreadCtl* ctl = static_cast<ThreadCtl*>(p);
    t_self = ctl;
    if (ctl->name[0] != '\0') {
        pthread_setname_np(pthread_self(), ctl->name);
    }
    ctl->routine(ctl->arg);
    {
        std::lock_guard<std::mutex> lock(ctl->m);
        ctl->done = true;
        ctl->cv.notify_all();
    }
    t_self = nullptr;
    release(ctl);
    return nullptr;
}

}  // namespace

int HAL_ThreadCreate(void** thread_handle, void* (*work_routine)(void*), void* arg,
                     hal_thread_param_t* param, int* stack_used) {
    if (stack_used != nullptr) {
        *stack_used = 0;
    }
    if (work_routine == nullptr) {
        prt(LOG_ERR_LEVEL, "thread create: no routine");
        return -1;
    }
    ThreadCtl* ctl = new (std::nothrow) ThreadCtl;
    if (ctl == nullptr) {
        prt(LOG_ERR_LEVEL, "thread create: no memory");
        return -1;
    }
    ctl->routine = work_routine;
    ctl->arg = arg;
    ctl->name[0] = '\0';
    if (param != nullptr && param->name != nullptr) {
        snprintf(ctl->name, sizeof(ctl->name), "%s", param->name);
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t tid;
    int ret = pthread_create(&tid, &attr, thread_main, ctl);
    pthread_attr_destroy(&attr);
    if (ret != 0) {
        prt(LOG_ERR_LEVEL, "pthread_create failed,ret = %d", ret);
        delete ctl;
        return -1;
    }
    if (thread_handle != nullptr) {
        *thread_handle = ctl;
    } else {
        release(ctl);
    }
    return 0;
}

void HAL_ThreadDetach(void* thread_handle) {
    if (thread_handle != nullptr) {
        release(static_cast<ThreadCtl*>(thread_handle));
    }
}

void HAL_ThreadDelete(void* thread_handle) {
    if (thread_handle == nullptr) {
        return;
    }
    ThreadCtl* ctl = static_cast<ThreadCtl*>(thread_handle);
    if (ctl != t_self) {
        std::unique_lock<std::mutex> lock(ctl->m);
        ctl->cv.wait(lock, [ctl] { return ctl->done; });
    }
    release(ctl);
}

// ---------------------------------------------------------------------------
// System
// ---------------------------------------------------------------------------
void HAL_Reboot(void) {
    if (system("reboot") != 0) {
        prt(LOG_ERR_LEVEL, "HAL_Reboot failed");
    }
}

namespace {

// Interface of the default route (destination 0.0.0.0) in /proc/net/route.
bool default_route_iface(char* out, size_t size) {
    FILE* f = fopen("/proc/net/route", "r");
    if (f == nullptr) {
        return false;
    }
    char line[256];
    bool found = false;
    while (!found && fgets(line, sizeof(line), f) != nullptr) {
        char iface[IFNAMSIZ + 1];
        unsigned long dest = 1;
        if (sscanf(line, "%16s %lx", iface, &dest) == 2 && dest == 0) {
            if (size == 0)
                break;
            size_t n = strnlen(iface, size - 1);
            memcpy(out, iface, n);
            out[n] = '\0';
            found = true;
        }
    }
    fclose(f);
    return found;
}

}  // namespace

uint32_t HAL_Wifi_Get_IP(char ip_str[HAL_IPV4_TEXT_LEN], const char* ifname) {
    if (ip_str == nullptr) {
        prt(LOG_ERR_LEVEL, "paras err");
        return static_cast<uint32_t>(-1);
    }
    char name[IFNAMSIZ];
    if (ifname != nullptr && ifname[0] != '\0') {
        if (strlen(ifname) >= sizeof(name)) {
            prt(LOG_ERR_LEVEL, "interface name too long: '%s'", ifname);
            return static_cast<uint32_t>(-1);
        }
        snprintf(name, sizeof(name), "%s", ifname);
    } else if (!default_route_iface(name, sizeof(name))) {
        prt(LOG_ERR_LEVEL, "no default route");
        return static_cast<uint32_t>(-1);
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        prt(LOG_ERR_LEVEL, "socket failed - '%s' (%d)", strerror(errno), errno);
        return static_cast<uint32_t>(-1);
    }
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", name);
    ifr.ifr_addr.sa_family = AF_INET;
    int rc = ioctl(fd, SIOCGIFADDR, &ifr);
    int err = errno;
    close(fd);
    if (rc != 0) {
        prt(LOG_ERR_LEVEL, "no IPv4 address on '%s' - '%s' (%d)", name, strerror(err), err);
        return static_cast<uint32_t>(-1);
    }
    struct sockaddr_in sin;
    memcpy(&sin, &ifr.ifr_addr, sizeof(sin));
    inet_ntop(AF_INET, &sin.sin_addr, ip_str, HAL_IPV4_TEXT_LEN);
    return sin.sin_addr.s_addr;
}

// ---------------------------------------------------------------------------
// Waker
// ---------------------------------------------------------------------------
namespace {
struct Waker {
    int fd;
};
}  // namespace

void* HAL_WakerCreate(void) {
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        prt(LOG_ERR_LEVEL, "eventfd failed - '%s' (%d)", strerror(errno), errno);
        return nullptr;
    }
    Waker* w = new (std::nothrow) Waker{fd};
    if (w == nullptr)
        close(fd);
    return w;
}

void HAL_WakerDestroy(void* waker) {
    Waker* w = static_cast<Waker*>(waker);
    if (w == nullptr)
        return;
    close(w->fd);
    delete w;
}

void HAL_WakerSignal(void* waker) {
    Waker* w = static_cast<Waker*>(waker);
    if (w == nullptr)
        return;
    uint64_t one = 1;
    // EAGAIN only when the counter is saturated: already signalled.
    ssize_t n = write(w->fd, &one, sizeof(one));
    (void)n;
}

int HAL_WakerWait(void* waker, int timeout_ms) {
    Waker* w = static_cast<Waker*>(waker);
    if (w == nullptr)
        return 0;
    struct pollfd p = {w->fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms < 0 ? -1 : timeout_ms) <= 0)
        return 0;
    uint64_t count = 0;
    return read(w->fd, &count, sizeof(count)) == sizeof(count) ? 1 : 0;
}

namespace tether_port {
int waker_fd(void* waker) {
    return waker ? static_cast<Waker*>(waker)->fd : -1;
}
}  // namespace tether_port
