#include "peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "tests/free_port.h"

extern char** environ;

namespace port_test {

int free_port(int type) {
    return kestrel_test::FreePort(type);
}

namespace {

bool run(const std::string& cmd) {
    int rc = system((cmd + " >/dev/null 2>&1").c_str());
    if (rc != 0) {
        ADD_FAILURE() << "command failed (" << rc << "): " << cmd;
        return false;
    }
    return true;
}

bool connectable(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
    close(fd);
    return ok;
}

}  // namespace

bool Pki::make(const std::string& in_dir) {
    dir = in_dir;
    ca_pem = dir + "/ca.pem";
    wrong_ca_pem = dir + "/wrong_ca.pem";
    server_cert = dir + "/server.pem";
    server_key = dir + "/server.key";
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    std::ofstream(dir + "/ext.cnf") << "subjectAltName=DNS:device.test,DNS:localhost\n"
                                       "basicConstraints=CA:FALSE\n";
    ip_server_cert = dir + "/server_ip.pem";
    std::ofstream(dir + "/ext_ip.cnf") << "subjectAltName=IP:10.9.8.7,DNS:other.test,IP:127.0.0.1\n"
                                          "basicConstraints=CA:FALSE\n";
    return run("openssl req -x509" + ec + " -keyout " + dir + "/ca.key -out " + ca_pem +
               " -days 2 -subj /CN=Port-Test-CA") &&
           run("openssl req -x509" + ec + " -keyout " + dir + "/wrong_ca.key -out " + wrong_ca_pem +
               " -days 2 -subj /CN=Port-Test-CA") &&
           run("openssl req" + ec + " -keyout " + server_key + " -out " + dir +
               "/server.csr -subj /CN=device.test") &&
           run("openssl x509 -req -in " + dir + "/server.csr -CA " + ca_pem + " -CAkey " + dir +
               "/ca.key -CAcreateserial -days 2 -extfile " + dir + "/ext.cnf -out " +
               server_cert) &&
           run("openssl x509 -req -in " + dir + "/server.csr -CA " + ca_pem + " -CAkey " + dir +
               "/ca.key -CAcreateserial -days 2 -extfile " + dir + "/ext_ip.cnf -out " +
               ip_server_cert) &&
           make_client();
}

bool Pki::make_client() {
    client_cert = dir + "/client.pem";
    client_key = dir + "/client.key";
    stray_key = dir + "/stray.key";
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    return run("openssl req" + ec + " -keyout " + client_key + " -out " + dir +
               "/client.csr -subj /CN=pk.camera") &&
           run("openssl x509 -req -in " + dir + "/client.csr -CA " + ca_pem + " -CAkey " + dir +
               "/ca.key -CAcreateserial -days 2 -out " + client_cert) &&
           run("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1 -out " +
               stray_key);
}

bool TlsEchoServer::start(const Pki& pki, bool require_client_cert) {
    int port = free_port(SOCK_STREAM);
    if (port <= 0) {
        ADD_FAILURE() << "no free port";
        return false;
    }
    port_ = static_cast<uint16_t>(port);
    std::string accept = "127.0.0.1:" + std::to_string(port);
    std::string log = pki.dir + "/s_server_" + std::to_string(port) + ".log";
    std::vector<std::string> args = {"openssl",       "s_server", "-accept",      accept, "-cert",
                                     pki.server_cert, "-key",     pki.server_key, "-rev"};
    if (require_client_cert) {
        for (const char* a : {"-Verify", "1", "-verify_return_error", "-CAfile"})
            args.push_back(a);
        args.push_back(pki.ca_pem);
    }
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    int rc = posix_spawnp(&pid_, "openssl", &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        ADD_FAILURE() << "cannot start openssl s_server: " << strerror(rc);
        pid_ = -1;
        return false;
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < until) {
        if (connectable(port_)) {
            return true;
        }
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            ADD_FAILURE() << "openssl s_server exited early, see " << log;
            return false;
        }
        usleep(20000);
    }
    ADD_FAILURE() << "openssl s_server did not listen on " << accept;
    return false;
}

void TlsEchoServer::stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

bool DnsResponder::start() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sa);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        ADD_FAILURE() << "dns responder bind failed";
        return false;
    }
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this] { loop(); });
    return true;
}

void DnsResponder::stop() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

std::string DnsResponder::address() const {
    return "127.0.0.1:" + std::to_string(port_);
}

void DnsResponder::loop() {
    while (!stop_) {
        struct pollfd pfd = {fd_, POLLIN, 0};
        if (poll(&pfd, 1, 50) != 1) {
            continue;
        }
        unsigned char q[1024];
        struct sockaddr_in from;
        socklen_t flen = sizeof(from);
        ssize_t n = recvfrom(fd_, q, sizeof(q), 0, reinterpret_cast<sockaddr*>(&from), &flen);
        if (n < 12) {
            continue;
        }
        queries_++;
        std::string reply = answer(q, static_cast<int>(n));
        sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), flen);
    }
}

// Builds the reply to one query. Names starting with "bad-" get broken
// answers; unknown names get NXDOMAIN.
std::string DnsResponder::answer(const unsigned char* q, int len) {
    std::string name;
    int pos = 12;
    while (pos < len && q[pos] != 0) {
        int l = q[pos];
        if (!name.empty()) {
            name += '.';
        }
        name.append(reinterpret_cast<const char*>(q + pos + 1), static_cast<size_t>(l));
        pos += 1 + l;
    }
    pos += 1 + 4;
    std::string question(reinterpret_cast<const char*>(q + 12), static_cast<size_t>(pos - 12));
    auto header = [&](int rcode, int ancount, int id_delta) {
        std::string h;
        int id = ((q[0] << 8) | q[1]) + id_delta;
        h += static_cast<char>((id >> 8) & 0xff);
        h += static_cast<char>(id & 0xff);
        h += static_cast<char>(0x81);
        h += static_cast<char>(0x80 | rcode);
        h += std::string("\x00\x01", 2);
        h += static_cast<char>(0);
        h += static_cast<char>(ancount);
        h += std::string(4, '\0');
        return h;
    };
    auto a_record = [](const std::string& ip) {
        std::string r("\xc0\x0c\x00\x01\x00\x01\x00\x00\x00\x3c\x00\x04", 12);
        in_addr a;
        inet_pton(AF_INET, ip.c_str(), &a);
        r.append(reinterpret_cast<const char*>(&a), 4);
        return r;
    };
    if (name == "bad-truncated.test") {
        return header(0, 5, 0) + question;  // promises five answers, has none
    }
    if (name == "bad-rdlength.test") {
        std::string r = a_record("10.0.0.1");
        r[10] = 0;
        r[11] = static_cast<char>(200);  // runs past the end
        return header(0, 1, 0) + question + r;
    }
    if (name == "bad-label.test") {
        return header(0, 1, 0) + question + std::string("\x3f", 1);  // label past the end
    }
    if (name == "bad-id.test") {
        return header(0, 1, 1) + question + a_record("10.0.0.1");
    }
    if (name == "cname.test") {
        std::string cname("\xc0\x0c\x00\x05\x00\x01\x00\x00\x00\x3c\x00\x08\x06target\x00", 20);
        return header(0, 2, 0) + question + cname + a_record("10.1.2.3");
    }
    auto it = table_.find(name);
    if (it == table_.end()) {
        return header(3, 0, 0) + question;
    }
    std::string r = header(0, static_cast<int>(it->second.size()), 0) + question;
    for (const auto& ip : it->second) {
        r += a_record(ip);
    }
    return r;
}

}  // namespace port_test
