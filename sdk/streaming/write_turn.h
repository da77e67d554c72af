// One network-thread write turn over a frame ring, for every path that drains
// a ring into a connection: the frame the sink could not take last turn goes
// first, then frames in ring order, until the turn's byte budget is spent,
// the ring is empty or the sink ends the turn. A frame that cannot be read
// empties the ring: what follows it can no longer be trusted to be framed.
//
// The sink sees each frame in place (a pointer into the ring, peeked and
// released after the sink's answer); only a frame it holds back is copied,
// once, so that a sink that cannot go on never keeps the ring's space.
#pragma once

#include <string>
#include <vector>

#include "core/logger.h"
#include "sdk/streaming/frame_ring_buffer.h"

namespace kestrel {

class WriteTurn {
  public:
    struct Frame {
        MediaSpecialInfo desc{};
        const unsigned char* data = nullptr;
        unsigned len = 0;
        bool held = false;  // held back by an earlier turn
    };
    // The sink's answer for one frame.
    enum Verdict {
        kTaken,     // written or dropped: it counts against the budget
        kHoldBack,  // not now: it goes first next turn, and this turn ends
        kStop,      // this turn ends; a frame from the ring is gone, a held one stays held
    };
    // How a turn ended.
    enum End { kBudgetSpent, kRingEmpty, kHeldBack, kStopped, kReadFailed };

    // `sink` is called as Verdict(const Frame&); `label` names the stream in
    // the read-failure line.
    template <typename Sink>
    End Run(FrameRingBuffer& ring, unsigned budget, const std::string& label, Sink&& sink) {
        unsigned taken = 0;
        while (taken < budget) {
            Frame f;
            if (!next(ring, label, f))
                return f.len == kReadError ? kReadFailed : kRingEmpty;
            Verdict v = sink(static_cast<const Frame&>(f));
            if (v == kHoldBack && !f.held)
                hold(f);
            // A frame from the ring is done with either way: taken, copied
            // into the held block, or gone with the stop.
            if (!f.held)
                ring.ReleaseFrame();
            if (v == kHoldBack)
                return kHeldBack;
            if (v == kStop)
                return kStopped;
            if (f.held)
                Drop();
            taken += f.len;
        }
        return kBudgetSpent;
    }

    bool Holding() const { return holding_; }
    // Forgets the held frame.
    void Drop();

  private:
    static constexpr unsigned kReadError = ~0u;
    // The held frame or the ring's next; false (len kReadError on a failed
    // read, logged and the ring emptied) when there is none.
    bool next(FrameRingBuffer& ring, const std::string& label, Frame& f);
    void hold(const Frame& f);

    bool holding_ = false;
    MediaSpecialInfo held_desc_{};
    std::vector<unsigned char> held_;
};

}  // namespace kestrel
