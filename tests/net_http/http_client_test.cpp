// The HTTP client on the network engine against a real server (Python's
// http.server, plain and TLS, with a CA made for the run).
#include "net/http_client.h"

#include <gtest/gtest.h>
#include <mbedtls/sha256.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "http_peer.h"
#include "log_capture.h"
#include "net/net_connector.h"
#include "net/url_parse.h"

using namespace kestrel;
using http_test::HttpPeer;
using http_test::Pattern;

namespace {

constexpr size_t kMiB = 1024 * 1024;
constexpr size_t kBig = 8 * kMiB;

std::string Sha256Hex(const std::string& data) {
    unsigned char sum[32];
    mbedtls_sha256_ret(reinterpret_cast<const unsigned char*>(data.data()), data.size(), sum, 0);
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : sum) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

// Records what the client reports; sends its requests once connected and
// feeds an upload body as the socket drains.
class Recorder : public HttpClientHandler {
  public:
    struct Response {
        int code = 0;
        uint64_t length = 0;
        std::string body;
        HttpResponseParse head;
    };

    void OnConnect() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++connects;
        for (const auto& r : requests) {
            EXPECT_GT(client->SendRequest(r), 0);
        }
        Feed();
    }
    void OnHeader(const HttpResponseParse& head) override {
        std::lock_guard<std::mutex> lock(mutex_);
        Response r;
        r.code = head.GetStatusCode();
        r.length = head.GetContentLen();
        r.head = head;
        responses.push_back(r);
        if (r.length == 0) {
            ++complete;
        }
        cv_.notify_all();
    }
    void OnBody(const char* data, size_t len) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ASSERT_FALSE(responses.empty());
        Response& r = responses.back();
        r.body.append(data, len);
        ++pieces;
        EXPECT_LE(r.body.size(), r.length);
        if (r.body.size() == r.length) {
            ++complete;
        }
        cv_.notify_all();
    }
    void OnWrite() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++write_turns;
        Feed();
        cv_.notify_all();
    }
    // Lets the body go once the test says so (from its own thread).
    void Release() {
        std::lock_guard<std::mutex> lock(mutex_);
        hold = false;
    }
    bool WaitWriteTurn() {
        return Wait([&] { return write_turns > 0; });
    }
    void OnDisconnect() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++disconnects;
        cv_.notify_all();
    }

    bool WaitComplete(size_t n) {
        return Wait([&] { return complete >= n; });
    }
    bool WaitDisconnect() {
        return Wait([&] { return disconnects > 0; });
    }
    std::vector<Response> Responses() {
        std::lock_guard<std::mutex> lock(mutex_);
        return responses;
    }

    HttpClient* client = nullptr;
    std::vector<HttpRequestConstruct> requests;
    std::string upload;
    size_t sent = 0;
    bool hold = false;
    int write_turns = 0;
    int connects = 0;
    int disconnects = 0;
    size_t complete = 0;
    size_t pieces = 0;
    std::vector<Response> responses;

  private:
    // The socket's queue holds at most 1 MiB; what does not fit waits for
    // the next OnWrite.
    void Feed() {
        while (!hold && sent < upload.size()) {
            long pending = client->Pending();
            size_t piece = std::min<size_t>(256 * 1024, upload.size() - sent);
            if (pending < 0 || static_cast<size_t>(pending) + piece > kMiB) {
                return;
            }
            ASSERT_EQ(static_cast<long>(piece), client->SendContent(upload.data() + sent, piece));
            sent += piece;
        }
    }
    template <typename Pred>
    bool Wait(Pred pred) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(60), pred);
    }
    std::mutex mutex_;
    std::condition_variable cv_;
};

// As the upload clients build it: from the URL they were given.
HttpRequestConstruct Request(int method, const std::string& target, size_t length = 0) {
    NetUrlParse url;
    EXPECT_EQ(0, url.Parse("http://127.0.0.1:8080" + target));
    HttpRequestConstruct r;
    r.SetRequestLineUrl(method, HttpProtocolAssistant::VERSION_1_1, url);
    r.SetContentLength(length);
    return r;
}

class HttpClientTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        peer_ = new HttpPeer;
        ASSERT_TRUE(peer_->Start()) << peer_->error;
        ASSERT_EQ(0, NetConnector::Start());
    }
    static void TearDownTestSuite() {
        NetConnector::Stop();
        delete peer_;
        peer_ = nullptr;
    }

    // Connects a client for rec (TLS with the run's CA, or plain).
    SharedPtr<HttpClient> Open(const SharedPtr<Recorder>& rec, bool tls) {
        const char* ca = tls ? peer_->ca.c_str() : nullptr;
        SharedPtr<HttpClient> client = HttpClient::Create(rec, ca, tls ? peer_->ca.size() : 0);
        EXPECT_TRUE(client);
        if (client) {
            rec->client = client.get();
            client->ConnectAddr("127.0.0.1", tls ? peer_->tls_port : peer_->plain_port, 5000);
        }
        return client;
    }

    static HttpPeer* peer_;
};
HttpPeer* HttpClientTest::peer_ = nullptr;

struct Transfer {
    bool tls;
    size_t size;
};
const Transfer kTransfers[] = {{false, 5}, {false, kBig}, {true, 5}, {true, kBig}};

TEST_F(HttpClientTest, GetSmallAndLargeBodies) {
    for (const auto& t : kTransfers) {
        SCOPED_TRACE(std::string(t.tls ? "TLS " : "plain ") + std::to_string(t.size));
        SharedPtr<Recorder> rec(new Recorder);
        rec->requests.push_back(Request(1, "/bytes/" + std::to_string(t.size)));
        SharedPtr<HttpClient> client = Open(rec, t.tls);
        ASSERT_TRUE(rec->WaitComplete(1));
        auto responses = rec->Responses();
        ASSERT_EQ(1u, responses.size());
        EXPECT_EQ(200, responses[0].code);
        EXPECT_EQ(t.size, responses[0].length);
        EXPECT_TRUE(responses[0].body == Pattern(t.size)) << "body differs";
        if (t.size == kBig) {
            // Far beyond the connector's receive queue: handed over as it came.
            EXPECT_GE(rec->pieces, 8u);
        }
        client->Close();
        ASSERT_TRUE(rec->WaitDisconnect());
        EXPECT_EQ(1, rec->disconnects);
    }
}

TEST_F(HttpClientTest, PutSmallAndLargeBodies) {
    for (const auto& t : kTransfers) {
        SCOPED_TRACE(std::string(t.tls ? "TLS " : "plain ") + std::to_string(t.size));
        SharedPtr<Recorder> rec(new Recorder);
        rec->upload = Pattern(t.size);
        rec->requests.push_back(Request(2, "/sink", t.size));
        SharedPtr<HttpClient> client = Open(rec, t.tls);
        ASSERT_TRUE(rec->WaitComplete(1));
        auto responses = rec->Responses();
        ASSERT_EQ(1u, responses.size());
        EXPECT_EQ(200, responses[0].code);
        EXPECT_EQ(std::to_string(t.size) + " " + Sha256Hex(rec->upload), responses[0].body);
        client->Close();
        ASSERT_TRUE(rec->WaitDisconnect());
    }
}

// A body that is not ready at the socket's write turn goes out once the
// owner, on another thread, has it and asks for another turn.
TEST_F(HttpClientTest, UploadResumesOnRequestWrite) {
    SharedPtr<Recorder> rec(new Recorder);
    rec->upload = Pattern(3 * kMiB);
    rec->hold = true;
    rec->requests.push_back(Request(2, "/sink", rec->upload.size()));
    SharedPtr<HttpClient> client = Open(rec, true);
    ASSERT_TRUE(rec->WaitWriteTurn());
    rec->Release();
    client->RequestWrite();
    ASSERT_TRUE(rec->WaitComplete(1));
    auto responses = rec->Responses();
    ASSERT_EQ(1u, responses.size());
    EXPECT_EQ(std::to_string(rec->upload.size()) + " " + Sha256Hex(rec->upload), responses[0].body);
    client->Close();
    ASSERT_TRUE(rec->WaitDisconnect());
}

// Two requests on one connection, answered 404 and 500, each body read
// exactly so the second head is found behind the first body.
TEST_F(HttpClientTest, KeepAliveCarriesErrorStatuses) {
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "TLS" : "plain");
        SharedPtr<Recorder> rec(new Recorder);
        rec->requests.push_back(Request(1, "/status/404"));
        rec->requests.push_back(Request(1, "/status/500"));
        SharedPtr<HttpClient> client = Open(rec, tls);
        ASSERT_TRUE(rec->WaitComplete(2));
        auto responses = rec->Responses();
        ASSERT_EQ(2u, responses.size());
        EXPECT_EQ(404, responses[0].code);
        EXPECT_EQ("status 404", responses[0].body);
        EXPECT_EQ(500, responses[1].code);
        EXPECT_EQ("status 500", responses[1].body);
        EXPECT_EQ(1, rec->connects);
        client->Close();
        ASSERT_TRUE(rec->WaitDisconnect());
    }
}

TEST_F(HttpClientTest, LowerCaseHeaderNames) {
    SharedPtr<Recorder> rec(new Recorder);
    rec->requests.push_back(Request(1, "/lower"));
    SharedPtr<HttpClient> client = Open(rec, false);
    ASSERT_TRUE(rec->WaitComplete(1));
    auto responses = rec->Responses();
    ASSERT_EQ(1u, responses.size());
    EXPECT_EQ(5u, responses[0].length);
    EXPECT_EQ("lower", responses[0].body);
    EXPECT_EQ("spaced", responses[0].head.GetHeaderValue("X-Lower"));
    client->Close();
    ASSERT_TRUE(rec->WaitDisconnect());
}

// Responses the client cannot read end the connection with an error line;
// the handler hears no head, only the disconnect.
TEST_F(HttpClientTest, UnreadableResponsesCloseWithAnError) {
    struct Case {
        const char* target;
        const char* log;
    } cases[] = {
        {"/long-head", "Http response head larger than 16 KiB"},
        {"/chunked", "Http transfer encoding \"chunked\" not supported"},
        {"/bad-status", "Http response head malformed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        kestrel_test::LogCapture log;
        SharedPtr<Recorder> rec(new Recorder);
        rec->requests.push_back(Request(1, c.target));
        SharedPtr<HttpClient> client = Open(rec, false);
        ASSERT_TRUE(rec->WaitDisconnect());
        EXPECT_TRUE(rec->Responses().empty());
        EXPECT_EQ(1u, log.Count(std::string("2 ") + c.log));
    }
}

// A peer that closes inside the body: the handler has what came, and the
// loss is said, not passed over.
TEST_F(HttpClientTest, BodyCutShortIsReported) {
    kestrel_test::LogCapture log;
    SharedPtr<Recorder> rec(new Recorder);
    rec->requests.push_back(Request(1, "/cut-short"));
    SharedPtr<HttpClient> client = Open(rec, false);
    ASSERT_TRUE(rec->WaitDisconnect());
    auto responses = rec->Responses();
    ASSERT_EQ(1u, responses.size());
    EXPECT_EQ(100u, responses[0].length);
    EXPECT_EQ("0123456789", responses[0].body);
    EXPECT_EQ(0u, rec->complete);
    EXPECT_TRUE(log.Contains("2 Http body cut short on socket")) << "no error line";
    EXPECT_TRUE(log.Contains("90 bytes missing"));
}

TEST_F(HttpClientTest, RequestWithoutRequestLineIsRefused) {
    kestrel_test::LogCapture log;
    SharedPtr<Recorder> rec(new Recorder);
    SharedPtr<HttpClient> client = Open(rec, false);
    HttpRequestConstruct empty;
    EXPECT_EQ(-1, client->SendRequest(empty));
    EXPECT_TRUE(log.Contains("2 Request line missed"));
    client->Close();
    ASSERT_TRUE(rec->WaitDisconnect());
}

}  // namespace
