#include "sdk/streaming/frame_ring_buffer.h"

#include <sys/mman.h>

#include <climits>
#include <cstring>
#include <new>

#include "core/logger.h"

namespace kestrel {

namespace {

unsigned RoundCapacity(unsigned requested) {
    if (requested < RingBuffer::kMinSize)
        return RingBuffer::kMinSize;
    if (requested > RingBuffer::kMaxSize)
        return RingBuffer::kMaxSize;
    unsigned size = RingBuffer::kMinSize;
    while (size < requested)
        size <<= 1;
    return size;
}

bool IsVideo(const MediaSpecialInfo& d) {
    return d.media == 1;
}

bool IsKey(const MediaSpecialInfo& d) {
    return IsVideo(d) && d.key_frame != 0;
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
#define KS_RING_ON_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KS_RING_ON_HEAP 1
#endif
#endif

// Rings are large (up to 4 MiB), live as long as a stream and are filled
// page by page. Taken from the heap, a freed ring stays resident: glibc
// raises its mmap threshold after the first large free, keeps later rings in
// an arena and does not give them back, so every recording that ever ran
// leaves its high-water mark. Mapped directly, a stopped stream returns its
// ring to the system. Under AddressSanitizer the heap keeps them, so that an
// overrun is still caught.
// Small rings stay on the heap, where they cost no whole pages.
[[maybe_unused]] constexpr size_t kMapFrom = 64 * 1024;  // unused when the heap keeps them

static unsigned char* AllocRing(size_t size) {
#ifdef KS_RING_ON_HEAP
    return new unsigned char[size];
#else
    if (size < kMapFrom) {
        return new unsigned char[size];
    }
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        throw std::bad_alloc();
    }
    return static_cast<unsigned char*>(p);
#endif
}

static void FreeRing(unsigned char* p, size_t size) {
#ifdef KS_RING_ON_HEAP
    (void)size;
    delete[] p;
#else
    if (size < kMapFrom) {
        delete[] p;
        return;
    }
    munmap(p, size);
#endif
}

RingBuffer::RingBuffer(unsigned requested, const std::string& owner)
    : label(owner), size(RoundCapacity(requested)) {
    mask = size - 1;
    data = AllocRing(size);
    KS_LOGD("%s Data size = %d", label.c_str(), static_cast<int>(size));
}

RingBuffer::~RingBuffer() {
    FreeRing(data, size);
}

unsigned RingBuffer::GetDataUsed() const {
    return write_pos.load(std::memory_order_relaxed) - read_pos.load(std::memory_order_relaxed);
}

unsigned RingBuffer::GetDataUnused() const {
    return size - GetDataUsed();
}

void RingBuffer::CleanAllData() {
    write_pos = 0;
    read_pos = 0;
}

int RingBuffer::dataCopyIn(const unsigned char* src, unsigned len) {
    if (!src || len == 0)
        return -1;
    unsigned unused = GetDataUnused();
    if (unused < len) {
        KS_LOGE("%s No enough buffer, remain %d, required %d", label.c_str(),
                static_cast<int>(unused), static_cast<int>(len));
        return -3;
    }
    uint32_t w = write_pos.load(std::memory_order_relaxed);
    unsigned off = w & mask;
    unsigned first = size - off < len ? size - off : len;
    memcpy(data + off, src, first);
    memcpy(data, src + first, len - first);
    write_pos.store(w + len, std::memory_order_relaxed);
    return 0;
}

int RingBuffer::dataCopyOut(unsigned len, unsigned char* dst, bool peek) {
    if (!dst || len == 0) {
        KS_LOGE("%s Invalid param", label.c_str());
        return -1;
    }
    if (GetDataUsed() < len) {
        KS_LOGE("%s Not enough data for read", label.c_str());
        return -4;
    }
    uint32_t r = read_pos.load(std::memory_order_relaxed);
    unsigned off = r & mask;
    unsigned first = size - off < len ? size - off : len;
    memcpy(dst, data + off, first);
    memcpy(dst + first, data, len - first);
    if (!peek)
        read_pos.store(r + len, std::memory_order_relaxed);
    return 0;
}

// The copying reader's output area comes with its first use: a relay reads
// records in place and never needs it.
FrameRingBuffer::FrameRingBuffer(unsigned capacity, const std::string& owner)
    : RingBuffer(capacity, owner) {}

FrameRingBuffer::~FrameRingBuffer() {
    delete[] frame_out;
}

void FrameRingBuffer::SetPackageDropStrategy(int strategy) {
    Guard guard(lock);
    drop_strategy = strategy;
}

// A refused video frame leaves its successors without a reference picture.
void FrameRingBuffer::Refuse(bool video) {
    if (video)
        wait_key = true;
}

// Bytes a record of `total` takes at the write position: its own, plus the
// tail it skips when it does not fit before the array's end.
unsigned FrameRingBuffer::Need(unsigned total) const {
    unsigned tail = size - (write_pos.load(std::memory_order_relaxed) & mask);
    return total <= tail ? total : tail + total;
}

// An empty ring starts over at the array's start, so that any record up to
// the capacity fits whole.
void FrameRingBuffer::ResetIfEmpty() {
    if (GetDataUsed() == 0 && !peeking) {
        CleanAllData();
        key_positions.clear();
    }
}

// A tail too short for a header, or one marked as skipped, holds no record:
// the next one starts at the array's start.
void FrameRingBuffer::SkipTail() {
    uint32_t r = read_pos.load(std::memory_order_relaxed);
    unsigned off = r & mask;
    unsigned tail = size - off;
    if (GetDataUsed() <= tail)
        return;  // a record ends the data here, or the data is damaged
    uint32_t magic = 0;
    if (tail >= kHeaderSize)
        memcpy(&magic, data + off, sizeof magic);
    if (tail < kHeaderSize || magic == kSkipMagic)
        read_pos.store(r + tail, std::memory_order_relaxed);
}

// The peeked record is the reader's until it lets go of it. A writer that
// needs its space waits for the release rather than drop it or write over
// it: the reader holds a record for one non-blocking write and the copy of
// what the socket did not take, microseconds, and takes no other lock a
// writer may hold meanwhile. Dropping everything after the peeked record
// instead would throw away the newest frames to keep the oldest. The reader's
// own thread cannot wait for itself: a frame it writes into a full ring
// during its own peek is refused.
bool FrameRingBuffer::AwaitRelease(Guard& guard) {
    if (peek_owner == std::this_thread::get_id())
        return false;
    ++release_waiters;
    released.wait(guard, [this] { return !peeking; });
    --release_waiters;
    return true;
}

void FrameRingBuffer::EmptyLocked() {
    if (peeking) {
        // The reader keeps the record it holds; everything after it goes.
        const uint64_t held = peek_end - peek.start;
        dropped_bytes += records_in - records_out - held;
        records_in = records_out + held;
        write_pos.store(peek_end, std::memory_order_relaxed);
        bool key_held = !key_positions.empty() && key_positions.front().position == peek.start;
        PositionProperty front = key_held ? key_positions.front() : PositionProperty{};
        key_positions.clear();
        if (key_held)
            key_positions.push_back(front);
        return;
    }
    dropped_bytes += records_in - records_out;
    records_out = records_in;
    CleanAllData();
    key_positions.clear();
}

// Audio-only: the oldest record goes. False when the record is unreadable.
bool FrameRingBuffer::DropOldestRecord() {
    SkipTail();
    uint32_t header[3];
    if (dataCopyOut(kHeaderSize, reinterpret_cast<unsigned char*>(header), true) != 0)
        return false;
    uint64_t record = uint64_t{kHeaderSize} + header[1] + header[2];
    if (header[0] != kMagic || record > GetDataUsed()) {
        KS_LOGE("%s Should not happen, data was corrupted", label.c_str());
        return false;
    }
    read_pos.store(read_pos.load(std::memory_order_relaxed) + static_cast<uint32_t>(record),
                   std::memory_order_relaxed);
    records_out += record;
    dropped_bytes += record;
    KS_LOGD("%s Drop oldest frame, len = %u", label.c_str(), header[1]);
    return true;
}

// Frees room for a record of `total` bytes; false when the ring had to be
// emptied and the new frame is no key frame. Never called during a peek.
bool FrameRingBuffer::MakeRoom(unsigned total, bool key, bool& discarded) {
    for (ResetIfEmpty(); GetDataUnused() < Need(total); ResetIfEmpty()) {
        discarded = true;
        if (key_positions.empty()) {
            if (!video_seen) {
                if (!DropOldestRecord())
                    EmptyLocked();
                continue;
            }
            KS_LOGD("%s Drop part of GOP, no useful data, wait for key frame = %d", label.c_str(),
                    key ? 1 : 0);
            EmptyLocked();
        } else {
            uint32_t r = read_pos.load(std::memory_order_relaxed);
            PositionProperty p = key_positions.front();
            if (p.position == r && key_positions.size() > 1) {
                key_positions.pop_front();
                p = key_positions.front();
            }
            if (p.position - r > GetDataUsed()) {
                KS_LOGE("%s Index error, %u %u %u", label.c_str(), p.position, r,
                        write_pos.load(std::memory_order_relaxed));
                EmptyLocked();
            } else if (p.position != r) {
                dropped_bytes += p.records_before - records_out;
                records_out = p.records_before;
                read_pos.store(p.position, std::memory_order_relaxed);
                KS_LOGD("%s Drop part of GOP, remaining = %d", label.c_str(),
                        static_cast<int>(key_positions.size()));
                continue;
            } else {
                KS_LOGD("%s Drop full GOP, no useful data, wait for key frame = %d", label.c_str(),
                        key ? 1 : 0);
                EmptyLocked();
            }
        }
        if (!key)
            return false;
    }
    return true;
}

// Under the lock, with room: the record goes in whole, after the skipped
// tail when it does not fit before the array's end.
void FrameRingBuffer::Store(const unsigned char* frame, unsigned len,
                            const MediaSpecialInfo* desc) {
    const unsigned total = kHeaderSize + len + sizeof(MediaSpecialInfo);
    uint32_t w = write_pos.load(std::memory_order_relaxed);
    unsigned tail = size - (w & mask);
    if (total > tail) {
        if (tail >= kHeaderSize)
            memcpy(data + (w & mask), &kSkipMagic, sizeof kSkipMagic);
        w += tail;
        write_pos.store(w, std::memory_order_relaxed);
    }
    uint32_t header[3] = {kMagic, len, static_cast<uint32_t>(sizeof(MediaSpecialInfo))};
    dataCopyIn(reinterpret_cast<const unsigned char*>(header), kHeaderSize);
    dataCopyIn(frame, len);
    dataCopyIn(reinterpret_cast<const unsigned char*>(desc), sizeof(MediaSpecialInfo));
    if (IsKey(*desc)) {
        key_positions.push_back({w, records_in});
        wait_key = false;
    }
    records_in += total;
}

int FrameRingBuffer::DataOneFrameIn(const unsigned char* frame, unsigned len,
                                    const MediaSpecialInfo* desc, unsigned desc_len) {
    if (len > kMaxFrame || desc_len > kMaxWriterDesc) {
        KS_LOGE("%s Frame is too large, len = %u, desc = %u", label.c_str(), len, desc_len);
        Guard guard(lock);
        dropped_bytes += len;
        return kTooLarge;
    }
    if (!frame || !desc || len == 0 || desc_len == 0) {
        KS_LOGE("%s Invalid frame, len = %u, desc = %u", label.c_str(), len, desc_len);
        return kBadInput;
    }
    // The reader holds exactly one descriptor; anything else would overrun it.
    if (desc_len != sizeof(MediaSpecialInfo)) {
        KS_LOGE("%s Descriptor length %u is not %u", label.c_str(), desc_len,
                static_cast<unsigned>(sizeof(MediaSpecialInfo)));
        return kTooLarge;
    }
    const bool video = IsVideo(*desc);
    const bool key = IsKey(*desc);
    const unsigned total = kHeaderSize + len + desc_len;

    Guard guard(lock);
    if (video)
        video_seen = true;
    bool discarded = false;
    for (bool first = true;; first = false) {
        // A frame refused here is a frame lost to the stream: it counts as
        // dropped like stored data that had to go.
        if (wait_key && !key) {
            KS_LOGV("%s Drop old non-inner frame", label.c_str());
            dropped_bytes += total;
            return kWaitKey;
        }
        if (first && total > size) {
            KS_LOGD("%s Data is too large, drop it", label.c_str());
            Refuse(video);
            dropped_bytes += total;
            return kTooLarge;
        }
        ResetIfEmpty();
        if (GetDataUnused() >= Need(total))
            break;
        if (peeking && drop_strategy == 0 && AwaitRelease(guard))
            continue;  // released: everything is to be looked at again
        if (drop_strategy == 1 || peeking) {
            Refuse(video);
            dropped_bytes += total;
            return kRefused;
        }
        if (!MakeRoom(total, key, discarded)) {
            wait_key = true;
            dropped_bytes += total;
            return kEmptiedNoKey;
        }
        break;
    }
    Store(frame, len, desc);
    return discarded ? kStoredAfterDrop : kOk;
}

// Grows the output area in 16 KiB steps with headroom so that a stream of
// slowly growing frames does not reallocate on every frame; the area always
// holds the frame plus the muxer's head and tail room.
void FrameRingBuffer::GrowFrameOut(unsigned len) {
    const unsigned need = len + kHeadRoom + kTailRoom;
    if (need <= frame_out_capacity)
        return;
    if (frame_out_capacity == 0 && need <= kInitialFrameOut) {
        frame_out = new unsigned char[kInitialFrameOut];
        frame_out_capacity = kInitialFrameOut;
        return;
    }
    unsigned grown = frame_out_capacity ? frame_out_capacity : kInitialFrameOut;
    while (grown < len)
        grown += 16384;
    if (grown <= 51199)
        grown += 16384;
    else if (grown <= 102399)
        grown += 32768;
    else if (grown <= 153599)
        grown += 49152;
    else
        grown += 65536;
    if (grown > kMaxFrame + kHeadRoom + kTailRoom)
        grown = kMaxFrame + kHeadRoom + kTailRoom;
    if (grown < need)
        grown = need;
    delete[] frame_out;
    frame_out = new unsigned char[grown];
    frame_out_capacity = grown;
}

// Under the lock: the next record, checked, left where it is. A key frame
// must be the oldest one indexed.
int FrameRingBuffer::PeekLocked(Peeked* out) {
    if (peeking) {
        *out = peek;
        return kOk;
    }
    SkipTail();
    const unsigned used = GetDataUsed();
    if (used == 0)
        return kEmpty;
    const uint32_t start = read_pos.load(std::memory_order_relaxed);
    const unsigned off = start & mask;
    uint32_t header[3] = {0, 0, 0};
    if (size - off < kHeaderSize || used < kHeaderSize) {
        KS_LOGE("%s Should not happen, data was corrupted", label.c_str());
        return kCorrupt;
    }
    memcpy(header, data + off, kHeaderSize);
    if (header[0] != kMagic) {
        KS_LOGE("%s Should not happen, data was corrupted", label.c_str());
        return kCorrupt;
    }
    const unsigned l = header[1];
    const uint64_t total = uint64_t{kHeaderSize} + l + header[2];
    if (l == 0 || l > kMaxFrame || header[2] != sizeof(MediaSpecialInfo) || total > used ||
        off + total > size) {
        KS_LOGE("%s Should not happen, record lengths are corrupted, len = %u, desc = %u",
                label.c_str(), l, header[2]);
        return kCorrupt;
    }
    Peeked p;
    p.start = start;
    p.len = l;
    memcpy(&p.desc, data + off + kHeaderSize + l, sizeof p.desc);
    if (IsKey(p.desc) && (key_positions.empty() || key_positions.front().position != start)) {
        KS_LOGE("%s Index error, %u %u %u", label.c_str(),
                key_positions.empty() ? 0u : key_positions.front().position, start,
                write_pos.load(std::memory_order_relaxed));
        return kCorrupt;
    }
    peeking = true;
    peek = p;
    peek_end = start + static_cast<uint32_t>(total);
    peek_owner = std::this_thread::get_id();
    *out = p;
    return kOk;
}

void FrameRingBuffer::ReleaseLocked() {
    if (!peeking)
        return;
    if (!key_positions.empty() && key_positions.front().position == peek.start)
        key_positions.pop_front();
    read_pos.store(peek_end, std::memory_order_relaxed);
    records_out += peek_end - peek.start;
    peeking = false;
    peek_owner = std::thread::id();
    if (release_waiters)
        released.notify_all();
}

int FrameRingBuffer::DataOneFrameOut(unsigned char** frame, unsigned* len, MediaSpecialInfo** desc,
                                     unsigned* desc_len) {
    if (!frame || !len || !desc || !desc_len) {
        KS_LOGE("%s Invalid param", label.c_str());
        return kBadInput;
    }
    Guard guard(lock);
    Peeked p;
    int r = PeekLocked(&p);
    if (r != kOk)
        return r;
    GrowFrameOut(p.len);
    memcpy(frame_out + kHeadRoom, data + ((p.start + kHeaderSize) & mask), p.len);
    desc_out = p.desc;
    ReleaseLocked();
    *frame = frame_out + kHeadRoom;
    *len = p.len;
    *desc = &desc_out;
    *desc_len = sizeof(MediaSpecialInfo);
    return kOk;
}

int FrameRingBuffer::PeekFrame(const unsigned char** frame, unsigned* len, MediaSpecialInfo* desc) {
    if (!frame || !len || !desc) {
        KS_LOGE("%s Invalid param", label.c_str());
        return kBadInput;
    }
    // An empty ring is seen without the lock (a peeked record keeps it from
    // being empty): every write turn ends on one, and the writer asks for
    // another turn after each record it stores.
    if (GetDataUsed() == 0)
        return kEmpty;
    Guard guard(lock);
    Peeked p;
    int r = PeekLocked(&p);
    if (r != kOk)
        return r;
    *frame = data + ((p.start + kHeaderSize) & mask);
    *len = p.len;
    *desc = p.desc;
    return kOk;
}

void FrameRingBuffer::ReleaseFrame() {
    Guard guard(lock);
    ReleaseLocked();
}

uint64_t FrameRingBuffer::GetRecordBytes() {
    Guard guard(lock);
    return records_in - records_out;
}

// The counters are atomic: a fill level needs no lock, so a writer's pause
// check and the reader's resume check never wait on each other.
unsigned FrameRingBuffer::GetUsePercent() {
    return GetDataUsed() / (size / 100);
}

int FrameRingBuffer::GetFrameDropAndReset() {
    Guard guard(lock);
    uint64_t out = dropped_bytes < uint64_t{INT_MAX} ? dropped_bytes : uint64_t{INT_MAX};
    dropped_bytes -= out;
    return static_cast<int>(out);
}

// During a peek the reader keeps the record it holds and hands it on; the
// rest goes.
void FrameRingBuffer::CleanAllFrameData() {
    std::list<PositionProperty> freed;
    Guard guard(lock);
    if (!peeking)
        freed.swap(key_positions);
    EmptyLocked();
    if (video_seen)
        wait_key = true;
}

bool FrameRingBuffer::IsWaitingForKey() {
    Guard guard(lock);
    return wait_key;
}

}  // namespace kestrel
