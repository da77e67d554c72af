#include "peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/free_port.h"

extern char** environ;

namespace net_test {

int FreePort(int type) {
    return kestrel_test::FreePort(type);
}

std::string MakeTempDir(const std::string& tag) {
    std::string tmpl = "/tmp/kestrel-" + tag + "-XXXXXX";
    char* dir = mkdtemp(&tmpl[0]);
    return dir ? std::string(dir) : std::string();
}

bool Run(const std::string& cmd) {
    int rc = system((cmd + " >/dev/null 2>&1").c_str());
    if (rc != 0)
        ADD_FAILURE() << "command failed (" << rc << "): " << cmd;
    return rc == 0;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool Process::Start(const std::vector<std::string>& args, const std::string& log) {
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    int rc = posix_spawnp(&pid_, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        ADD_FAILURE() << "cannot start " << args[0] << ": " << strerror(rc);
        pid_ = -1;
        return false;
    }
    return true;
}

bool Process::Alive() {
    if (pid_ <= 0)
        return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

void Process::Stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

namespace {

bool TcpReady(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
    close(fd);
    return ok;
}

// Whether a name server on the port answers a query at all.
bool UdpAnswers(uint16_t port) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const uint8_t query[] = {0x12, 0x34, 1,   0,   0, 1,   0,   0,   0,   0, 0, 0, 5, 'p',
                             'r',  'o',  'b', 'e', 4, 't', 'e', 's', 't', 0, 0, 1, 0, 1};
    sendto(fd, query, sizeof(query), 0, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
    pollfd p{fd, POLLIN, 0};
    bool ok = poll(&p, 1, 50) == 1 && (p.revents & POLLIN) && recv(fd, nullptr, 0, 0) >= 0;
    close(fd);
    return ok;
}

bool WaitReady(Process& proc, const std::function<bool()>& ready, const std::string& what,
               const std::string& log) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < until) {
        if (ready())
            return true;
        if (!proc.Alive()) {
            ADD_FAILURE() << what << " exited early: " << ReadFile(log);
            return false;
        }
        usleep(10000);
    }
    ADD_FAILURE() << what << " did not come up: " << ReadFile(log);
    return false;
}

}  // namespace

bool Pki::Make(const std::string& in_dir) {
    dir = in_dir;
    ca = dir + "/ca.pem";
    wrong_ca = dir + "/wrong_ca.pem";
    device_cert = dir + "/device.pem";
    device_key = dir + "/device.key";
    wrong_cert = dir + "/wrong.pem";
    wrong_key = dir + "/wrong.key";
    expired_cert = dir + "/expired.pem";
    expired_key = dir + "/expired.key";
    other_ip_cert = dir + "/other_ip.pem";
    other_ip_key = dir + "/other_ip.key";
    loopback_ip_cert = dir + "/loopback_ip.pem";
    loopback_ip_key = dir + "/loopback_ip.key";
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    // `openssl ca` is the one CLI path that sets arbitrary validity dates.
    std::ofstream(dir + "/ca.cnf") << "[ca]\ndefault_ca = t\n[t]\ndir = " << dir
                                   << "\ndatabase = $dir/index.txt\nserial = $dir/serial\n"
                                      "new_certs_dir = $dir\ncertificate = $dir/ca.pem\n"
                                      "private_key = $dir/ca.key\ndefault_md = sha256\n"
                                      "policy = any\nx509_extensions = ext\nunique_subject = no\n"
                                      "[any]\ncommonName = supplied\n"
                                      "[ext]\nsubjectAltName = DNS:$ENV::SAN\n"
                                      "basicConstraints = CA:FALSE\n";
    std::ofstream(dir + "/index.txt");
    std::ofstream(dir + "/serial") << "01\n";
    auto sign = [&](const std::string& name, const std::string& cert, const std::string& key,
                    const std::string& dates) {
        return Run("openssl req" + ec + " -keyout " + key + " -out " + cert +
                   ".csr -subj /CN=" + name) &&
               Run("SAN=" + name + " openssl ca -batch -config " + dir + "/ca.cnf -in " + cert +
                   ".csr -out " + cert + " " + dates);
    };
    return Run("openssl req -x509" + ec + " -keyout " + dir + "/ca.key -out " + ca +
               " -days 2 -subj /CN=Net-Test-CA") &&
           Run("openssl req -x509" + ec + " -keyout " + dir + "/wrong_ca.key -out " + wrong_ca +
               " -days 2 -subj /CN=Net-Test-CA") &&
           sign("device.test", device_cert, device_key, "-days 2") &&
           sign("wrong.test", wrong_cert, wrong_key, "-days 2") &&
           // The name lands behind "DNS:", so a list adds the address.
           sign("wrong.test,IP:10.9.8.7", other_ip_cert, other_ip_key, "-days 2") &&
           sign("wrong.test,IP:127.0.0.1", loopback_ip_cert, loopback_ip_key, "-days 2") &&
           sign("device.test", expired_cert, expired_key,
                "-startdate 20200101000000Z -enddate 20200102000000Z");
}

bool TlsServer::Start(const std::string& cert, const std::string& key, const std::string& log,
                      const std::string& sni_name, const std::string& sni_cert,
                      const std::string& sni_key, const std::vector<std::string>& extra) {
    port_ = static_cast<uint16_t>(FreePort(SOCK_STREAM));
    std::vector<std::string> args = {
        "openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port_), "-cert", cert,
        "-key",    key,        "-rev"};
    if (!sni_name.empty()) {
        args.insert(args.end(), {"-servername", sni_name, "-cert2", sni_cert, "-key2", sni_key});
    }
    args.insert(args.end(), extra.begin(), extra.end());
    if (!proc_.Start(args, log))
        return false;
    uint16_t port = port_;
    return WaitReady(
        proc_, [port] { return TcpReady(port); }, "openssl s_server", log);
}

bool Dnsmasq::Start(const std::string& dir, const std::vector<std::string>& options) {
    port_ = static_cast<uint16_t>(FreePort(SOCK_DGRAM));
    std::string log = dir + "/dnsmasq.log";
    std::vector<std::string> args = {"dnsmasq",
                                     "--keep-in-foreground",
                                     "--log-facility=-",
                                     "--port=" + std::to_string(port_),
                                     "--listen-address=127.0.0.1",
                                     "--bind-interfaces",
                                     "--no-resolv",
                                     "--no-hosts",
                                     "--local=/test/",
                                     "--conf-file=/dev/null",
                                     "--pid-file=",
                                     "--log-queries"};
    if (getuid() == 0)
        args.push_back("--user=root");
    args.insert(args.end(), options.begin(), options.end());
    if (!proc_.Start(args, log))
        return false;
    uint16_t port = port_;
    return WaitReady(
        proc_, [port] { return UdpAnswers(port); }, "dnsmasq", log);
}

bool ScriptedDns::Start(Mode mode, const std::string& addr) {
    mode_ = mode;
    inet_pton(AF_INET, addr.c_str(), addr_);
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sa);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        ADD_FAILURE() << "scripted DNS bind failed";
        return false;
    }
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this] { Loop(); });
    return true;
}

void ScriptedDns::Stop() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

void ScriptedDns::Loop() {
    while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0)
            continue;
        uint8_t q[512];
        sockaddr_in from{};
        socklen_t flen = sizeof(from);
        ssize_t n = recvfrom(fd_, q, sizeof(q), 0, reinterpret_cast<sockaddr*>(&from), &flen);
        if (n < 12)
            continue;
        int count = ++queries_;
        if (mode_ == kSilent || (mode_ == kLoseFirst && count == 1))
            continue;
        std::vector<uint8_t> a(q, q + n);
        a[2] = 0x81;
        a[3] = 0x80;
        a[7] = 1;  // ANCOUNT 1
        const uint8_t rr[] = {0xc0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};
        a.insert(a.end(), rr, rr + sizeof(rr));
        a.insert(a.end(), addr_, addr_ + 4);
        if (mode_ == kWrongIdFirst) {
            std::vector<uint8_t> wrong = a;
            wrong[0] ^= 0x55;
            wrong[sizeof(rr) + n + 3] ^= 0xff;  // and another address
            sendto(fd_, wrong.data(), wrong.size(), 0, reinterpret_cast<sockaddr*>(&from), flen);
        }
        if (mode_ == kTruncated)
            a.resize(a.size() - 6);
        sendto(fd_, a.data(), a.size(), 0, reinterpret_cast<sockaddr*>(&from), flen);
    }
}

}  // namespace net_test
