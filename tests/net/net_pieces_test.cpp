// Messages in pieces over a plain connection whose peer stops reading: what
// cannot be written at once waits as descriptors (framing copied, payload by
// reference), resumes wherever the kernel stopped, never passes the 1 MiB
// bound, and reaches the peer byte for byte once it reads again.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "net/net_connector.h"
#include "net_test_util.h"

using namespace kestrel;
using kestrel_test::Listener;
using kestrel_test::WaitUntil;

namespace {

class PieceSender : public NetSocketHandler {
  public:
    std::atomic<unsigned long> id{0};
    std::atomic<bool> done{false};
    std::mutex mu;
    std::vector<uint8_t> expected;  // every byte accepted, in order
    long refused_pending_before = -1, refused_pending_after = -1;
    bool queued_seen = false;    // a message had to wait
    bool kept_while_queued = false;  // and the socket held its block meanwhile

    void OnConnect() override {}
    void OnDisConnect(NetSocketDisconnectResult) override {}
    long OnData(const char*, unsigned long len) override { return static_cast<long>(len); }
    long OnWrite() override {
        if (done) {
            return 0;
        }
        SharedPtr<NetSocket> s = NetConnector::Find(id);
        if (!s) {
            return 0;
        }
        // A small kernel buffer and odd sizes: the kernel stops inside
        // pieces, not between them, on every write.
        int small = 8192;
        setsockopt(s->GetFd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        for (unsigned n = 0;; ++n) {
            SharedPtr<SharedBytes> block(new SharedBytes);
            block->Resize(60001 + n * 7);
            for (size_t i = 0; i < block->Size(); ++i) {
                block->Data()[i] = static_cast<uint8_t>(i * 31 + n);
            }
            IoPieces p;
            for (size_t off = 0; off < block->Size(); off += 4093) {
                uint8_t head[5] = {0xA5, static_cast<uint8_t>(n), static_cast<uint8_t>(off >> 16),
                                   static_cast<uint8_t>(off >> 8), static_cast<uint8_t>(off)};
                p.AddOwn(head, sizeof head);
                size_t len = std::min<size_t>(4093, block->Size() - off);
                p.AddSpan(block->Data() + off, len, false);
            }
            std::vector<uint8_t> flat;
            p.AppendTo(&flat);
            long before = s->Pending();
            long r = s->SendPieces(p, block);
            if (r < 0) {
                std::lock_guard<std::mutex> lk(mu);
                refused_pending_before = before;
                refused_pending_after = s->Pending();
                break;
            }
            EXPECT_EQ(static_cast<long>(flat.size()), r);
            {
                std::lock_guard<std::mutex> lk(mu);
                expected.insert(expected.end(), flat.begin(), flat.end());
                if (s->Pending() > 0) {
                    queued_seen = true;
                    kept_while_queued = kept_while_queued || block.use_count() > 1;
                }
            }
            // The framing was the list's: it must have been copied if it waits.
            p.Clear();
            uint8_t junk[5] = {0, 0, 0, 0, 0};
            p.AddOwn(junk, sizeof junk);
        }
        done = true;
        return 0;
    }
};

}  // namespace

TEST(NetPieces, QueuedPiecesResumeMidPieceAndArriveWhole) {
    Listener listener;
    ASSERT_EQ(0, NetConnector::Start());
    SharedPtr<PieceSender> sender(new PieceSender);
    unsigned long id =
        NetConnector::Create(SharedPtr<NetSocketHandler>(sender), NET_PROTOCOL_TCP, nullptr, 0);
    ASSERT_NE(0u, id);
    sender->id = id;
    NetConnector::Connect(id, "127.0.0.1", listener.Port(), 2000);
    int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    // The peer reads nothing until the sender has run into the bound.
    ASSERT_TRUE(WaitUntil([&] { return sender->done.load(); }, 10000));
    std::vector<uint8_t> got;
    size_t want;
    {
        std::lock_guard<std::mutex> lk(sender->mu);
        want = sender->expected.size();
        EXPECT_TRUE(sender->queued_seen);
        EXPECT_TRUE(sender->kept_while_queued);
        // Refused whole: nothing of it was queued.
        EXPECT_EQ(sender->refused_pending_before, sender->refused_pending_after);
        EXPECT_LE(sender->refused_pending_after, 1024 * 1024);
    }
    timeval tv{5, 0};
    setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::vector<uint8_t> buf(3000);
    while (got.size() < want) {
        ssize_t n = read(peer, buf.data(), buf.size());
        if (n <= 0) {
            break;
        }
        got.insert(got.end(), buf.begin(), buf.begin() + n);
    }
    EXPECT_TRUE(WaitUntil([&] { return NetConnector::Find(id) && NetConnector::Find(id)->Pending() == 0; }));
    {
        std::lock_guard<std::mutex> lk(sender->mu);
        ASSERT_EQ(sender->expected.size(), got.size());
        EXPECT_TRUE(sender->expected == got);
    }
    close(peer);
    NetConnector::Stop();
}
