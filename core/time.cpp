#include "core/time.h"

#include <sys/select.h>
#include <sys/time.h>
#include <time.h>

#include <cstdio>

namespace kestrel {

unsigned long Time::GetSystemTimeInt(int seconds) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    if (seconds)
        return static_cast<unsigned long>(ts.tv_sec);
    return static_cast<unsigned long>(ts.tv_sec) * 1000UL +
           static_cast<unsigned long>(ts.tv_nsec) / 1000000UL;
}

std::string Time::GetSystemTimeString(int seconds) {
    return std::to_string(GetSystemTimeInt(seconds));
}

std::string Time::GetUtcTime(bool with_ms) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    time_t secs = tv.tv_sec;
    struct tm local;
    localtime_r(&secs, &local);
    char date[32];
    strftime(date, sizeof(date), "%y-%m-%d-%H:%M:%S", &local);
    if (!with_ms)
        return date;
    char out[48];
    snprintf(out, sizeof(out), "%s.%03d", date, static_cast<int>(tv.tv_usec / 1000));
    return out;
}

void Time::GetUtcTimeMs(std::string& out) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    char buf[32];
    snprintf(buf, sizeof(buf), "%ld%03d", static_cast<long>(tv.tv_sec),
             static_cast<int>(tv.tv_usec / 1000));
    out = buf;
}

std::string Time::GetGmtDate() {
    static const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    time_t now = time(nullptr);
    struct tm utc;
    gmtime_r(&now, &utc);
    char buf[40];
    // Names spelled out here: strftime's %a/%b follow the locale, HTTP dates do not.
    snprintf(buf, sizeof(buf), "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[utc.tm_wday],
             utc.tm_mday, kMonths[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min,
             utc.tm_sec);
    return buf;
}

void Sleep::SleepMs(unsigned ms) {
    struct timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    select(0, nullptr, nullptr, nullptr, &tv);
}

}  // namespace kestrel
