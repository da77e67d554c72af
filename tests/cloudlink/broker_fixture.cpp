#include "cloudlink/broker_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "tests/free_port.h"

extern char** environ;

namespace tethertest {

namespace {

const char* kMosquitto = "/usr/sbin/mosquitto";
const char* kPlatformUser = "platform";
const char* kPlatformPass = "platform-secret";

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
    return static_cast<bool>(f);
}

// Spawns argv with stdout (and stderr) to out_path, or to /dev/null.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& out_path,
            const std::string& in_path = "") {
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    const char* out = out_path.empty() ? "/dev/null" : out_path.c_str();
    posix_spawn_file_actions_addopen(&fa, 1, out, O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    if (!in_path.empty())
        posix_spawn_file_actions_addopen(&fa, 0, in_path.c_str(), O_RDONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

int WaitExit(pid_t pid) {
    int st = 0;
    while (waitpid(pid, &st, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

bool PortOpen(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    close(fd);
    return ok;
}

std::string TempName(const std::string& dir, const char* stem) {
    static int n = 0;
    return dir + "/" + stem + std::to_string(getpid()) + "_" + std::to_string(++n);
}

}  // namespace

uint64_t NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

int FreePort() {
    return kestrel_test::FreePort(SOCK_STREAM);
}

int Run(const std::vector<std::string>& argv, std::string* out) {
    char tmpl[] = "/tmp/tether_run_XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0)
        return -1;
    close(fd);
    pid_t pid = Spawn(argv, tmpl);
    int rc = pid > 0 ? WaitExit(pid) : -1;
    if (out)
        *out = ReadFile(tmpl);
    unlink(tmpl);
    return rc;
}

std::string UserName(const Device& d) {
    return d.dn + "&" + d.pk;
}

std::string OpensslPassword(const Device& d) {
    char tmpl[] = "/tmp/tether_hmac_XXXXXX";
    int fd = mkstemp(tmpl);
    std::string src = "clientId" + d.pk + "." + d.dn + "deviceName" + d.dn + "productKey" + d.pk +
                      "timestamp2524608000000";
    if (write(fd, src.data(), src.size()) != static_cast<ssize_t>(src.size())) {
        close(fd);
        return "";
    }
    close(fd);
    std::string out;
    int rc = Run({"/usr/bin/openssl", "dgst", "-sha1", "-hmac", d.ds, tmpl}, &out);
    unlink(tmpl);
    if (rc != 0)
        return "";
    // "HMAC-SHA1(file)= <hex>"
    size_t eq = out.rfind("= ");
    if (eq == std::string::npos)
        return "";
    std::string hex = out.substr(eq + 2);
    while (!hex.empty() && (hex.back() == '\n' || hex.back() == '\r'))
        hex.pop_back();
    return hex;
}

// --- Broker -----------------------------------------------------------------------

Broker::Broker() {
    char tmpl[] = "/tmp/tether_broker_XXXXXX";
    if (mkdtemp(tmpl) != nullptr)
        dir_ = tmpl;
}

Broker::~Broker() {
    Kill();
    if (!dir_.empty())
        Run({"/bin/rm", "-rf", dir_});
}

std::string Broker::Start(const std::vector<Device>& devices) {
    if (dir_.empty())
        return "no temp dir";
    if (access(kMosquitto, X_OK) != 0)
        return std::string(kMosquitto) + " missing";
    const std::string d = dir_;
    std::string out;
    // CA and a server certificate for 127.0.0.1 / localhost.
    if (Run({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
             "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", d + "/ca.key", "-out",
             d + "/ca.pem", "-days", "2", "-subj", "/CN=tether test CA"},
            &out) != 0) {
        return "openssl CA: " + out;
    }
    WriteFile(d + "/san.ext", "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
    if (Run({"/usr/bin/openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
             "-nodes", "-keyout", d + "/server.key", "-out", d + "/server.csr", "-subj",
             "/CN=localhost"},
            &out) != 0 ||
        Run({"/usr/bin/openssl", "x509", "-req", "-in", d + "/server.csr", "-CA", d + "/ca.pem",
             "-CAkey", d + "/ca.key", "-CAcreateserial", "-out", d + "/server.pem", "-days", "2",
             "-extfile", d + "/san.ext"},
            &out) != 0) {
        return "openssl server cert: " + out;
    }
    // Password file: the platform and every device with its signed password.
    WriteFile(d + "/passwd", "");
    if (Run({"/usr/bin/mosquitto_passwd", "-b", d + "/passwd", kPlatformUser, kPlatformPass},
            &out) != 0) {
        return "mosquitto_passwd: " + out;
    }
    std::string acl = std::string("user ") + kPlatformUser + "\ntopic readwrite #\n\n";
    for (const Device& dev : devices) {
        std::string pw = OpensslPassword(dev);
        if (pw.size() != 40)
            return "openssl dgst failed for " + dev.dn;
        if (Run({"/usr/bin/mosquitto_passwd", "-b", d + "/passwd", UserName(dev), pw}, &out) != 0) {
            return "mosquitto_passwd: " + out;
        }
        const std::string pkdn = dev.pk + "/" + dev.dn;
        acl += "user " + UserName(dev) + "\n";
        acl += "topic readwrite /sys/" + pkdn + "/#\n";
        acl += "topic readwrite /ext/ntp/" + pkdn + "/#\n";
        acl += "topic readwrite /ext/error/" + pkdn + "\n";
        acl += "topic readwrite /ext/session/" + pkdn + "/#\n";
        acl += "topic readwrite /ota/device/+/" + pkdn + "\n\n";
    }
    WriteFile(d + "/acl", acl);
    chmod((d + "/passwd").c_str(), 0600);
    chmod((d + "/acl").c_str(), 0600);
    port_ = FreePort();
    if (port_ <= 0)
        return "no free port";
    std::string conf = "per_listener_settings false\n";
    if (getuid() == 0)
        conf += "user root\n";
    conf += "persistence false\nallow_anonymous false\n";
    conf += "password_file " + d + "/passwd\nacl_file " + d + "/acl\n";
    conf += "log_dest file " + d + "/mosquitto.log\n";
    conf += quiet_ ? "log_type error\nlog_type warning\n" : "log_type all\n";
    conf += "listener " + std::to_string(port_) + " 127.0.0.1\n";
    conf += "cafile " + d + "/ca.pem\ncertfile " + d + "/server.pem\nkeyfile " + d +
            "/server.key\ntls_version tlsv1.2\n";
    WriteFile(d + "/mosquitto.conf", conf);
    return StartProcess();
}

std::string Broker::StartProcess() {
    pid_ = Spawn({kMosquitto, "-c", dir_ + "/mosquitto.conf"}, dir_ + "/mosquitto.out");
    if (pid_ <= 0)
        return "spawn mosquitto failed";
    uint64_t end = NowMs() + 5000;
    while (NowMs() < end) {
        if (PortOpen(port_))
            return "";
        int st;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
            pid_ = -1;
            return "mosquitto exited: " + ReadFile(dir_ + "/mosquitto.out") + log();
        }
        usleep(20 * 1000);
    }
    return "mosquitto did not open its port";
}

void Broker::Kill() {
    if (pid_ <= 0)
        return;
    if (paused_)
        Resume();
    kill(pid_, SIGKILL);
    WaitExit(pid_);
    pid_ = -1;
}

std::string Broker::Restart() {
    Kill();
    return StartProcess();
}

void Broker::Pause() {
    if (pid_ > 0 && !paused_) {
        kill(pid_, SIGSTOP);
        paused_ = true;
    }
}

void Broker::Resume() {
    if (pid_ > 0 && paused_) {
        kill(pid_, SIGCONT);
        paused_ = false;
    }
}

std::string Broker::log() const {
    return ReadFile(dir_ + "/mosquitto.log");
}

int Broker::Publish(const std::string& topic, const std::string& payload, int qos) {
    std::string out;
    int rc = Run({"/usr/bin/mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(port_),
                  "--cafile", ca_path(), "-u", kPlatformUser, "-P", kPlatformPass, "-q",
                  std::to_string(qos), "-t", topic, "-m", payload},
                 &out);
    if (rc != 0)
        fprintf(stderr, "mosquitto_pub failed: %s\n", out.c_str());
    return rc;
}

int Broker::PublishLines(const std::string& topic, const std::vector<std::string>& lines, int qos) {
    std::string in = TempName(dir_, "lines");
    std::string text;
    for (auto& l : lines)
        text += l + "\n";
    WriteFile(in, text);
    pid_t pid = Spawn({"/usr/bin/mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(port_),
                       "--cafile", ca_path(), "-u", kPlatformUser, "-P", kPlatformPass, "-q",
                       std::to_string(qos), "-t", topic, "-l"},
                      "", in);
    return pid > 0 ? WaitExit(pid) : -1;
}

// --- Subscriber ----------------------------------------------------------------------

Subscriber::Subscriber(Broker& b, const std::string& filter) {
    file_ = TempName(b.dir(), "sub");
    WriteFile(file_, "");
    // Line-buffered, so the SUBACK notice and each message show up at once.
    pid_ = Spawn({"/usr/bin/stdbuf", "-oL", "/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p",
                  std::to_string(b.port()), "--cafile", b.ca_path(), "-u", kPlatformUser, "-P",
                  kPlatformPass, "-q", "1", "-d", "-v", "-t", filter},
                 file_);
}

Subscriber::~Subscriber() {
    if (pid_ > 0) {
        // Not SIGTERM: mosquitto_sub disconnects from inside its signal
        // handler, which can deadlock on the library's own locks and leave
        // the test waiting for an exit that never comes.
        kill(pid_, SIGKILL);
        WaitExit(pid_);
    }
}

bool Subscriber::Ready(int timeout_ms) {
    return WaitUntil([&] { return ReadFile(file_).find("received SUBACK") != std::string::npos; },
                     timeout_ms);
}

std::vector<std::string> Subscriber::Lines() const {
    std::vector<std::string> out;
    std::istringstream in(ReadFile(file_));
    std::string line;
    while (std::getline(in, line)) {
        // -d adds "Client ... received/sending ..." lines; messages start with '/'.
        if (!line.empty() && line[0] == '/')
            out.push_back(line);
    }
    return out;
}

std::string Subscriber::WaitFor(const std::string& needle, int timeout_ms) {
    std::string hit;
    WaitUntil(
        [&] {
            for (auto& l : Lines()) {
                if (l.find(needle) != std::string::npos) {
                    hit = l;
                    return true;
                }
            }
            return false;
        },
        timeout_ms);
    return hit;
}

std::string Subscriber::Raw() const {
    return ReadFile(file_);
}

int Subscriber::Count(const std::string& needle) const {
    int n = 0;
    for (auto& l : Lines())
        n += l.find(needle) != std::string::npos;
    return n;
}

// --- LogCapture ------------------------------------------------------------------------

LogCapture::LogCapture() {
    char tmpl[] = "/tmp/tether_log_XXXXXX";
    int fd = mkstemp(tmpl);
    file_ = tmpl;
    fflush(stdout);
    saved_fd_ = dup(1);
    dup2(fd, 1);
    close(fd);
}

LogCapture::~LogCapture() {
    fflush(stdout);
    dup2(saved_fd_, 1);
    close(saved_fd_);
    std::string t = Text();
    if (write(1, t.data(), t.size()) < 0) {
        // Nothing more to do with a lost copy of the log.
    }
    unlink(file_.c_str());
}

std::string LogCapture::Text() const {
    fflush(stdout);
    return ReadFile(file_);
}

int LogCapture::CountOf(const std::string& s) const {
    std::string t = Text();
    int n = 0;
    for (size_t p = t.find(s); p != std::string::npos; p = t.find(s, p + 1))
        ++n;
    return n;
}

bool LogCapture::WaitFor(const std::string& s, int timeout_ms) {
    return WaitUntil([&] { return Contains(s); }, timeout_ms);
}

}  // namespace tethertest
