// The library's log routine and the port layer's own "[QX-PRT]" lines.
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <mutex>
#include <string>

#include "port/linux/hal_internal.h"
#include "tether/hal.h"

namespace {

const char* const kLevelNames[] = {"QX-NON", "QX-CRT", "QX-ERR", "QX-WRN", "QX-INF", "QX-DBG"};

std::atomic<int> g_level{LOG_INFO_LEVEL};

// One line is assembled first and written in one go, so lines of concurrent
// threads never interleave.
std::mutex g_out_lock;

void write_out(const char* text, size_t len) {
    std::lock_guard<std::mutex> lock(g_out_lock);
    fwrite(text, 1, len, stdout);
    fflush(stdout);
}

}  // namespace

int LITE_set_loglevel(int level) {
    if (level < LOG_NONE_LEVEL || level > LOG_DEBUG_LEVEL) {
        return -1;
    }
    g_level.store(level);
    return 0;
}

int LITE_get_loglevel(void) {
    return g_level.load();
}

const char* LITE_level_name(int level) {
    if (level < LOG_NONE_LEVEL || level > LOG_DEBUG_LEVEL) {
        return nullptr;
    }
    return kLevelNames[level];
}

void LITE_syslog(const char* module, const char* func, const int line, const int level,
                 const char* fmt, ...) {
    (void)module;
    if (level < LOG_CRIT_LEVEL || level > LOG_DEBUG_LEVEL || level > g_level.load() ||
        fmt == nullptr) {
        return;
    }
    char msg[LOG_MSG_MAXLEN + 1];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(msg, sizeof(msg), fmt, ap);
    va_end(ap);
    if (n < 0) {
        return;
    }
    std::string out = "\033[0m";
    char head[160];
    snprintf(head, sizeof(head), "[%s](%u) %s(%d): ", kLevelNames[level],
             static_cast<unsigned>(HAL_UptimeMs()), func ? func : "?", line);
    out += head;
    out += msg;
    if (n > LOG_MSG_MAXLEN) {
        out += " ...";
    }
    if (out.back() != '\n') {
        out += "\r\n";
    }
    out += "\033[0m";
    write_out(out.data(), out.size());
}

void LITE_hexdump(const char* title, const void* buf, const int len) {
    if (buf == nullptr || len < 0) {
        return;
    }
    const unsigned char* p = static_cast<const unsigned char*>(buf);
    std::string out;
    char tmp[96];
    snprintf(tmp, sizeof(tmp), "+---- %s (%d bytes) ----\r\n", title ? title : "", len);
    out += tmp;
    for (int off = 0; off < len; off += 16) {
        int n = snprintf(tmp, sizeof(tmp), "| %04x: ", off);
        std::string ascii;
        for (int i = 0; i < 16; ++i) {
            if (off + i < len) {
                n += snprintf(tmp + n, sizeof(tmp) - n, "%02X ", p[off + i]);
                unsigned char c = p[off + i];
                ascii += (c >= 32 && c < 127) ? static_cast<char>(c) : '.';
            } else {
                n += snprintf(tmp + n, sizeof(tmp) - n, "   ");
            }
        }
        out += tmp;
        out += " ";
        out += ascii;
        out += "\r\n";
    }
    out += "+----\r\n";
    write_out(out.data(), out.size());
}

namespace tether_port {

void prt(int level, const char* fmt, ...) {
    if (level > g_level.load()) {
        return;
    }
    char msg[LOG_MSG_MAXLEN + 1];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof(msg), fmt, ap);
    va_end(ap);
    std::string out = "[QX-PRT] ";
    out += msg;
    if (out.back() != '\n') {
        out += "\n";
    }
    write_out(out.data(), out.size());
}

}  // namespace tether_port

void HAL_Printf(const char* fmt, ...) {
    if (fmt == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(g_out_lock);
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    fflush(stdout);
}

int HAL_Snprintf(char* str, int len, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = HAL_Vsnprintf(str, len, fmt, ap);
    va_end(ap);
    return n;
}

int HAL_Vsnprintf(char* str, int len, const char* fmt, va_list ap) {
    if (len < 0 || fmt == nullptr || (str == nullptr && len > 0)) {
        return -1;
    }
    return vsnprintf(str, static_cast<size_t>(len), fmt, ap);
}
