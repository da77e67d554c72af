#include "net/net_transmission.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "core/logger.h"

namespace kestrel {

NetTransmission::NetTransmission(SharedPtr<NetSocketHandler> handler)
    : handler_(handler), write_queue_(65536, true), read_queue_(16384, true) {}

NetTransmission::~NetTransmission() = default;

long NetTransmission::Send(const char* data, unsigned long len) {
    if (len == 0) {
        return 0;
    }
    if (static_cast<unsigned long>(Pending()) + len > AutoGrowBuffer::kMaxLen) {
        KS_LOGE("%s Send queue full, len = %lu, queued = %ld", LogInfo().c_str(), len, Pending());
        return -1;
    }
    long ret = write_queue_.AddTailData(data, len);
    if (ret < 0) {
        KS_LOGE("%s Send queue full, len = %lu, queued = %lu", LogInfo().c_str(), len,
                write_queue_.GetSize());
        return -1;
    }
    byte_pending_ += ret;
    ring();
    return ret;
}

namespace {

// At most this many pieces per gathered write (the kernel's own limit).
constexpr size_t kIovBatch = IOV_MAX < 1024 ? IOV_MAX : 1024;

}  // namespace

long NetTransmission::SendPieces(const IoPieces& pieces, const SharedPtr<SharedBytes>& keep) {
    const size_t total = pieces.Total();
    if (total == 0) {
        return 0;
    }
    int state = GetState();
    if (state == SOCKET_CLOSING) {
        return -1;
    }
    if (static_cast<unsigned long>(Pending()) + total > AutoGrowBuffer::kMaxLen) {
        KS_LOGE("%s Send queue full, len = %zu, queued = %ld", LogInfo().c_str(), total, Pending());
        return -1;
    }
    // Written at once when nothing waits before it: the common case costs
    // one system call and no queue.
    PieceCursor at;
    if (state == SOCKET_CONNECTED && queued_.empty() && byte_pending_.load() == 0) {
        long written = writeNow(pieces, at);
        if (written < 0) {
            fail(DISCONNECT_SOCKET_ERROR);
            return -1;
        }
        if (static_cast<size_t>(written) == total) {
            // As after a drained queue: the owner gets its turn to pull more.
            write_requested_ = true;
            return static_cast<long>(total);
        }
    }
    queueRest(pieces, at, keep);
    return static_cast<long>(total);
}

// Gathered writes until the pieces are out or the kernel buffer is full;
// `at` ends where the kernel stopped, maybe inside a piece.
long NetTransmission::writeNow(const IoPieces& pieces, PieceCursor& at) {
    struct iovec iov[kIovBatch];
    long written = 0;
    while (at.piece < pieces.Count()) {
        int n = 0;
        size_t offered = 0;
        for (size_t i = at.piece; i < pieces.Count() && n < static_cast<int>(kIovBatch); ++i) {
            size_t off = i == at.piece ? at.skip : 0;
            iov[n].iov_base = const_cast<uint8_t*>(pieces.Data(i)) + off;
            iov[n].iov_len = pieces.At(i).len - off;
            offered += iov[n].iov_len;
            ++n;
        }
        long w = privateSendv(iov, n);
        if (w < 0) {
            return -1;
        }
        written += w;
        size_t left = static_cast<size_t>(w);
        while (at.piece < pieces.Count() && left >= pieces.At(at.piece).len - at.skip) {
            left -= pieces.At(at.piece).len - at.skip;
            at.skip = 0;
            ++at.piece;
        }
        at.skip += left;
        if (static_cast<size_t>(w) < offered) {
            break;
        }
    }
    return written;
}

// The rest waits: transient bytes are copied (framing, mostly), the payload
// stays where `keep` holds it. Without a keeper every byte is copied, as
// nothing says how long the caller's buffer lives.
void NetTransmission::queueRest(const IoPieces& pieces, PieceCursor at,
                                const SharedPtr<SharedBytes>& keep) {
    Queued q;
    size_t copy_len = 0;
    for (size_t i = at.piece; i < pieces.Count(); ++i) {
        if (pieces.Transient(i) || !keep) {
            copy_len += pieces.At(i).len - (i == at.piece ? at.skip : 0);
        }
    }
    if (copy_len) {
        q.copies.reset(new uint8_t[copy_len]);
    }
    size_t copied = 0;
    size_t waiting = 0;
    q.iov.reserve(pieces.Count() - at.piece);
    for (size_t i = at.piece; i < pieces.Count(); ++i) {
        size_t off = i == at.piece ? at.skip : 0;
        size_t n = pieces.At(i).len - off;
        const uint8_t* d = pieces.Data(i) + off;
        struct iovec v;
        if (pieces.Transient(i) || !keep) {
            memcpy(q.copies.get() + copied, d, n);
            v.iov_base = q.copies.get() + copied;
            copied += n;
        } else {
            v.iov_base = const_cast<uint8_t*>(d);
        }
        v.iov_len = n;
        q.iov.push_back(v);
        waiting += n;
    }
    q.keep = keep;
    queued_.push_back(std::move(q));
    piece_pending_ += static_cast<long>(waiting);
    ring();
}

long NetTransmission::writeQueued() {
    long written = 0;
    while (!queued_.empty()) {
        Queued& q = queued_.front();
        size_t n = std::min(q.iov.size() - q.next, kIovBatch);
        size_t offered = 0;
        for (size_t i = q.next; i < q.next + n; ++i) {
            offered += q.iov[i].iov_len;
        }
        long w = privateSendv(q.iov.data() + q.next, static_cast<int>(n));
        if (w < 0) {
            return -1;
        }
        written += w;
        piece_pending_ -= w;
        size_t left = static_cast<size_t>(w);
        while (q.next < q.iov.size() && left >= q.iov[q.next].iov_len) {
            left -= q.iov[q.next].iov_len;
            ++q.next;
        }
        if (left) {
            q.iov[q.next].iov_base = static_cast<uint8_t*>(q.iov[q.next].iov_base) + left;
            q.iov[q.next].iov_len -= left;
        }
        if (q.next == q.iov.size()) {
            queued_.pop_front();
        }
        if (static_cast<size_t>(w) < offered) {
            break;  // the kernel buffer is full
        }
    }
    return written;
}

long NetTransmission::Pending() {
    return byte_pending_.load() + piece_pending_.load();
}

void NetTransmission::OnConnect() {
    if (handler_) {
        handler_->OnConnect();
    }
}

void NetTransmission::OnDisConnect(NetSocketDisconnectResult reason) {
    if (handler_) {
        handler_->OnDisConnect(reason);
    }
}

long NetTransmission::deliver(void* self, const char* data, unsigned long len) {
    NetTransmission* t = static_cast<NetTransmission*>(self);
    return t->handler_ ? t->handler_->OnData(data, len) : static_cast<long>(len);
}

long NetTransmission::OnRead(const char* data, unsigned long len, bool last) {
    if (len > 0 && read_queue_.AddTailData(data, len) < 0) {
        KS_LOGE("%s Read queue full, len = %lu, queued = %lu", LogInfo().c_str(), len,
                read_queue_.GetSize());
        return -1;
    }
    if (last && read_queue_.PopHeadData(&NetTransmission::deliver, this) < 0) {
        return -1;
    }
    return static_cast<long>(len);
}

long NetTransmission::writeOut(void* self, const char* data, unsigned long len) {
    return static_cast<NetTransmission*>(self)->privateSend(data, len);
}

long NetTransmission::OnWrite() {
    if (byte_pending_.load() > 0) {
        long ret = write_queue_.PopHeadData(&NetTransmission::writeOut, this);
        if (ret > 0) {
            byte_pending_ -= ret;
        }
        if (ret > 0 && Pending() == 0) {
            write_requested_ = true;  // drained: the owner may pull more
        }
        return ret;
    }
    if (!queued_.empty()) {
        long ret = writeQueued();
        if (ret > 0 && queued_.empty()) {
            write_requested_ = true;
        }
        return ret;
    }
    if (!takeWriteRequest() || !handler_) {
        return 0;
    }
    return handler_->OnWrite();
}

bool NetTransmission::WantsWrite() {
    return Pending() > 0 || writeRequested();
}

void NetTransmission::OnTimer() {
    if (handler_) {
        handler_->OnTimer();
    }
}

}  // namespace kestrel
