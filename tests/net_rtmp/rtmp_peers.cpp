#include "net_rtmp/rtmp_peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "proto/amf0.h"
#include "proto/rtmp_command.h"
#include "tests/free_port.h"

extern char** environ;

namespace rtmptest {

using namespace kestrel;

uint64_t NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

int FreePort() {
    return kestrel_test::FreePort(SOCK_STREAM);
}

int RunCommand(const std::string& cmd, std::string* out) {
    std::string full = cmd + " 2>&1";
    FILE* p = popen(full.c_str(), "r");
    if (!p) {
        return -1;
    }
    char buf[4096];
    size_t n;
    std::string text;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) {
        text.append(buf, n);
    }
    int st = pclose(p);
    if (out) {
        *out = text;
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::string TempDir() {
    char tmpl[] = "/tmp/kestrel_rtmp_XXXXXX";
    const char* made = mkdtemp(tmpl);
    return made ? made : "";
}

std::vector<Frame> SampleFrames(uint32_t max_ms) {
    const std::string base = std::string(KESTREL_SOURCE_DIR) + "/demo/media/avc_aac_500k";
    std::ifstream data(base, std::ios::binary);
    std::stringstream ss;
    ss << data.rdbuf();
    std::string bytes = ss.str();
    std::ifstream index(base + ".index");
    std::vector<Frame> frames;
    std::string line;
    while (std::getline(index, line)) {
        unsigned media, offset, len, ts, key;
        if (sscanf(line.c_str(), "media=%u,offset=%u,len=%u,timestamp=%u,key=%u", &media, &offset,
                   &len, &ts, &key) != 5 ||
            offset + len > bytes.size()) {
            continue;
        }
        if (ts > max_ms) {
            break;
        }
        frames.push_back({media == 0, key == 1, ts, bytes.substr(offset, len)});
    }
    return frames;
}

// ---- scripted peer ----

PeerConn::~PeerConn() {
    close(fd_);
}

bool PeerConn::Fill(uint64_t deadline) {
    int left = static_cast<int>(deadline - NowMs());
    pollfd p{fd_, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) <= 0) {
        return false;
    }
    uint8_t buf[65536];
    ssize_t got = recv(fd_, buf, sizeof buf, 0);
    if (got <= 0) {
        return false;
    }
    pending_.insert(pending_.end(), buf, buf + got);
    return true;
}

bool PeerConn::ReadExact(size_t n, Bytes* out, int timeout_ms) {
    uint64_t deadline = NowMs() + timeout_ms;
    while (pending_.size() < n) {
        if (!Fill(deadline)) {
            return false;
        }
    }
    out->assign(pending_.begin(), pending_.begin() + n);
    pending_.erase(pending_.begin(), pending_.begin() + n);
    return true;
}

bool PeerConn::Write(const Bytes& b) {
    return send(fd_, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
}

bool PeerConn::ReadMessage(rtmp_chunk_header_t* h, Bytes* payload, int timeout_ms) {
    uint64_t deadline = NowMs() + timeout_ms;
    for (;;) {
        if (!pending_.empty()) {
            size_t used = 0;
            rtmp_message_t msg;
            int rc = reader_.Read(pending_.data(), pending_.size(), &used, &msg);
            if (rc < 0) {
                return false;
            }
            if (rc == RTMP_CHUNK_MESSAGE) {
                *h = msg.header;
                payload->assign(msg.payload, msg.payload + msg.length);
                pending_.erase(pending_.begin(), pending_.begin() + used);
                if (h->type == RTMP_TYPE_SET_CHUNK_SIZE && payload->size() == 4) {
                    reader_.SetChunkSize((*payload)[0] << 24 | (*payload)[1] << 16 |
                                         (*payload)[2] << 8 | (*payload)[3]);
                }
                return true;
            }
            pending_.erase(pending_.begin(), pending_.begin() + used);
        }
        if (!Fill(deadline)) {
            return false;
        }
    }
}

bool PeerConn::ReadCommand(std::string* name, Bytes* body, int timeout_ms) {
    uint64_t deadline = NowMs() + timeout_ms;
    for (;;) {
        int left = static_cast<int>(deadline - NowMs());
        rtmp_chunk_header_t h;
        Bytes payload;
        if (left <= 0 || !ReadMessage(&h, &payload, left)) {
            return false;
        }
        if (h.type != RTMP_TYPE_INVOKE) {
            continue;
        }
        rtmp_command_t cmd;
        rtmp_command_parse(payload.data(), payload.size(), &cmd);
        *name = cmd.name;
        if (body) {
            *body = payload;
        }
        return true;
    }
}

bool PeerConn::Send(uint32_t cid, uint8_t type, uint32_t sid, const Bytes& payload, uint32_t ts) {
    rtmp_chunk_header_t h;
    h.cid = cid;
    h.type = type;
    h.stream_id = sid;
    h.timestamp = ts;
    h.length = static_cast<uint32_t>(payload.size());
    Bytes out;
    return writer_.Write(h, payload.data(), &out) == 0 && Write(out);
}

bool PeerConn::SendResult(double txn, double stream_id) {
    uint8_t b[64];
    const uint8_t* e = b + sizeof b;
    uint8_t* p = AMFWriteString(b, e, "_result", 7);
    p = AMFWriteDouble(p, e, txn);
    p = AMFWriteNull(p, e);
    p = AMFWriteDouble(p, e, stream_id);
    return Send(3, RTMP_TYPE_INVOKE, 0, Bytes(b, p));
}

bool PeerConn::SendConnectResult() {
    uint8_t b[256];
    const uint8_t* e = b + sizeof b;
    uint8_t* p = AMFWriteString(b, e, "_result", 7);
    p = AMFWriteDouble(p, e, 1);
    p = AMFWriteNull(p, e);
    p = AMFWriteObject(p, e);
    p = AMFWriteNamedString(p, e, "level", 5, "status", 6);
    p = AMFWriteNamedString(p, e, "code", 4, "NetConnection.Connect.Success", 29);
    p = AMFWriteObjectEnd(p, e);
    return Send(3, RTMP_TYPE_INVOKE, 0, Bytes(b, p));
}

bool PeerConn::SendStatus(const std::string& level, const std::string& code,
                          const std::string& desc) {
    Bytes b(512 + desc.size());
    const uint8_t* e = b.data() + b.size();
    uint8_t* p = AMFWriteString(b.data(), e, "onStatus", 8);
    p = AMFWriteDouble(p, e, 0);
    p = AMFWriteNull(p, e);
    p = AMFWriteObject(p, e);
    p = AMFWriteNamedString(p, e, "level", 5, level.data(), level.size());
    p = AMFWriteNamedString(p, e, "code", 4, code.data(), code.size());
    p = AMFWriteNamedString(p, e, "description", 11, desc.data(), desc.size());
    p = AMFWriteObjectEnd(p, e);
    b.resize(p - b.data());
    return Send(5, RTMP_TYPE_INVOKE, 1, b);
}

bool PeerConn::ServerHandshake() {
    Bytes c0c1, c2;
    if (!ReadExact(1537, &c0c1) || c0c1[0] != 3) {
        return false;
    }
    Bytes s(1 + 1536 * 2, 0x5A);
    s[0] = 3;
    std::copy(c0c1.begin() + 1, c0c1.end(), s.begin() + 1537);  // S2 echoes C1
    return Write(s) && ReadExact(1536, &c2);
}

bool PeerConn::AcceptPublish() {
    std::string name;
    if (!ReadCommand(&name) || name != "connect" || !SendConnectResult()) {
        return false;
    }
    for (const char* want : {"releaseStream", "FCPublish", "createStream"}) {
        if (!ReadCommand(&name) || name != want) {
            return false;
        }
    }
    if (!SendResult(2, 1) || !ReadCommand(&name) || name != "publish") {
        return false;
    }
    return SendStatus("status", "NetStream.Publish.Start", "Start publishing");
}

ScriptedPeer::ScriptedPeer(std::function<void(PeerConn&)> script, int rcvbuf) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (rcvbuf > 0) {
        setsockopt(listen_fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    listen(listen_fd_, 1);
    thread_ = std::thread([this, script] {
        pollfd p{listen_fd_, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) {
            return;
        }
        int fd = accept(listen_fd_, nullptr, nullptr);
        if (fd >= 0) {
            PeerConn conn(fd);
            script(conn);
        }
    });
}

void ScriptedPeer::Join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

ScriptedPeer::~ScriptedPeer() {
    Join();
    close(listen_fd_);
}

// ---- nginx relay ----

namespace {

// Starts a server process and waits (at most 5 s) until it takes
// connections on port; -1 when it could not start or exited.
pid_t StartServer(const std::vector<std::string>& args, const std::string& log, int port) {
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&fa);
    for (uint64_t end = NowMs() + 5000; pid > 0 && NowMs() < end;) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool up = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(fd);
        if (up) {
            return pid;
        }
        int st;
        if (waitpid(pid, &st, WNOHANG) == pid) {
            return -1;  // exited: configuration or module missing
        }
        pollfd none{-1, 0, 0};
        poll(&none, 0, 20);  // the port is not a descriptor we can wait on
    }
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return -1;
}

void StopServer(pid_t pid, int sig) {
    if (pid > 0) {
        kill(pid, sig);
        int st;
        waitpid(pid, &st, 0);
    }
}

}  // namespace

NginxRelay::NginxRelay(const std::string& on_publish) {
    dir_ = TempDir();
    port_ = FreePort();
    std::string notify = on_publish.empty() ? "" : "on_publish " + on_publish + "; ";
    std::string conf =
        "load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;\n"
        "daemon off;\nmaster_process off;\nworker_processes 1;\n"
        "error_log " +
        dir_ +
        "/error.log info;\n"
        "pid " +
        dir_ +
        "/nginx.pid;\n"
        // Room for the benches' hundreds of concurrent publishers; nginx
        // inherits the descriptor limit of the process that starts it.
        "events { worker_connections 4096; }\n"
        "rtmp { server { listen 127.0.0.1:" +
        std::to_string(port_) +
        ";\n"
        "  chunk_size 4096;\n"
        "  application live { live on; " +
        notify + "record all; record_path " + dir_ + "; record_unique off; } } }\n";
    std::ofstream(dir_ + "/nginx.conf") << conf;
    pid_ = StartServer({"/usr/sbin/nginx", "-p" + dir_ + "/", "-c" + dir_ + "/nginx.conf"},
                       dir_ + "/stderr.log", port_);
}

bool NginxRelay::AllDisconnected() const {
    std::ifstream in(dir_ + "/error.log");
    std::string line;
    int open = 0;
    while (std::getline(in, line)) {
        open += line.find("client connected") != std::string::npos;
        open -= line.find("disconnect, client") != std::string::npos;
    }
    return open <= 0;
}

void NginxRelay::Stop(int timeout_ms) {
    // The log grows as nginx works; each change is a moment to look again.
    int fd = inotify_init1(IN_NONBLOCK);
    if (fd >= 0) {
        inotify_add_watch(fd, (dir_ + "/error.log").c_str(), IN_MODIFY);
    }
    uint64_t deadline = NowMs() + timeout_ms;
    while (pid_ > 0 && fd >= 0 && !AllDisconnected() && NowMs() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(deadline - NowMs())) > 0) {
            char events[4096];
            ssize_t ignored = read(fd, events, sizeof events);
            (void)ignored;
        }
    }
    if (fd >= 0) {
        close(fd);
    }
    StopServer(pid_, SIGQUIT);
    pid_ = -1;
}

NginxRelay::~NginxRelay() {
    Stop();
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (system(cmd.c_str()) != 0) {
        fprintf(stderr, "could not remove %s\n", dir_.c_str());
    }
}

std::string NginxRelay::Recording(const std::string& stream) const {
    return dir_ + "/" + stream + ".flv";
}

std::string NginxRelay::ErrorLog() const {
    std::string out;
    RunCommand("cat '" + dir_ + "/error.log' '" + dir_ + "/stderr.log'", &out);
    return out;
}

// ---- owner ----

void Owner::OnConnect() {
    std::lock_guard<std::mutex> lock(mu);
    ++connects;
    cv.notify_all();
}

void Owner::OnNotify(rtmp_client_notify_t code, void* data) {
    Notice n{code, data != nullptr, 0, ""};
    if (data &&
        (code == RTMP_NOTIFY_PAUSE || code == RTMP_NOTIFY_UNPAUSE || code == RTMP_NOTIFY_SEEK)) {
        n.value = *static_cast<double*>(data);
    } else if (data) {
        n.text = static_cast<const char*>(data);
    }
    {
        std::lock_guard<std::mutex> lock(mu);
        notices.push_back(n);
        cv.notify_all();
    }
    if (code == RTMP_NOTIFY_PUBLISH_START) {
        if (oversize_len) {
            std::string big(oversize_len, '\0');
            big[2] = 1;
            big[3] = 0x65;  // an IDR slice
            int rc = client->SendVideo(0, 1, big.data(), static_cast<uint32_t>(big.size()), 0);
            std::lock_guard<std::mutex> lock(mu);
            oversize_rc = rc;
        }
        publishing_ = true;
        Pump();
    }
}

void Owner::OnClose(CloseResult result) {
    std::lock_guard<std::mutex> lock(mu);
    ++closes;
    close_result = result;
    cv.notify_all();
}

void Owner::OnWrite() {
    if (publishing_) {
        Pump();
    }
}

void Owner::Pump() {
    if (!client) {
        return;
    }
    while (next_ < frames.size()) {
        const Frame& f = frames[next_];
        uint32_t ts = timestamp_base + loop_offset_ + f.timestamp;
        if (paced && f.timestamp > NowMs() - pace_start_ms) {
            return;  // the source asks for a turn when the frame is due
        }
        if (!client->CanTake(static_cast<uint32_t>(f.data.size()))) {
            return;  // the next write turn comes when the queue drains
        }
        int rc = f.video
                     ? client->SendVideo(video_format, f.key, f.data.data(),
                                         static_cast<uint32_t>(f.data.size()), ts)
                     : client->SendAudio(f.data.data(), static_cast<uint32_t>(f.data.size()), ts);
        {
            std::lock_guard<std::mutex> lock(mu);
            rc == 0 ? ++sent : ++refused;
        }
        if (++next_ == frames.size() && loop) {
            next_ = 0;
            loop_offset_ += frames.back().timestamp + 40;
        }
    }
    // Stop on the turn after the last frame went in: the queue has drained.
    if (all_queued_ && stop_when_done) {
        client->Stop();
    }
    all_queued_ = true;
}

void Owner::OnAudio(const void* data, size_t len, uint32_t timestamp) {
    std::lock_guard<std::mutex> lock(mu);
    const auto* p = static_cast<const uint8_t*>(data);
    audio.emplace_back(p, p + len);
    audio_ts.push_back(timestamp);
    cv.notify_all();
}

void Owner::OnAudioFormat(AudioFormat format, AudioBit bit, AudioChannel channel,
                          AudioAdditionalRate rate) {
    std::lock_guard<std::mutex> lock(mu);
    audio_format = format;
    audio_bit = bit;
    audio_channel = channel;
    audio_rate = rate;
    cv.notify_all();
}

bool Owner::WaitFor(const std::function<bool()>& done, int timeout_ms) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), done);
}

bool Owner::WaitClosed(int timeout_ms) {
    return WaitFor([this] { return closes > 0; }, timeout_ms);
}

}  // namespace rtmptest

namespace rtmptest {

// ---- publish-token checker ----

namespace {

// Checks "token=<token>-<sign>" in the connection URL of each publication:
// sign must be the lowercase hex HMAC-SHA256, keyed with the base64-decoded
// secret, of "<stream>-<product key>-<device name>-<token>".
const char* kChecker = R"(
import base64, hashlib, hmac, re, sys
from http.server import BaseHTTPRequestHandler, HTTPServer
from urllib.parse import parse_qs
port, secret, pk, dn, log = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5]
class Check(BaseHTTPRequestHandler):
    def do_POST(self):
        form = parse_qs(self.rfile.read(int(self.headers['Content-Length'])).decode())
        tcurl, name = form.get('tcurl', [''])[0], form.get('name', [''])[0]
        m = re.search(r'token=([^&/]*)-([0-9a-f]{64})', tcurl)
        ok = False
        if m:
            content = '-'.join([name, pk, dn, m.group(1)]).encode()
            want = hmac.new(base64.b64decode(secret), content, hashlib.sha256).hexdigest()
            ok = hmac.compare_digest(want, m.group(2))
        with open(log, 'a') as f:
            f.write(('accepted ' if ok else 'refused ') + tcurl + ' ' + name + '\n')
        self.send_response(200 if ok else 403)
        self.send_header('Content-Length', '0')
        self.end_headers()
    def log_message(self, *args):
        pass
HTTPServer(('127.0.0.1', port), Check).serve_forever()
)";

}  // namespace

TokenChecker::TokenChecker(const std::string& secret_b64, const std::string& product_key,
                           const std::string& device_name) {
    dir_ = TempDir();
    port_ = FreePort();
    std::ofstream(dir_ + "/check.py") << kChecker;
    pid_ = StartServer({"/usr/bin/python3", dir_ + "/check.py", std::to_string(port_), secret_b64,
                        product_key, device_name, dir_ + "/verdicts.log"},
                       dir_ + "/stderr.log", port_);
}

TokenChecker::~TokenChecker() {
    StopServer(pid_, SIGTERM);
    RunCommand("rm -rf '" + dir_ + "'", nullptr);
}

std::string TokenChecker::Url() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/publish";
}

std::string TokenChecker::Verdicts() const {
    std::string out;
    RunCommand("cat '" + dir_ + "/verdicts.log' '" + dir_ + "/stderr.log'", &out);
    return out;
}

}  // namespace rtmptest
