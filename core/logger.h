// The SDK's one logging path. Every line goes through g_logger_cb so that an
// application sink sees every level; only the built-in sink filters by level.
#pragma once

#include <time.h>

#include <atomic>

namespace kestrel {

enum LogLevel {
    KS_LOG_ERROR = 2,
    KS_LOG_WARN = 3,
    KS_LOG_INFO = 4,
    KS_LOG_DEBUG = 5,
    KS_LOG_VERBOSE = 6,
};

using LoggerFn = void (*)(int level, const char* file, int line, const char* fmt, ...);

// Atomic because any SDK thread logs while ks_init/ks_control may change them.
extern std::atomic<int> g_logger_level;
extern std::atomic<LoggerFn> g_logger_cb;

void logger_printf(int level, const char* file, int line, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
void logger_set_level(int level);
void logger_set_user_define(LoggerFn fn);
// Puts back the built-in sink (a sink installed by one ks_init must not outlive ks_destroy).
void logger_reset_default();

// Flood limit per source (file:line): within each second the first kLogBurst lines
// pass, the rest are counted, and the next line of that source after the second
// is preceded by one "... repeated N times" line. A peer that makes one error line
// repeat per message then costs a bounded number of lines a second instead of
// filling the flash; the allowance leaves room for honest bursts (a message line
// per cloud request).
constexpr unsigned kLogBurst = 100;
// True when the line may be written; may first write the pending repeat count.
bool logger_admit(int level, const char* file, int line);
// Reads a clock (CLOCK_REALTIME for the line stamp, CLOCK_MONOTONIC for the flood
// windows); replaceable so tests can move time. nullptr puts back clock_gettime.
using LogClockFn = struct timespec (*)(clockid_t);
void logger_set_clock(LogClockFn fn);
// Forgets every source's window (tests start from a clean slate).
void logger_reset_limits();

constexpr const char* logger_base_name(const char* path) {
    const char* base = path;
    for (const char* p = path; *p; ++p) {
        if (*p == '/')
            base = p + 1;
    }
    return base;
}

}  // namespace kestrel

#define KS_LOG_AT(level, fmt, ...)                                                      \
    (::kestrel::logger_admit((level), ::kestrel::logger_base_name(__FILE__), __LINE__)     \
         ? ::kestrel::g_logger_cb.load(std::memory_order_relaxed)(                         \
               (level), ::kestrel::logger_base_name(__FILE__), __LINE__, fmt, ##__VA_ARGS__) \
         : void())
#define KS_LOGE(fmt, ...) KS_LOG_AT(::kestrel::KS_LOG_ERROR, fmt, ##__VA_ARGS__)
#define KS_LOGW(fmt, ...) KS_LOG_AT(::kestrel::KS_LOG_WARN, fmt, ##__VA_ARGS__)
#define KS_LOGI(fmt, ...) KS_LOG_AT(::kestrel::KS_LOG_INFO, fmt, ##__VA_ARGS__)
#define KS_LOGD(fmt, ...) KS_LOG_AT(::kestrel::KS_LOG_DEBUG, fmt, ##__VA_ARGS__)
#define KS_LOGV(fmt, ...) KS_LOG_AT(::kestrel::KS_LOG_VERBOSE, fmt, ##__VA_ARGS__)
