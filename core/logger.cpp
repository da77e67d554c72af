#include "core/logger.h"

#include <sys/time.h>
#include <time.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <unordered_map>

namespace kestrel {

std::atomic<int> g_logger_level{KS_LOG_DEBUG};
std::atomic<LoggerFn> g_logger_cb{logger_printf};

namespace {

struct LevelStyle {
    const char* name;
    const char* colour;
};

const LevelStyle kStyles[] = {
    {"KS-ERROR", "\x1b[31m"}, {"KS-WARN", "\x1b[31m"},    {"KS-INFO", "\x1b[33m"},
    {"KS-DEBUG", "\x1b[32m"}, {"KS-VERBOSE", "\x1b[32m"},
};

struct timespec SystemClock(clockid_t id) {
    struct timespec ts;
    clock_gettime(id, &ts);
    return ts;
}

std::atomic<LogClockFn> g_clock{SystemClock};

struct SourceKey {
    const char* file;
    int line;
    bool operator==(const SourceKey& o) const { return file == o.file && line == o.line; }
};
struct SourceKeyHash {
    size_t operator()(const SourceKey& k) const {
        return std::hash<const void*>()(k.file) * 31u + static_cast<size_t>(k.line);
    }
};
struct SourceWindow {
    int64_t start_ms = 0;
    unsigned passed = 0;
    unsigned long long suppressed = 0;
    int level = KS_LOG_ERROR;
};

// Keyed by the call site's file pointer and line: a bounded set, one entry per
// KS_LOG line in the program.
std::mutex g_limits_mu;
std::unordered_map<SourceKey, SourceWindow, SourceKeyHash> g_limits;

int64_t MonoMs() {
    struct timespec ts = g_clock.load()(CLOCK_MONOTONIC);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

bool logger_admit(int level, const char* file, int line) {
    // The built-in sink drops lines above the level: those need no window, no
    // clock and no lock (verbose lines sit on the per-frame path).
    if (level > g_logger_level.load(std::memory_order_relaxed) &&
        g_logger_cb.load(std::memory_order_relaxed) == &logger_printf)
        return false;
    int64_t now = MonoMs();
    unsigned long long repeated = 0;
    int repeated_level = level;
    bool admit = true;
    {
        std::lock_guard<std::mutex> lock(g_limits_mu);
        SourceWindow& w = g_limits[SourceKey{file, line}];
        if (w.passed == 0 || now - w.start_ms >= 1000) {
            repeated = w.suppressed;
            repeated_level = w.level;
            w.start_ms = now;
            w.passed = 0;
            w.suppressed = 0;
        }
        if (w.passed < kLogBurst) {
            ++w.passed;
        } else {
            ++w.suppressed;
            w.level = level;
            admit = false;
        }
    }
    if (repeated > 0)
        g_logger_cb.load(std::memory_order_relaxed)(repeated_level, file, line,
                                                    "... last line repeated %llu times", repeated);
    return admit;
}

void logger_set_clock(LogClockFn fn) {
    g_clock = fn ? fn : SystemClock;
}

void logger_reset_limits() {
    std::lock_guard<std::mutex> lock(g_limits_mu);
    g_limits.clear();
}

void logger_printf(int level, const char* file, int line, const char* fmt, ...) {
    if (level < KS_LOG_ERROR || level > KS_LOG_VERBOSE || level > g_logger_level)
        return;

    // Seconds and milliseconds from one reading, so stamps never run backwards.
    struct timespec real = g_clock.load()(CLOCK_REALTIME);
    time_t secs = real.tv_sec;
    struct tm local;
    localtime_r(&secs, &local);
    char date[32];
    strftime(date, sizeof(date), "%y-%m-%d-%H:%M:%S", &local);
    char stamp[48];
    snprintf(stamp, sizeof(stamp), "%s.%03ld", date, real.tv_nsec / 1000000);

    char name[16];
    snprintf(name, sizeof(name), "%-10s", kStyles[level - KS_LOG_ERROR].name);

    // One locked sequence per line so lines of different threads never interleave.
    flockfile(stdout);
    printf("%s[%s|%s] (%s:%d) : %s", kStyles[level - KS_LOG_ERROR].colour, name, stamp,
           file ? file : "", line, "\x1b[0m");
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    printf("\n");
    fflush(stdout);
    funlockfile(stdout);
}

void logger_set_level(int level) {
    if (level >= KS_LOG_ERROR && level <= KS_LOG_VERBOSE)
        g_logger_level = level;
}

void logger_set_user_define(LoggerFn fn) {
    if (fn)
        g_logger_cb = fn;
}

void logger_reset_default() {
    g_logger_cb = logger_printf;
}

}  // namespace kestrel
