#include "net/net_engine.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <thread>

#include "core/logger.h"
#include "core/time.h"

namespace kestrel {

// The engine's doorbell. Other threads leave the sockets that need a look
// (and newly added sockets) here; the first request after the engine emptied
// the lists writes one byte to the pipe, so a burst costs one wake. Requests
// made on the engine thread itself need no byte: the engine looks at the
// lists before it waits.
//
// A ring takes no lock: it is what every frame of every stream costs its
// producer. Sockets that rang form a lock-free stack of their doorbells (each
// is on it at most once, see SocketWake), which the engine takes whole.
// Added sockets are rare and keep a mutex, looked at only when flagged.
class NetEngine::Wake {
  public:
    struct Added {
        unsigned long id;
        SharedPtr<NetSocket> socket;
        SharedPtr<SocketWake> wake;
    };

    // The pipe lives as long as the doorbell, and so as long as any socket
    // that may ring it: a late ring writes to a closed pair, never to a
    // descriptor number closed and handed out again.
    NetSocketPair& Pair() { return pair_; }

    void Post(SocketWake* rang);
    void PostAdd(Added added) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (detached_.load()) {
                return;
            }
            added_.push_back(std::move(added));
            adds_.store(true);
        }
        nudge();
    }
    // Engine thread: everything asked for so far, rang sockets in the order
    // they rang. What is asked after the pipe flag is cleared rings the pipe
    // again.
    void Take(std::vector<Added>& added, std::vector<unsigned long>& rang);
    bool HasWork() const { return adds_.load() || rang_.load() != nullptr; }
    void SetOwner(std::thread::id owner) { owner_.store(owner); }
    // The engine is going: later rings have nowhere to go.
    void Detach() {
        detached_.store(true);
        rang_.store(nullptr);
        std::lock_guard<std::mutex> lock(mutex_);
        added_.clear();
        adds_.store(false);
    }

  private:
    void nudge() {
        if (std::this_thread::get_id() == owner_.load(std::memory_order_relaxed)) {
            return;
        }
        if (piped_.exchange(true)) {
            return;
        }
        pair_.Send("t", 1);
    }

    NetSocketPair pair_;
    std::mutex mutex_;  // added_ only
    std::vector<Added> added_;
    std::atomic<bool> adds_{false};
    std::atomic<SocketWake*> rang_{nullptr};
    std::atomic<bool> piped_{false};
    std::atomic<std::thread::id> owner_{};
    std::atomic<bool> detached_{false};
};

// One socket's doorbell: it names the socket, and rings at most once until
// the engine has looked at the socket again, which is what lets it be a node
// of the engine's stack of rang sockets: a node is pushed only from kIdle, so
// it is never on the stack twice.
class NetEngine::SocketWake : public NetWake {
  public:
    enum State { kIdle, kQueued, kTaken, kRetired };

    SocketWake(SharedPtr<Wake> engine, unsigned long id) : engine_(engine), id_(id) {}
    void Ring() override {
        int idle = kIdle;
        if (state_.compare_exchange_strong(idle, kQueued)) {
            engine_->Post(this);
        }
    }
    // Before the engine reads the socket's state, so a change after the read
    // rings again. Only a taken doorbell is reset: one rung again since the
    // take is on the stack and must stay marked so.
    void Reset() {
        int taken = kTaken;
        state_.compare_exchange_strong(taken, kIdle);
    }
    // The socket is swept: it never rings again. True when it may still be on
    // the stack, so the node must outlive the engine's next take.
    bool Retire() { return state_.exchange(kRetired) == kQueued; }

  private:
    friend class NetEngine::Wake;
    SharedPtr<Wake> engine_;
    unsigned long id_;
    std::atomic<int> state_{kIdle};
    SocketWake* next_ = nullptr;  // written by its pusher, read by the taker
};

void NetEngine::Wake::Post(SocketWake* rang) {
    if (detached_.load()) {
        return;
    }
    SocketWake* head = rang_.load(std::memory_order_relaxed);
    do {
        rang->next_ = head;
    } while (!rang_.compare_exchange_weak(head, rang, std::memory_order_release,
                                          std::memory_order_relaxed));
    nudge();
}

void NetEngine::Wake::Take(std::vector<Added>& added, std::vector<unsigned long>& rang) {
    piped_.store(false);
    if (adds_.exchange(false)) {
        std::lock_guard<std::mutex> lock(mutex_);
        added.swap(added_);
    }
    // Pushed newest first; the engine serves them in the order they rang.
    size_t first = rang.size();
    for (SocketWake* n = rang_.exchange(nullptr, std::memory_order_acquire); n != nullptr;) {
        SocketWake* next = n->next_;
        rang.push_back(n->id_);
        int queued = SocketWake::kQueued;
        n->state_.compare_exchange_strong(queued, SocketWake::kTaken);
        n = next;
    }
    std::reverse(rang.begin() + static_cast<std::ptrdiff_t>(first), rang.end());
}

// What the engine thread keeps of a socket.
struct NetEngine::Entry {
    unsigned long id = 0;
    SharedPtr<NetSocket> socket;
    SharedPtr<SocketWake> wake;
    int fd = -1;            // registered descriptor, -1 while none
    uint64_t deadline = 0;  // the socket's own next deadline when last read
    uint64_t key = 0;       // its place in deadlines_, 0 when not there
};

namespace {

bool closing(NetSocket* s) {
    return s->GetState() == SOCKET_CLOSING;
}

// Rides with the descriptor through epoll: an event for a descriptor number
// that was closed and handed to another socket in the meantime is dropped.
uint32_t tag_of(unsigned long id) {
    return static_cast<uint32_t>(id);
}

unsigned long clamp_max(unsigned long n) {
    if (n == 0) {
        return 1;
    }
    return n > NetEngine::kMaxSocketsLimit ? static_cast<unsigned long>(NetEngine::kMaxSocketsLimit)
                                           : n;
}

}  // namespace

NetEngine::NetEngine(unsigned long max_sockets)
    : max_sockets_(clamp_max(max_sockets)),
      mutex_(new Mutex(true)),
      io_(new IoMultiplexing(static_cast<int>(max_sockets_ + 1))) {
    wake_ = SharedPtr<Wake>(new Wake);
    pair_ = &wake_->Pair();
    // Descriptors below this need no growth of the table; others grow it.
    by_fd_.resize(max_sockets_ + 64, nullptr);
}

NetEngine::~NetEngine() {
    // Stop here, not in the base destructor: the loop calls our overrides.
    Stop(true);
    // An engine that never ran still owes its sockets their one disconnect.
    disconnectAll();
    wake_->Detach();
    retired_.clear();
    delete io_;
    delete mutex_;
}

unsigned long NetEngine::Add(SharedPtr<NetSocket> socket) {
    if (!socket) {
        KS_LOGE("Add a null socket");
        return 0;
    }
    mutex_->Lock();
    if (sockets_.size() >= max_sockets_) {
        unsigned long count = sockets_.size();
        mutex_->Unlock();
        KS_LOGE("Too many sockets, count = %lu, refused", count);
        return 0;
    }
    unsigned long id = ++last_id_;
    SharedPtr<SocketWake> wake(new SocketWake(wake_, id));
    socket->SetWake(wake);
    sockets_.emplace(id, socket);
    mutex_->Unlock();
    wake_->PostAdd(Wake::Added{id, socket, wake});
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
    if (!io_->Ok()) {
        return -1;
    }
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
    // The table may be larger than the process may open; say so once, where
    // the operator can see why sockets fail long before the table is full.
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY &&
        rl.rlim_cur < max_sockets_ + 16) {
        KS_LOGW("Socket table of %lu exceeds the descriptor limit %lu", max_sockets_,
                static_cast<unsigned long>(rl.rlim_cur));
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
    std::unordered_map<unsigned long, SharedPtr<NetSocket>> all;
    mutex_->Lock();
    all.swap(sockets_);
    mutex_->Unlock();
    std::vector<Wake::Added> added;
    std::vector<unsigned long> rang;
    wake_->Take(added, rang);
    retired_.clear();  // whatever of them was still on the stack was taken now
    // The sockets may outlive the engine and ring as they close; their
    // doorbells go quiet first, and any still on the stack is kept.
    auto retire = [this](const SharedPtr<SocketWake>& w) {
        if (w->Retire()) {
            retired_.push_back(w);
        }
    };
    for (auto& a : added) {
        retire(a.wake);
    }
    for (auto& entry : entries_) {
        retire(entry.second->wake);
    }
    added.clear();
    // In the order they were added, as callers expect.
    std::vector<unsigned long> ids;
    ids.reserve(all.size());
    for (auto& entry : all) {
        ids.push_back(entry.first);
    }
    std::sort(ids.begin(), ids.end());
    for (unsigned long id : ids) {
        SharedPtr<NetSocket>& s = all[id];
        s->Close();
        if (s->IsRegistered()) {
            io_->DeleteFd(s->GetFd());
            s->SetRegistered(false);
        }
        s->RealDisconnect();
    }
    entries_.clear();
    std::fill(by_fd_.begin(), by_fd_.end(), nullptr);
    deadlines_.clear();
}

NetEngine::Entry* NetEngine::find(unsigned long id) {
    auto it = entries_.find(id);
    return it == entries_.end() ? nullptr : it->second.get();
}

void NetEngine::arm(Entry* e, uint64_t key) {
    if (e->key == key) {
        return;
    }
    if (e->key != 0) {
        deadlines_.erase({e->key, e->id});
    }
    e->key = key;
    if (key != 0) {
        deadlines_.insert({key, e->id});
    }
}

void NetEngine::registerFd(Entry* e) {
    NetSocket* s = e->socket.get();
    int fd = s->GetFd();
    // A connecting socket waits for writability: that is how the end of a
    // non-blocking connect shows.
    if (fd < 0 || io_->AddFd(fd, true, true, tag_of(e->id)) < 0) {
        // Closing is enough: the caller sweeps it, with its one disconnect.
        KS_LOGE("Add fd failed, fd = %d", fd);
        s->Close();
        return;
    }
    if (static_cast<size_t>(fd) >= by_fd_.size()) {
        by_fd_.resize(std::max(static_cast<size_t>(fd) + 1, by_fd_.size() * 2), nullptr);
    }
    by_fd_[fd] = e;
    e->fd = fd;
    s->SetRegistered(true);
    s->SetWriteInterest(true);
}

// Write interest only where output waits, and the socket's deadline in the set.
void NetEngine::rearm(Entry* e) {
    NetSocket* s = e->socket.get();
    if (s->IsRegistered()) {
        bool want = s->GetState() == SOCKET_CONNECTING || s->WantsWrite();
        if (want != s->WriteInterest()) {
            if (io_->ModifyFd(e->fd, true, want, tag_of(e->id)) == 0) {
                s->SetWriteInterest(want);
            } else {
                KS_LOGE("Modify fd failed, fd = %d", e->fd);
                s->Close();
                sweep(e);
                return;
            }
        }
    }
    uint64_t deadline = s->NextDeadline();
    if (deadline != e->deadline) {
        e->deadline = deadline;
        arm(e, deadline);
    }
}

void NetEngine::sweep(Entry* e) {
    SharedPtr<NetSocket> s = e->socket;
    unsigned long id = e->id;
    mutex_->Lock();
    sockets_.erase(id);
    mutex_->Unlock();
    // A socket closed before it was ever registered has nothing to remove.
    if (s->IsRegistered()) {
        if (io_->DeleteFd(e->fd) < 0) {
            KS_LOGE("Delete fd failed, fd = %d", e->fd);
        }
        s->SetRegistered(false);
    }
    if (e->fd >= 0 && static_cast<size_t>(e->fd) < by_fd_.size() && by_fd_[e->fd] == e) {
        by_fd_[e->fd] = nullptr;
    }
    arm(e, 0);
    if (e->wake->Retire()) {
        retired_.push_back(e->wake);
    }
    entries_.erase(id);  // e is gone
    s->RealDisconnect();
}

// A write the kernel took whole gives the owner another turn (it may have
// more to send). Taking that turn now, while nothing waits in the socket's
// queue, spares what asking epoll for writability costs: two epoll_ctl calls
// and a pass, for every frame of a paced stream. Bounded, so one busy socket
// does not hold up the others; past the bound, writability is waited for.
void NetEngine::moreTurns(NetSocket* s) {
    for (int turn = 0; turn < kTurnsPerVisit; ++turn) {
        if (closing(s) || s->GetState() != SOCKET_CONNECTED || s->Pending() != 0 ||
            !s->WantsWrite()) {
            return;
        }
        s->RealWrite();
    }
}

bool NetEngine::visit(Entry* e, unsigned why, uint64_t now) {
    NetSocket* s = e->socket.get();
    int state = s->GetState();
    switch (state) {
        case SOCKET_IDLE:
        case SOCKET_CLOSING:
            break;
        case SOCKET_CONNECT:
            // Creates the descriptor and starts the non-blocking connect.
            s->RealConnect();
            if (s->GetState() == SOCKET_CONNECTING && !s->IsRegistered()) {
                registerFd(e);
            }
            break;
        case SOCKET_CONNECTING:
        case SOCKET_CONNECTED:
            if (!s->IsRegistered()) {
                registerFd(e);
                break;
            }
            if (why & kDue) {
                if (state == SOCKET_CONNECTING && s->RealConnectCheck()) {
                    break;  // timed out: now closing
                }
                s->RealTimer(now);
            }
            if ((why & kWritable) && !closing(s)) {
                s->RealWrite();
                moreTurns(s);
            } else if ((why & kRang) && state == SOCKET_CONNECTED && !s->WriteInterest() &&
                       !closing(s) && s->WantsWrite()) {
                // Not waiting for writability means the kernel took all we
                // had last time: write at once rather than after a round
                // through epoll. A full buffer just leaves the bytes queued.
                s->RealWrite();
                moreTurns(s);
            }
            if ((why & kReadable) && !closing(s)) {
                s->RealRead();
            }
            break;
        default:
            KS_LOGE("Socket state error, id = %lu, state = %d", e->id, state);
            return false;
    }
    if (closing(s)) {
        sweep(e);
        return true;
    }
    rearm(e);
    return true;
}

// Sockets added, and sockets that rang (a connect, close, send, write
// request or timer change from any thread), since the last look.
bool NetEngine::serveRequests() {
    std::vector<Wake::Added> added;
    std::vector<unsigned long> rang;
    wake_->Take(added, rang);
    retired_.clear();  // whatever of them was still on the stack was taken now
    if (added.empty() && rang.empty()) {
        return true;
    }
    uint64_t now = Time::GetSystemTimeInt(0);
    for (auto& a : added) {
        std::unique_ptr<Entry> entry(new Entry);
        entry->id = a.id;
        entry->socket = a.socket;
        entry->wake = a.wake;
        Entry* e = entry.get();
        entries_[a.id] = std::move(entry);
        e->wake->Reset();
        if (!visit(e, kRang, now)) {
            return false;
        }
    }
    for (unsigned long id : rang) {
        Entry* e = find(id);
        if (e == nullptr) {
            continue;  // swept already, or its Add is still on its way
        }
        e->wake->Reset();
        if (!visit(e, kRang, now)) {
            return false;
        }
    }
    return true;
}

// Due deadlines in order, nearest first: connect bounds and timers.
bool NetEngine::fireDeadlines() {
    if (deadlines_.empty()) {
        return true;
    }
    uint64_t now = Time::GetSystemTimeInt(0);
    while (!deadlines_.empty()) {
        auto head = deadlines_.begin();
        if (head->first > now) {
            break;
        }
        unsigned long id = head->second;
        Entry* e = find(id);
        deadlines_.erase(head);
        if (e == nullptr) {
            continue;
        }
        e->key = 0;
        e->deadline = 0;  // read afresh after the visit
        if (!visit(e, kDue, now)) {
            return false;
        }
        // A connect bound counts as passed only after its millisecond; look
        // again in the next one rather than spin through this one.
        e = find(id);
        if (e != nullptr && e->key != 0 && e->key <= now) {
            arm(e, now + 1);
        }
    }
    return true;
}

bool NetEngine::serveEvents() {
    int ready = io_->ReadyCount();
    for (int i = 0; i < ready; ++i) {
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
        if (fd < 0 || static_cast<size_t>(fd) >= by_fd_.size()) {
            continue;
        }
        Entry* e = by_fd_[fd];
        if (e == nullptr || tag_of(e->id) != io_->ReadyTag(i)) {
            continue;  // swept earlier in this pass
        }
        unsigned why = (readable ? kReadable : 0u) | (writable ? kWritable : 0u);
        if (!visit(e, why, 0)) {
            return false;
        }
    }
    return true;
}

unsigned long NetEngine::nextWait() {
    if (wake_->HasWork()) {
        return 0;
    }
    if (deadlines_.empty()) {
        return kIdleWaitMs;
    }
    uint64_t now = Time::GetSystemTimeInt(0);
    uint64_t next = deadlines_.begin()->first;
    if (next <= now) {
        return 0;
    }
    return static_cast<unsigned long>(std::min<uint64_t>(next - now, kIdleWaitMs));
}

int NetEngine::realThread() {
    passes_.fetch_add(1, std::memory_order_relaxed);
    if (!serveRequests() || !fireDeadlines()) {
        return -1;
    }
    int ret = io_->Dispatch(false, nextWait());
    if (ret < 0) {
        KS_LOGE("Dispatch error, ret = %d\n", ret);
        return -1;
    }
    return serveEvents() ? 0 : -1;
}

}  // namespace kestrel
