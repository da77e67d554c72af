#include "sdk/streaming/frame_ring_buffer.h"

#include <climits>
#include <cstring>
#include <new>

#include <sys/mman.h>

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
constexpr size_t kMapFrom = 64 * 1024;

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
// records into pooled blocks and never needs it.
FrameRingBuffer::FrameRingBuffer(unsigned capacity, const std::string& owner)
    : RingBuffer(capacity, owner) {}

FrameRingBuffer::~FrameRingBuffer() {
    delete[] frame_out;
}

void FrameRingBuffer::SetPackageDropStrategy(int strategy) {
    MutexGuard guard(lock);
    drop_strategy = strategy;
}

// A refused video frame leaves its successors without a reference picture.
void FrameRingBuffer::Refuse(bool video) {
    if (video)
        wait_key = true;
}

void FrameRingBuffer::EmptyLocked() {
    dropped_bytes += GetDataUsed();
    CleanAllData();
    key_positions.clear();
}

// Audio-only: the oldest record goes. False when the record is unreadable.
bool FrameRingBuffer::DropOldestRecord() {
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
    dropped_bytes += record;
    KS_LOGD("%s Drop oldest frame, len = %u", label.c_str(), header[1]);
    return true;
}

// Frees at least `need` bytes; false when the ring had to be emptied and the
// new frame is no key frame.
bool FrameRingBuffer::MakeRoom(unsigned need, bool key, bool& discarded) {
    while (GetDataUnused() < need) {
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
            uint32_t p = key_positions.front().position;
            if (p - r > GetDataUsed()) {
                KS_LOGE("%s Index error, %u %u %u", label.c_str(), p, r,
                        write_pos.load(std::memory_order_relaxed));
                EmptyLocked();
            } else if (p != r) {
                dropped_bytes += p - r;
                read_pos.store(p, std::memory_order_relaxed);
                KS_LOGD("%s Drop part of GOP, remaining = %d", label.c_str(),
                        static_cast<int>(key_positions.size()));
                continue;
            } else if (key_positions.size() > 1) {
                key_positions.pop_front();
                uint32_t next = key_positions.front().position;
                dropped_bytes += next - r;
                read_pos.store(next, std::memory_order_relaxed);
                KS_LOGD("%s Drop full GOP, remaining = %d", label.c_str(),
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

int FrameRingBuffer::DataOneFrameIn(const unsigned char* frame, unsigned len,
                                    const MediaSpecialInfo* desc, unsigned desc_len) {
    if (len > kMaxFrame || desc_len > kMaxWriterDesc) {
        KS_LOGE("%s Frame is too large, len = %u, desc = %u", label.c_str(), len, desc_len);
        MutexGuard guard(lock);
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

    MutexGuard guard(lock);
    if (video)
        video_seen = true;
    // A frame refused here is a frame lost to the stream: it counts as dropped
    // like stored data that had to go.
    if (wait_key && !key) {
        KS_LOGV("%s Drop old non-inner frame", label.c_str());
        dropped_bytes += total;
        return kWaitKey;
    }
    if (total > size) {
        KS_LOGD("%s Data is too large, drop it", label.c_str());
        Refuse(video);
        dropped_bytes += total;
        return kTooLarge;
    }
    bool discarded = false;
    if (GetDataUnused() < total) {
        if (drop_strategy == 1) {
            Refuse(video);
            dropped_bytes += total;
            return kRefused;
        }
        if (!MakeRoom(total, key, discarded)) {
            wait_key = true;
            dropped_bytes += total;
            return kEmptiedNoKey;
        }
    }
    uint32_t start = write_pos.load(std::memory_order_relaxed);
    uint32_t header[3] = {kMagic, len, desc_len};
    dataCopyIn(reinterpret_cast<const unsigned char*>(header), kHeaderSize);
    dataCopyIn(frame, len);
    dataCopyIn(reinterpret_cast<const unsigned char*>(desc), desc_len);
    if (key) {
        key_positions.push_back({start});
        wait_key = false;
    }
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

// Under the lock: the next record's header, checked.
int FrameRingBuffer::ReadRecordHeader(uint32_t* start, unsigned* len, unsigned* desc_len) {
    if (GetDataUsed() == 0)
        return kEmpty;
    *start = read_pos.load(std::memory_order_relaxed);
    uint32_t header[3] = {0, 0, 0};
    if (dataCopyOut(kHeaderSize, reinterpret_cast<unsigned char*>(header), false) != 0 ||
        header[0] != kMagic) {
        KS_LOGE("%s Should not happen, data was corrupted", label.c_str());
        return kCorrupt;
    }
    const unsigned l = header[1];
    const unsigned d = header[2];
    if (l == 0 || l > kMaxFrame || d != sizeof(MediaSpecialInfo) ||
        uint64_t{l} + d > GetDataUsed()) {
        KS_LOGE("%s Should not happen, record lengths are corrupted, len = %u, desc = %u",
                label.c_str(), l, d);
        return kCorrupt;
    }
    *len = l;
    *desc_len = d;
    return kOk;
}

// Under the lock: a key frame read must be the oldest one indexed.
int FrameRingBuffer::CheckKeyIndex(const MediaSpecialInfo& desc, uint32_t start) {
    if (!IsKey(desc))
        return kOk;
    const bool known = !key_positions.empty();
    uint32_t oldest = known ? key_positions.front().position : 0;
    if (known)
        key_positions.pop_front();
    if (!known || oldest != start) {
        KS_LOGE("%s Index error, %u %u %u", label.c_str(), oldest, start,
                write_pos.load(std::memory_order_relaxed));
        return kCorrupt;
    }
    return kOk;
}

int FrameRingBuffer::DataOneFrameOut(unsigned char** frame, unsigned* len, MediaSpecialInfo** desc,
                                     unsigned* desc_len) {
    if (!frame || !len || !desc || !desc_len) {
        KS_LOGE("%s Invalid param", label.c_str());
        return kBadInput;
    }
    MutexGuard guard(lock);
    uint32_t start = 0;
    unsigned l = 0, d = 0;
    int r = ReadRecordHeader(&start, &l, &d);
    if (r != kOk)
        return r;
    GrowFrameOut(l);
    desc_out = MediaSpecialInfo{};
    dataCopyOut(l, frame_out + kHeadRoom, false);
    dataCopyOut(d, reinterpret_cast<unsigned char*>(&desc_out), false);
    if ((r = CheckKeyIndex(desc_out, start)) != kOk)
        return r;
    *frame = frame_out + kHeadRoom;
    *len = l;
    *desc = &desc_out;
    *desc_len = d;
    return kOk;
}

// A pooled block nobody else holds, or a new one (kept in the pool while
// there is room). Reader thread only, as are all other holders' releases
// that this looks at.
SharedPtr<SharedBytes> FrameRingBuffer::FreeRecord() {
    for (const SharedPtr<SharedBytes>& r : records) {
        if (r.use_count() == 1)
            return r;
    }
    SharedPtr<SharedBytes> fresh(new SharedBytes);
    if (records.size() < kRecordPool)
        records.push_back(fresh);
    return fresh;
}

int FrameRingBuffer::DataOneFrameOut(SharedPtr<SharedBytes>* record, unsigned* len,
                                     MediaSpecialInfo* desc) {
    if (!record || !len || !desc) {
        KS_LOGE("%s Invalid param", label.c_str());
        return kBadInput;
    }
    SharedPtr<SharedBytes> block = FreeRecord();
    MutexGuard guard(lock);
    uint32_t start = 0;
    unsigned l = 0, d = 0;
    int r = ReadRecordHeader(&start, &l, &d);
    if (r != kOk)
        return r;
    block->Resize(l);
    *desc = MediaSpecialInfo{};
    dataCopyOut(l, block->Data(), false);
    dataCopyOut(d, reinterpret_cast<unsigned char*>(desc), false);
    if ((r = CheckKeyIndex(*desc, start)) != kOk)
        return r;
    *record = block;
    *len = l;
    return kOk;
}

// The counters are atomic: a fill level needs no lock, so a writer's pause
// check and the reader's resume check never wait on each other.
unsigned FrameRingBuffer::GetUsePercent() {
    return GetDataUsed() / (size / 100);
}

int FrameRingBuffer::GetFrameDropAndReset() {
    MutexGuard guard(lock);
    uint64_t out = dropped_bytes < uint64_t{INT_MAX} ? dropped_bytes : uint64_t{INT_MAX};
    dropped_bytes -= out;
    return static_cast<int>(out);
}

void FrameRingBuffer::CleanAllFrameData() {
    std::list<PositionProperty> freed;
    {
        MutexGuard guard(lock);
        dropped_bytes += GetDataUsed();
        CleanAllData();
        freed.swap(key_positions);
        if (video_seen)
            wait_key = true;
    }
}

bool FrameRingBuffer::IsWaitingForKey() {
    MutexGuard guard(lock);
    return wait_key;
}

}  // namespace kestrel
