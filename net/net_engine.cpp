#include "net/net_engine.h"

#include <thread>
#include <unordered_map>
#include <vector>

#include "core/logger.h"
#include "core/time.h"

namespace kestrel {

// Rings coalesce: only the first ring after the engine cleared the flag
// writes a byte, so a burst of sends costs one wake.
class NetEngine::Wake : public NetWake {
  public:
    explicit Wake(NetSocketPair* pair) : pair_(pair) {}
    void Ring() override {
        // The engine's own sends, closes and connects need no byte through
        // the pipe: it only has to run another pass before it waits.
        if (std::this_thread::get_id() == owner_.load(std::memory_order_relaxed)) {
            self_rang_ = true;
            return;
        }
        if (pending_.exchange(true)) {
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (pair_ != nullptr) {
            pair_->Send("t", 1);
        }
    }
    // Called by the engine before it looks at its sockets: what changes after
    // this rings again.
    void Clear() {
        pending_.store(false);
        self_rang_ = false;
    }
    // Whether the engine changed a socket itself since Clear (engine thread only).
    bool SelfRang() const { return self_rang_; }
    void SetOwner(std::thread::id owner) { owner_.store(owner); }
    void Detach() {
        std::lock_guard<std::mutex> lock(mutex_);
        pair_ = nullptr;
    }

  private:
    std::atomic<bool> pending_{false};
    std::atomic<std::thread::id> owner_{};
    bool self_rang_ = false;
    std::mutex mutex_;
    NetSocketPair* pair_;
};

namespace {

bool closing(const SharedPtr<NetSocket>& s) {
    return s->GetState() == SOCKET_CLOSING;
}

}  // namespace

NetEngine::NetEngine()
    : mutex_(new Mutex(true)), pair_(new NetSocketPair), io_(new IoMultiplexing) {
    wake_ = SharedPtr<Wake>(new Wake(pair_));
}

NetEngine::~NetEngine() {
    // Stop here, not in the base destructor: the loop calls our overrides.
    Stop(true);
    // An engine that never ran still owes its sockets their one disconnect.
    disconnectAll();
    wake_->Detach();
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
    socket->SetWake(wake_);
    sockets_.emplace(id, socket);
    mutex_->Unlock();
    wake_->Ring();
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

int NetEngine::beforeThread() {
    wake_->SetOwner(std::this_thread::get_id());
    return 0;
}

int NetEngine::afterThread() {
    disconnectAll();
    // A later thread may be given the same id.
    wake_->SetOwner(std::thread::id());
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

bool NetEngine::classify(SocketList& connect, SocketList& check, SocketList& live,
                         SocketList& close) {
    MutexGuard g(*mutex_);
    for (auto it = sockets_.begin(); it != sockets_.end();) {
        int state = it->second->GetState();
        switch (state) {
            case SOCKET_IDLE:
                break;
            case SOCKET_CONNECT:
                connect.push_back(it->second);
                break;
            case SOCKET_CONNECTING:
                check.push_back(it->second);
                break;
            case SOCKET_CONNECTED:
                live.push_back(it->second);
                break;
            case SOCKET_CLOSING:
                close.push_back(it->second);
                it = sockets_.erase(it);
                continue;
            default:
                KS_LOGE("Socket state error, id = %lu, state = %d", it->first, state);
                return false;
        }
        ++it;
    }
    return true;
}

void NetEngine::closeSockets(SocketList& close) {
    for (auto& s : close) {
        // A socket closed before it was ever registered has nothing to remove.
        if (s->IsRegistered()) {
            if (io_->DeleteFd(s->GetFd()) < 0) {
                KS_LOGE("Delete fd failed, fd = %d", s->GetFd());
            }
            s->SetRegistered(false);
        }
        s->RealDisconnect();
    }
}

void NetEngine::startConnects(SocketList& connect, SocketList& check) {
    for (auto& s : connect) {
        if (closing(s)) {
            continue;
        }
        s->RealConnect();
        if (s->GetState() == SOCKET_CONNECTING) {
            check.push_back(s);
        }
    }
}

void NetEngine::checkConnects(SocketList& check, SocketList& live) {
    for (auto& s : check) {
        if (closing(s) || s->RealConnectCheck()) {
            continue;  // swept on the next pass
        }
        if (!s->IsRegistered()) {
            // A connecting socket waits for writability: that is how the end
            // of a non-blocking connect shows.
            if (io_->AddFd(s->GetFd(), true, true) < 0) {
                // Closing is enough: the next pass's sweep gives the socket
                // its one and only disconnect.
                KS_LOGE("Add fd failed, fd = %d", s->GetFd());
                s->Close();
                continue;
            }
            s->SetRegistered(true);
            s->SetWriteInterest(true);
        }
        live.push_back(s);
    }
}

// Registers write interest only where output waits, and returns how long the
// loop may sleep: until the nearest deadline, at once when a socket already
// needs another pass.
unsigned long NetEngine::prepareWait(SocketList& live) {
    unsigned long wait = kIdleWaitMs;
    uint64_t now = Time::GetSystemTimeInt(0);
    for (auto& s : live) {
        if (closing(s)) {
            wait = 0;
            continue;
        }
        bool want = s->GetState() == SOCKET_CONNECTING || s->WantsWrite();
        if (want != s->WriteInterest()) {
            if (io_->ModifyFd(s->GetFd(), true, want) == 0) {
                s->SetWriteInterest(want);
            } else {
                KS_LOGE("Modify fd failed, fd = %d", s->GetFd());
                s->Close();
                wait = 0;
            }
        }
        uint64_t deadline = s->NextDeadline();
        if (deadline != 0) {
            unsigned long left = deadline > now ? static_cast<unsigned long>(deadline - now) : 0;
            if (left < wait) {
                wait = left;
            }
        }
    }
    return wait;
}

void NetEngine::fireTimers(SocketList& live) {
    uint64_t now = Time::GetSystemTimeInt(0);
    for (auto& s : live) {
        if (!closing(s)) {
            s->RealTimer(now);
        }
    }
}

int NetEngine::serveEvents(SocketList& live) {
    std::unordered_map<int, NetSocket*> by_fd;
    by_fd.reserve(live.size());
    for (auto& s : live) {
        by_fd[s->GetFd()] = s.get();
    }
    for (int i = 0; i < io_->ReadyCount(); ++i) {
        int fd = -1;
        bool readable = false;
        bool writable = false;
        io_->ReadyAt(i, fd, readable, writable);
        if (fd == pair_->GetReadFd()) {
            if (readable) {
                pair_->Readable();
            }
            continue;
        }
        auto it = by_fd.find(fd);
        if (it == by_fd.end()) {
            continue;
        }
        NetSocket* s = it->second;
        // A socket closed meanwhile (by its client or by its own write step)
        // keeps the reason it was closed with; it is swept next pass.
        if (writable && s->GetState() != SOCKET_CLOSING) {
            s->RealWrite();
        }
        if (readable && s->GetState() != SOCKET_CLOSING) {
            s->RealRead();
        }
    }
    return 0;
}

int NetEngine::realThread() {
    passes_.fetch_add(1, std::memory_order_relaxed);
    wake_->Clear();
    SocketList to_connect, to_check, live, to_close;
    if (!classify(to_connect, to_check, live, to_close)) {
        return -1;
    }
    closeSockets(to_close);
    startConnects(to_connect, to_check);
    checkConnects(to_check, live);
    // A socket this pass changed itself (a failed connect step, a close from
    // a handler) is swept by the next pass without waiting.
    unsigned long wait = prepareWait(live);
    if (wake_->SelfRang()) {
        wait = 0;
    }
    int ret = io_->Dispatch(false, wait);
    if (ret < 0) {
        KS_LOGE("Dispatch error, ret = %d\n", ret);
        return -1;
    }
    fireTimers(live);
    return serveEvents(live);
}

}  // namespace kestrel
