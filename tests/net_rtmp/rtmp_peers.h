// Peers for the RTMP connection tests: a scripted RTMP server on a loopback
// port (one connection, a script run on its own thread), an nginx relay with
// the RTMP module recording what it receives, the sample media frames, and
// an owner that publishes them and records what the connection reports.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/shared_ptr.h"
#include "net/rtmp_client.h"
#include "proto/rtmp_chunk.h"

namespace rtmptest {

using Bytes = std::vector<uint8_t>;

uint64_t NowMs();
int FreePort();
// Runs a shell command: exit status, stdout and stderr in *out.
int RunCommand(const std::string& cmd, std::string* out);
std::string TempDir();

struct Frame {
    bool video;
    bool key;
    uint32_t timestamp;
    std::string data;
};

// The committed sample stream (H.264 + AAC 16 kHz mono), up to max_ms.
std::vector<Frame> SampleFrames(uint32_t max_ms = UINT32_MAX);

// One accepted connection, read with bounded waits.
class PeerConn {
  public:
    explicit PeerConn(int fd) : fd_(fd) {}
    ~PeerConn();
    bool ReadExact(size_t n, Bytes* out, int timeout_ms = 3000);
    bool Write(const Bytes& b);
    // The next whole message; follows the client's Set Chunk Size.
    bool ReadMessage(kestrel::rtmp_chunk_header_t* h, Bytes* payload, int timeout_ms = 3000);
    // The next command message's name, skipping others (returned in *skipped).
    bool ReadCommand(std::string* name, Bytes* body = nullptr, int timeout_ms = 3000);
    void SetReaderChunkSize(uint32_t size) { reader_.SetChunkSize(size); }
    void SetWriterChunkSize(uint32_t size) { writer_.SetChunkSize(size); }
    bool Send(uint32_t cid, uint8_t type, uint32_t sid, const Bytes& payload, uint32_t ts = 0);
    bool SendResult(double txn, double stream_id);
    bool SendConnectResult();
    bool SendStatus(const std::string& level, const std::string& code, const std::string& desc);
    // S0 + S1 + S2 after reading C0 + C1, then C2.
    bool ServerHandshake();
    // connect .. publish answered up to Publish.Start.
    bool AcceptPublish();
    int fd() const { return fd_; }

  private:
    bool Fill(uint64_t deadline);
    int fd_;
    Bytes pending_;
    kestrel::RtmpChunkReader reader_;
    kestrel::RtmpChunkWriter writer_;
};

class ScriptedPeer {
  public:
    explicit ScriptedPeer(std::function<void(PeerConn&)> script, int rcvbuf = 0);
    ~ScriptedPeer();
    int port() const { return port_; }
    void Join();

  private:
    int listen_fd_ = -1;
    int port_ = 0;
    std::thread thread_;
};

class NginxRelay {
  public:
    // on_publish: an HTTP URL nginx asks before it accepts a publication.
    explicit NginxRelay(const std::string& on_publish = "");
    ~NginxRelay();
    bool Started() const { return pid_ > 0; }
    int port() const { return port_; }
    // Once every client it accepted has been seen off (its data processed)
    // or timeout_ms passed, stops: recordings are complete afterwards.
    void Stop(int timeout_ms = 5000);
    std::string Recording(const std::string& stream) const;
    std::string ErrorLog() const;

  private:
    bool AllDisconnected() const;
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// The cloud's side of a signed publish URL, checked by a separate program
// (python) rather than by the SDK's own signing code.
class TokenChecker {
  public:
    TokenChecker(const std::string& secret_b64, const std::string& product_key,
                 const std::string& device_name);
    ~TokenChecker();
    bool Started() const { return pid_ > 0; }
    std::string Url() const;
    // One line per check: "accepted|refused <tcurl> <name>", then any errors.
    std::string Verdicts() const;

  private:
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// Records everything the connection reports; publishes frames on its write turns.
class Owner : public kestrel::RtmpClientHandler {
  public:
    struct Notice {
        int code;
        bool has_data;
        double value;
        std::string text;
    };

    void OnConnect() override;
    void OnNotify(kestrel::rtmp_client_notify_t code, void* data) override;
    void OnClose(CloseResult result) override;
    void OnWrite() override;
    void OnAudio(const void* data, size_t len, uint32_t timestamp) override;
    void OnAudioFormat(kestrel::AudioFormat format, kestrel::AudioBit bit,
                       kestrel::AudioChannel channel, kestrel::AudioAdditionalRate rate) override;

    // Waits for OnClose; false on time-out.
    bool WaitClosed(int timeout_ms);
    bool WaitFor(const std::function<bool()>& done, int timeout_ms);
    void Forget() { client = kestrel::SharedPtr<kestrel::RtmpClient>(); }

    // Set before Start, used on the engine thread.
    kestrel::SharedPtr<kestrel::RtmpClient> client;
    std::vector<Frame> frames;
    uint32_t timestamp_base = 0;
    int video_format = 0;        // 0 H.264, 1 H.265
    bool loop = false;           // replay the frames for ever
    bool stop_when_done = true;  // Stop once everything is written
    bool paced = false;          // a frame goes out once its time since pace_start_ms has come
    uint64_t pace_start_ms = 0;
    size_t oversize_len = 0;  // when set, a frame this long is offered at publish start
    int oversize_rc = 1;

    std::mutex mu;
    std::condition_variable cv;
    int connects = 0;
    int closes = 0;
    int close_result = -1;
    std::vector<Notice> notices;
    std::vector<Bytes> audio;
    std::vector<uint32_t> audio_ts;
    int audio_format = -1, audio_bit = -1, audio_channel = -1, audio_rate = -1;
    size_t sent = 0;  // frames taken by the connection
    int refused = 0;  // frames the connection refused (not counting no-room)

  private:
    void Pump();
    bool publishing_ = false;  // engine thread only
    size_t next_ = 0;
    uint32_t loop_offset_ = 0;
    bool all_queued_ = false;
};

}  // namespace rtmptest
