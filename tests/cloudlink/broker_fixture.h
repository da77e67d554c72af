// A throwaway Mosquitto broker for the cloud link tests: TLS listener on a
// free 127.0.0.1 port with a CA and server certificate made at test time by
// the openssl CLI, password file and ACL confining each device to its own
// topics, persistence off. The platform side talks to it with
// mosquitto_pub / mosquitto_sub as the "platform" user.
//
// Every peer is started here and stopped by the destructor. A missing
// program makes Start() fail loudly: these tests never skip.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tethertest {

struct Device {
    std::string pk, dn, ds;
};

// Runs argv (no shell), waits, returns the exit status (or -1); stdout of the
// program goes to *out when given.
int Run(const std::vector<std::string>& argv, std::string* out = nullptr);

// HMAC-SHA1 password of a device, computed with the openssl CLI, i.e.
// independently of the library.
std::string OpensslPassword(const Device& d);
std::string UserName(const Device& d);  // "<dn>&<pk>"

class Broker {
  public:
    Broker();
    ~Broker();
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    // Makes the certificates, password file and ACL for these devices and
    // starts the broker. Returns "" or a description of what failed.
    std::string Start(const std::vector<Device>& devices);
    // Before Start: log only warnings and errors (for rate measurements,
    // where a log line per message would slow the broker down).
    void SetQuietLog(bool quiet) { quiet_ = quiet; }
    // Kills the broker (SIGKILL, so nothing is said goodbye) and waits.
    void Kill();
    // Starts it again on the same port with the same files. "" or failure.
    std::string Restart();
    // Freezes / thaws the broker: the TCP connection stays up but nothing is
    // answered meanwhile.
    void Pause();
    void Resume();

    int port() const { return port_; }
    const std::string& dir() const { return dir_; }
    std::string ca_path() const { return dir_ + "/ca.pem"; }
    std::string log() const;  // the broker's own log file

    // Platform side.
    int Publish(const std::string& topic, const std::string& payload, int qos = 1);
    // Publishes each line on topic in one connection (mosquitto_pub -l).
    int PublishLines(const std::string& topic, const std::vector<std::string>& lines, int qos);

  private:
    std::string StartProcess();
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
    bool paused_ = false;
    bool quiet_ = false;
};

// A mosquitto_sub child printing "topic payload" lines of one filter.
class Subscriber {
  public:
    Subscriber(Broker& b, const std::string& filter);
    ~Subscriber();
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;

    // Waits until the subscription is acknowledged; false on time-out.
    bool Ready(int timeout_ms = 5000);
    // Message lines ("topic payload") received so far.
    std::vector<std::string> Lines() const;
    // Waits for a message line containing needle; returns it or "".
    std::string WaitFor(const std::string& needle, int timeout_ms = 5000);
    // Everything the client printed (for failure messages).
    std::string Raw() const;
    // Number of message lines containing needle.
    int Count(const std::string& needle) const;

  private:
    std::string file_;
    pid_t pid_ = -1;
};

// Redirects this process's standard output (where the library logs) to a
// file for the lifetime of the object, and copies it back at the end.
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    std::string Text() const;
    bool Contains(const std::string& s) const { return Text().find(s) != std::string::npos; }
    int CountOf(const std::string& s) const;
    // Waits until the text contains s.
    bool WaitFor(const std::string& s, int timeout_ms);

  private:
    std::string file_;
    int saved_fd_ = -1;
};

// Free loopback TCP port.
int FreePort();
// Polls pred every 10 ms until true or timeout; returns the last result.
template <typename Pred>
bool WaitUntil(Pred pred, int timeout_ms);
uint64_t NowMs();

template <typename Pred>
bool WaitUntil(Pred pred, int timeout_ms) {
    uint64_t end = NowMs() + static_cast<uint64_t>(timeout_ms);
    for (;;) {
        if (pred())
            return true;
        if (NowMs() >= end)
            return false;
        struct timespec ts {
            0, 10 * 1000 * 1000
        };
        nanosleep(&ts, nullptr);
    }
}

}  // namespace tethertest
