// Loopback peers and a recording socket handler for the network tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/net_socket_handler.h"

namespace kestrel_test {

inline bool WaitUntil(const std::function<bool()>& pred, int ms = 3000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A loopback TCP listener on a free port.
class Listener {
  public:
    explicit Listener(int backlog = 16) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        listen(fd_, backlog);
        socklen_t len = sizeof(a);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~Listener() { close(fd_); }
    uint16_t Port() const { return port_; }
    int Accept() { return accept(fd_, nullptr, nullptr); }

  private:
    int fd_;
    uint16_t port_;
};

// Records every callback; optionally answers OnData/OnWrite with scripted results.
class RecordingHandler : public kestrel::NetSocketHandler {
  public:
    void OnConnect() override {
        std::lock_guard<std::mutex> lk(mu_);
        events_.push_back("connect");
        ++connects;
        if (on_connect)
            on_connect();
    }
    void OnDisConnect(kestrel::NetSocketDisconnectResult reason) override {
        {
            std::lock_guard<std::mutex> lk(mu_);
            events_.push_back("disconnect:" + std::to_string(static_cast<int>(reason)));
        }
        reason_ = static_cast<int>(reason);
        ++disconnects;
    }
    long OnData(const char* data, unsigned long len) override {
        std::lock_guard<std::mutex> lk(mu_);
        deliveries_.push_back(len);
        unsigned long take = consume_limit < 0 ? len : std::min<unsigned long>(len, consume_limit);
        data_.append(data, take);
        return static_cast<long>(take);
    }
    long OnWrite() override {
        ++writes;
        return on_write ? on_write() : 0;
    }
    void OnTimer() override { ++timers; }

    std::string Data() {
        std::lock_guard<std::mutex> lk(mu_);
        return data_;
    }
    std::vector<unsigned long> Deliveries() {
        std::lock_guard<std::mutex> lk(mu_);
        return deliveries_;
    }
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> lk(mu_);
        return events_;
    }
    int Reason() const { return reason_.load(); }

    std::atomic<int> connects{0}, disconnects{0}, writes{0}, timers{0};
    long consume_limit = -1;  // set before connecting
    std::function<long()> on_write;
    std::function<void()> on_connect;

  private:
    std::mutex mu_;
    std::string data_;
    std::vector<unsigned long> deliveries_;
    std::vector<std::string> events_;
    std::atomic<int> reason_{-1};
};

}  // namespace kestrel_test
