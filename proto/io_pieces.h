// An outgoing message as a list of pieces rather than one copied buffer: the
// framing a codec writes (tag headers, length prefixes, chunk headers) sits
// in the list's own small arena, the payload stays where the caller keeps it
// and is only pointed at. A socket hands the pieces to writev as they are.
//
// A piece is transient when its bytes live only as long as the list (or the
// list it was split from) is unchanged: a sender that has to queue the
// message copies those few bytes and keeps a reference to the rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrel {

class IoPieces {
  public:
    struct Piece {
        const uint8_t* data = nullptr;  // borrowed bytes; unused for arena pieces
        size_t offset = 0;              // into the arena when in_arena
        size_t len = 0;
        bool in_arena = false;
        bool transient = false;
    };

    void Clear() {
        pieces_.clear();
        arena_.clear();
        kept_.clear();
        total_ = 0;
        barrier_ = 0;
    }
    // The next piece starts a new run (a new message): it is never joined
    // to the one before.
    void Break() { barrier_ = pieces_.size(); }
    // Copies n bytes into the arena as the next piece (joined to the
    // previous one when that ends where these start).
    void AddOwn(const uint8_t* bytes, size_t n) {
        if (n == 0) {
            return;
        }
        size_t at = arena_.size();
        arena_.insert(arena_.end(), bytes, bytes + n);
        AddArena(at, n);
    }
    // A piece over arena bytes written before: a header the list repeats
    // (a chunk continuation header) costs no new bytes.
    void AddArena(size_t offset, size_t n) {
        if (n == 0) {
            return;
        }
        total_ += n;
        if (pieces_.size() > barrier_) {
            Piece& last = pieces_.back();
            if (last.in_arena && last.offset + last.len == offset) {
                last.len += n;
                return;
            }
        }
        Piece p;
        p.offset = offset;
        p.len = n;
        p.in_arena = true;
        p.transient = true;
        pieces_.push_back(p);
    }
    // Points at n bytes the caller keeps; transient when they go away with
    // another list or buffer that is about to be reused.
    void AddSpan(const uint8_t* bytes, size_t n, bool transient) {
        if (n == 0) {
            return;
        }
        total_ += n;
        if (pieces_.size() > barrier_) {
            Piece& last = pieces_.back();
            if (!last.in_arena && last.transient == transient && last.data + last.len == bytes) {
                last.len += n;
                return;
            }
        }
        Piece p;
        p.data = bytes;
        p.len = n;
        p.transient = transient;
        pieces_.push_back(p);
    }
    // Takes a whole buffer the builder made (an encrypted body) as the next
    // piece without copying it: *bytes is left empty. Transient like the arena.
    void AddKept(std::vector<uint8_t>* bytes) {
        if (bytes->empty()) {
            return;
        }
        kept_.emplace_back();
        kept_.back().swap(*bytes);
        // The buffer moves with its vector, never reallocated: the address holds.
        Piece p;
        p.data = kept_.back().data();
        p.len = kept_.back().size();
        p.transient = true;
        total_ += p.len;
        pieces_.push_back(p);
    }
    // Bytes put in the arena without a piece, for AddArena to point at
    // later; returns their offset.
    size_t Stash(const uint8_t* bytes, size_t n) {
        size_t at = arena_.size();
        arena_.insert(arena_.end(), bytes, bytes + n);
        return at;
    }

    size_t Count() const { return pieces_.size(); }
    size_t Total() const { return total_; }
    const Piece& At(size_t i) const { return pieces_[i]; }
    // Where piece i's bytes are now; arena addresses change as the arena grows.
    const uint8_t* Data(size_t i) const {
        const Piece& p = pieces_[i];
        return p.in_arena ? arena_.data() + p.offset : p.data;
    }
    bool Transient(size_t i) const { return pieces_[i].transient; }
    // Every byte in order, appended: for the callers that want one buffer.
    void AppendTo(std::vector<uint8_t>* out) const {
        out->reserve(out->size() + total_);
        for (size_t i = 0; i < pieces_.size(); ++i) {
            const uint8_t* d = Data(i);
            out->insert(out->end(), d, d + pieces_[i].len);
        }
    }

  private:
    std::vector<Piece> pieces_;
    std::vector<uint8_t> arena_;
    std::vector<std::vector<uint8_t>> kept_;
    size_t total_ = 0;
    size_t barrier_ = 0;
};

}  // namespace kestrel
