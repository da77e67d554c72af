// The frame queue between the application's media threads (writers) and the
// network thread (the one reader) of a relay.
//
// RingBuffer is a byte ring of power-of-two capacity addressed by two
// free-running 32-bit counters. FrameRingBuffer stores one record per frame:
//
//   offset 0       4  magic 0xFCFCFCFC
//   offset 4       4  frame length L
//   offset 8       4  descriptor length D (always sizeof(MediaSpecialInfo))
//   offset 12      L  frame bytes
//   offset 12 + L  D  descriptor
//
// and remembers where every key-frame record starts, so that when space runs
// out it can discard whole groups of pictures from the old end and the stream
// that remains still starts with a key frame.
//
// A record never wraps the array's end, so a reader can hand its frame out
// in place as one span: a record that does not fit before the end starts at
// the array's start, and the tail it leaves is skipped (marked by a header
// with kSkipMagic when the tail can hold one). Skipped tails take space like
// records do but are neither read nor counted as dropped.
//
// Key-frame waiting: once a video frame has been refused or thrown away, the
// frames that follow it up to the next key frame cannot be decoded, so the
// buffer refuses them (-7) until a key frame arrives. A buffer that has never
// carried video (voice, audio-only streams) has nothing to wait for: it never
// waits, and when full it drops its oldest records instead.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/shared_buffer.h"
#include "core/shared_ptr.h"

namespace kestrel {

// The 24-byte descriptor queued with every frame.
struct MediaSpecialInfo {
    uint32_t media;      // 1 video, 2 audio
    uint32_t timestamp;  // ms
    uint32_t key_frame;  // 1 key frame, 0 other
    uint32_t format;     // video: 0 H.264, 1 H.265; 0 for audio
    uint64_t index;      // per-relay video frame number; 0 for audio and live
};
static_assert(sizeof(MediaSpecialInfo) == 24, "the descriptor is 24 bytes in the ring");

class RingBuffer {
  public:
    static constexpr unsigned kMinSize = 1024;
    static constexpr unsigned kMaxSize = 8u * 1024 * 1024;

    // Capacity: below 1024 -> 1024; up to 8 MiB -> the next power of two;
    // above -> 8 MiB.
    RingBuffer(unsigned requested, const std::string& label);
    virtual ~RingBuffer();
    RingBuffer(const RingBuffer&) = delete;
    RingBuffer& operator=(const RingBuffer&) = delete;

    // The counters are atomic so an owner may look at the fill level without
    // the frame layer's lock; FrameRingBuffer still changes them only under it.
    unsigned GetDataUsed() const;
    unsigned GetDataUnused() const;
    unsigned GetSize() const { return size; }
    void CleanAllData();

    // 0; -1 null or empty input; -3 not enough free space (logged).
    int dataCopyIn(const unsigned char* src, unsigned len);
    // 0; -1 null or empty input; -4 not enough data (logged). `peek` leaves
    // the read counter where it was.
    int dataCopyOut(unsigned len, unsigned char* dst, bool peek);

  protected:
    std::string label;
    std::atomic<uint32_t> write_pos{0};
    std::atomic<uint32_t> read_pos{0};
    uint32_t mask;
    uint32_t size;
    unsigned char* data;
};

class FrameRingBuffer : public RingBuffer {
  public:
    static constexpr uint32_t kMagic = 0xFCFCFCFCu;
    static constexpr uint32_t kSkipMagic = 0xFCFCFCFDu;
    static constexpr unsigned kHeaderSize = 12;
    static constexpr unsigned kMaxFrame = 1024u * 1024;
    static constexpr unsigned kMaxWriterDesc = 512;
    // The frame handed out by DataOneFrameOut has kHeadRoom writable bytes in
    // front of it and kTailRoom after it, so a muxer can frame it in place.
    static constexpr unsigned kHeadRoom = 32;
    static constexpr unsigned kTailRoom = 16;
    static constexpr unsigned kInitialFrameOut = 32768;

    enum Result {
        kOk = 0,
        kBadInput = -1,        // zero frame or descriptor length, null pointer
        kTooLarge = -2,        // frame > 1 MiB, descriptor not 24 bytes, record > ring
        kEmpty = -4,           // reader: nothing queued
        kCorrupt = -5,         // reader: bad magic, lengths or key-frame index
        kEmptiedNoKey = -6,    // the ring was emptied for a non-key frame; now waits
        kWaitKey = -7,         // waiting for a key frame and this is none
        kRefused = -8,         // no room and drop strategy 1
        kStoredAfterDrop = -9  // stored after discarding older data
    };

    FrameRingBuffer(unsigned capacity, const std::string& label);
    ~FrameRingBuffer() override;

    // 0 drop old GOPs (or, without video, old records) when full; 1 refuse the
    // new frame when full.
    void SetPackageDropStrategy(int strategy);

    // Writer side; any thread. Returns a Result.
    int DataOneFrameIn(const unsigned char* frame, unsigned len, const MediaSpecialInfo* desc,
                       unsigned desc_len);
    // Reader side; one thread only. The pointers refer to the buffer's own
    // output areas and stay valid until the next call. Returns a Result.
    int DataOneFrameOut(unsigned char** frame, unsigned* len, MediaSpecialInfo** desc,
                        unsigned* desc_len);
    // Reader side, the same thread, without a copy: the next record's frame
    // where it lies in the ring (one span) and its descriptor. The record
    // stays queued, its bytes untouched, until ReleaseFrame; a second peek
    // before that hands out the same record. A writer that needs its space
    // waits for the release, so hold it for a non-blocking write at most.
    // Returns a Result.
    int PeekFrame(const unsigned char** frame, unsigned* len, MediaSpecialInfo* desc);
    // Ends the peek: the record is consumed. Nothing happens without one.
    void ReleaseFrame();
    // Record bytes queued (headers, frames, descriptors; skipped tails not).
    uint64_t GetRecordBytes();

    // Used bytes per cent of the capacity.
    unsigned GetUsePercent();
    // Bytes discarded since the last call (clamped to INT_MAX; any remainder
    // is reported by the next call).
    int GetFrameDropAndReset();
    // Empties the ring, counting its bytes as dropped; a buffer that carries
    // video then waits for a key frame.
    void CleanAllFrameData();
    bool IsWaitingForKey();

  private:
    struct PositionProperty {
        uint32_t position;
        uint64_t records_before;  // records_in when the key frame was stored
    };

    struct Peeked {
        uint32_t start = 0;  // the record's header
        unsigned len = 0;
        MediaSpecialInfo desc{};
    };
    using Guard = std::unique_lock<std::mutex>;

    unsigned Need(unsigned total) const;
    void ResetIfEmpty();
    void SkipTail();
    void Store(const unsigned char* frame, unsigned len, const MediaSpecialInfo* desc);
    bool AwaitRelease(Guard& guard);
    bool MakeRoom(unsigned total, bool key, bool& discarded);
    bool DropOldestRecord();
    void EmptyLocked();
    void Refuse(bool video);
    void GrowFrameOut(unsigned len);
    int PeekLocked(Peeked* out);
    void ReleaseLocked();

    int drop_strategy = 0;
    std::mutex lock;
    std::condition_variable released;
    // The reader's peek, under `lock`: the record [peek.start, peek_end)
    // must not be overwritten or dropped until it is released.
    bool peeking = false;
    Peeked peek;
    uint32_t peek_end = 0;
    std::thread::id peek_owner;
    unsigned release_waiters = 0;
    // Record bytes ever stored and ever taken out (read or dropped), so that
    // a skipped tail never counts as dropped.
    uint64_t records_in = 0;
    uint64_t records_out = 0;
    unsigned char* frame_out = nullptr;
    MediaSpecialInfo desc_out{};
    unsigned frame_out_capacity = 0;
    bool wait_key = false;
    bool video_seen = false;
    uint64_t dropped_bytes = 0;
    std::list<PositionProperty> key_positions;
};

}  // namespace kestrel
