#include "net/net_engine.h"

#include <vector>

#include "core/logger.h"

namespace kestrel {

namespace {

using SocketList = std::vector<SharedPtr<NetSocket>>;

bool closing(const SharedPtr<NetSocket>& s) {
    return s->GetState() == SOCKET_CLOSING;
}

}  // namespace

NetEngine::NetEngine()
    : mutex_(new Mutex(true)), pair_(new NetSocketPair), io_(new IoMultiplexing) {}

NetEngine::~NetEngine() {
    // Stop here, not in the base destructor: the loop calls our overrides.
    Stop(true);
    // An engine that never ran still owes its sockets their one disconnect.
    disconnectAll();
    delete io_;
    delete pair_;
    delete mutex_;
}

unsigned long NetEngine::Add(SharedPtr<NetSocket> socket) {
    if (!socket) {
        KS_LOGE("Add a null socket");
        return 0;
    }
    mutex_->Lock();
    if (sockets_.size() >= kMaxSockets) {
        unsigned long count = sockets_.size();
        mutex_->Unlock();
        KS_LOGE("Too many sockets, count = %lu, refused", count);
        return 0;
    }
    unsigned long id = ++last_id_;
    bool was_empty = sockets_.empty();
    sockets_.emplace(id, socket);
    mutex_->Unlock();
    if (was_empty) {
        // The loop idles in a long wait while it holds no socket.
        pair_->Send("t", 1);
    }
    KS_LOGV("Add fd = %lu\n", id);
    return id;
}

bool NetEngine::Query(unsigned long id, SharedPtr<NetSocket>& out) {
    MutexGuard g(*mutex_);
    auto it = sockets_.find(id);
    if (it == sockets_.end()) {
        return false;
    }
    out = it->second;
    return true;
}

unsigned long NetEngine::GetSocketCount() {
    MutexGuard g(*mutex_);
    return sockets_.size();
}

int NetEngine::beforeStart() {
    if (pair_->Start() < 0) {
        return -1;
    }
    if (!pair_registered_) {
        if (io_->AddFd(pair_->GetReadFd(), true, false) < 0) {
            pair_->Stop();
            return -1;
        }
        pair_registered_ = true;
    }
    return 0;
}

void NetEngine::beforeStop() {
    pair_->Send("t", 1);
}

int NetEngine::afterThread() {
    disconnectAll();
    return 0;
}

void NetEngine::afterStop() {
    if (pair_registered_) {
        io_->DeleteFd(pair_->GetReadFd());
        pair_registered_ = false;
    }
    pair_->Stop();
}

void NetEngine::disconnectAll() {
    std::map<unsigned long, SharedPtr<NetSocket>> all;
    mutex_->Lock();
    all.swap(sockets_);
    mutex_->Unlock();
    for (auto& entry : all) {
        SharedPtr<NetSocket>& s = entry.second;
        s->Close();
        if (s->IsRegistered()) {
            io_->DeleteFd(s->GetFd());
            s->SetRegistered(false);
        }
        s->RealDisconnect();
    }
}

int NetEngine::realThread() {
    IoMultiplexing::Sleep(kPassSleepMs);

    SocketList to_connect, to_check, to_serve, to_close;
    mutex_->Lock();
    if (sockets_.empty()) {
        mutex_->Unlock();
        int ret = io_->Dispatch(false, kIdleWaitMs);
        if (ret < 0) {
            KS_LOGE("Dispatch failed");
            return -1;
        }
        if (ret == 0) {
            return 0;
        }
        bool readable = false;
        bool writable = false;
        if (io_->FdCheck(pair_->GetReadFd(), readable, writable) < 0) {
            KS_LOGE("Should not be here");
            return -1;
        }
        if (readable) {
            pair_->Readable();
        }
        return 0;
    }
    for (auto it = sockets_.begin(); it != sockets_.end();) {
        int state = it->second->GetState();
        switch (state) {
            case SOCKET_IDLE:
                ++it;
                break;
            case SOCKET_CONNECT:
                to_connect.push_back(it->second);
                ++it;
                break;
            case SOCKET_CONNECTING:
                to_check.push_back(it->second);
                ++it;
                break;
            case SOCKET_CONNECTED:
                to_serve.push_back(it->second);
                ++it;
                break;
            case SOCKET_CLOSING:
                to_close.push_back(it->second);
                it = sockets_.erase(it);
                break;
            default:
                mutex_->Unlock();
                KS_LOGE("Socket state error, id = %lu, state = %d", it->first, state);
                return -1;
        }
    }
    mutex_->Unlock();

    for (auto& s : to_close) {
        // A socket closed before it was ever registered has nothing to remove.
        if (s->IsRegistered()) {
            if (io_->DeleteFd(s->GetFd()) < 0) {
                KS_LOGE("Delete fd failed, fd = %d", s->GetFd());
            }
            s->SetRegistered(false);
        }
        s->RealDisconnect();
    }

    for (auto& s : to_connect) {
        if (!closing(s)) {
            s->RealConnect();
        }
    }

    for (auto& s : to_check) {
        if (closing(s) || s->RealConnectCheck()) {
            continue;  // swept on the next pass
        }
        if (!s->IsRegistered()) {
            if (io_->AddFd(s->GetFd(), true, true) < 0) {
                // Closing is enough: the next pass's sweep gives the socket
                // its one and only disconnect.
                KS_LOGE("Add fd failed, fd = %d", s->GetFd());
                s->Close();
                continue;
            }
            s->SetRegistered(true);
        }
        to_serve.push_back(s);
    }

    if (to_serve.empty()) {
        return 0;
    }
    int ret = io_->Dispatch(false, kIoWaitMs);
    if (ret < 0) {
        KS_LOGE("Dispatch error, ret = %d\n", ret);
        return -1;
    }
    if (ret == 0) {
        return 0;
    }
    bool readable = false;
    bool writable = false;
    if (io_->FdCheck(pair_->GetReadFd(), readable, writable) == 0 && readable) {
        // Drain stray wake bytes so they do not cut every later wait short.
        pair_->Readable();
    }
    for (auto& s : to_serve) {
        if (io_->FdCheck(s->GetFd(), readable, writable) < 0) {
            KS_LOGE("Fd check error");
            return -1;
        }
        // A socket closed meanwhile (by its client or by its own write step)
        // keeps the reason it was closed with; it is swept next pass.
        if (writable && !closing(s)) {
            s->RealWrite();
        }
        if (readable && !closing(s)) {
            s->RealRead();
        }
    }
    return 0;
}

}  // namespace kestrel
