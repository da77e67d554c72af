#include "core/logger.h"

#include <sys/time.h>
#include <time.h>

#include <cstdarg>
#include <cstdio>

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

}  // namespace

void logger_printf(int level, const char* file, int line, const char* fmt, ...) {
    if (level < KS_LOG_ERROR || level > KS_LOG_VERBOSE || level > g_logger_level)
        return;

    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    char date[32];
    strftime(date, sizeof(date), "%y-%m-%d-%H:%M:%S", &local);
    struct timespec mono;
    clock_gettime(CLOCK_MONOTONIC, &mono);
    char stamp[48];
    snprintf(stamp, sizeof(stamp), "%s.%03ld", date, mono.tv_nsec / 1000000);

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
