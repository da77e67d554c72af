#include "net/net_transmission.h"

#include "core/logger.h"

namespace kestrel {

NetTransmission::NetTransmission(SharedPtr<NetSocketHandler> handler)
    : handler_(handler), write_queue_(65536, true), read_queue_(16384, true) {}

NetTransmission::~NetTransmission() = default;

long NetTransmission::Send(const char* data, unsigned long len) {
    if (len == 0) {
        return 0;
    }
    long ret = write_queue_.AddTailData(data, len);
    if (ret < 0) {
        KS_LOGE("%s Send queue full, len = %lu, queued = %lu", LogInfo().c_str(), len,
                write_queue_.GetSize());
        return -1;
    }
    ring();
    return ret;
}

long NetTransmission::Pending() {
    return static_cast<long>(write_queue_.GetSize());
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
    if (write_queue_.GetSize() > 0) {
        long ret = write_queue_.PopHeadData(&NetTransmission::writeOut, this);
        if (ret > 0 && write_queue_.GetSize() == 0) {
            write_requested_ = true;  // drained: the owner may pull more
        }
        return ret;
    }
    if (!takeWriteRequest() || !handler_) {
        return 0;
    }
    return handler_->OnWrite();
}

bool NetTransmission::WantsWrite() {
    return write_queue_.GetSize() > 0 || writeRequested();
}

void NetTransmission::OnTimer() {
    if (handler_) {
        handler_->OnTimer();
    }
}

}  // namespace kestrel
