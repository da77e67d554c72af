// Captures every SDK log line (formatted) so tests can assert on the exact texts.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "core/logger.h"

namespace kestrel_test {

class LogCapture {
  public:
    LogCapture() {
        {
            std::lock_guard<std::mutex> lock(Mutex());
            Instance() = this;
        }
        kestrel::logger_set_user_define(&LogCapture::Sink);
    }
    // A network thread may still be logging when the capture goes out of scope (a socket
    // closing after its result was delivered); the shared lock makes the detach wait for it.
    ~LogCapture() {
        kestrel::logger_reset_default();
        std::lock_guard<std::mutex> lock(Mutex());
        Instance() = nullptr;
    }

    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lock(Mutex());
        return lines_;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(Mutex());
        lines_.clear();
    }
    bool Contains(const std::string& text) { return Count(text) > 0; }
    // Waits for a line holding text, written by whichever thread; false after timeout_ms.
    bool WaitFor(const std::string& text, int timeout_ms = 3000) {
        std::unique_lock<std::mutex> lock(Mutex());
        return Changed().wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                  [&] { return CountLocked(text) > 0; });
    }
    size_t Count(const std::string& text) {
        std::lock_guard<std::mutex> lock(Mutex());
        return CountLocked(text);
    }

    static void Sink(int level, const char* /*file*/, int /*line*/, const char* fmt, ...) {
        char buf[4096];
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(buf, sizeof(buf), fmt, ap);
        va_end(ap);
        std::lock_guard<std::mutex> lock(Mutex());
        LogCapture* self = Instance();
        if (!self)
            return;
        self->lines_.push_back(std::to_string(level) + " " + buf);
        Changed().notify_all();
    }

  private:
    size_t CountLocked(const std::string& text) const {
        size_t n = 0;
        for (const auto& l : lines_) {
            if (l.find(text) != std::string::npos)
                ++n;
        }
        return n;
    }
    static LogCapture*& Instance() {
        static LogCapture* instance = nullptr;
        return instance;
    }
    static std::mutex& Mutex() {
        static std::mutex mutex;
        return mutex;
    }
    static std::condition_variable& Changed() {
        static std::condition_variable changed;
        return changed;
    }
    std::vector<std::string> lines_;
};

}  // namespace kestrel_test
