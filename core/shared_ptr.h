// Reference-counted ownership for objects handed between the application, the
// task-queue, job and network threads. Counts are atomic and WeakPtr::Lock is a
// compare-and-swap, so a relay or connection may be released on one thread
// while another locks a weak reference to it.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace kestrel {

namespace detail {

struct CountBlock {
    // strong: owners. weak: weak references plus one held jointly by all owners,
    // so the block outlives the object for as long as anything can still look at it.
    std::atomic<uint64_t> strong{1};
    std::atomic<uint64_t> weak{1};
};

}  // namespace detail

template <typename T>
class WeakPtr;

template <typename T>
class SharedPtr {
  public:
    SharedPtr() = default;
    SharedPtr(std::nullptr_t) {}
    explicit SharedPtr(T* obj) : obj_(obj), block_(obj ? new detail::CountBlock : nullptr) {}

    SharedPtr(const SharedPtr& other) : obj_(other.obj_), block_(other.block_) { retain(); }
    template <typename U>
    SharedPtr(const SharedPtr<U>& other) : obj_(other.obj_), block_(other.block_) {
        retain();
    }
    SharedPtr(SharedPtr&& other) noexcept : obj_(other.obj_), block_(other.block_) {
        other.obj_ = nullptr;
        other.block_ = nullptr;
    }
    template <typename U>
    SharedPtr(SharedPtr<U>&& other) noexcept : obj_(other.obj_), block_(other.block_) {
        other.obj_ = nullptr;
        other.block_ = nullptr;
    }

    SharedPtr& operator=(const SharedPtr& other) {
        if (this != &other && block_ != other.block_) {
            SharedPtr copy(other);
            swap(copy);
        }
        return *this;
    }
    SharedPtr& operator=(SharedPtr&& other) noexcept {
        if (this != &other) {
            SharedPtr moved(std::move(other));
            swap(moved);
        }
        return *this;
    }

    ~SharedPtr() { release(); }

    // Drops this owner's reference; the last owner destroys the object.
    void release() {
        detail::CountBlock* block = block_;
        T* obj = obj_;
        obj_ = nullptr;
        block_ = nullptr;
        if (!block)
            return;
        if (block->strong.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete obj;
            if (block->weak.fetch_sub(1, std::memory_order_acq_rel) == 1)
                delete block;
        }
    }

    void swap(SharedPtr& other) noexcept {
        std::swap(obj_, other.obj_);
        std::swap(block_, other.block_);
    }

    T* get() const { return obj_; }
    T* operator->() const { return obj_; }
    T& operator*() const { return *obj_; }
    explicit operator bool() const { return obj_ != nullptr; }
    uint64_t use_count() const { return block_ ? block_->strong.load() : 0; }

    template <typename U>
    bool operator==(const SharedPtr<U>& o) const {
        return obj_ == o.get();
    }
    template <typename U>
    bool operator!=(const SharedPtr<U>& o) const {
        return obj_ != o.get();
    }
    bool operator==(std::nullptr_t) const { return obj_ == nullptr; }
    bool operator!=(std::nullptr_t) const { return obj_ != nullptr; }

    // Same object, viewed as another type of its hierarchy; empty when it is not one.
    template <typename U>
    SharedPtr<U> DynamicCast() const {
        U* p = dynamic_cast<U*>(obj_);
        if (!p)
            return SharedPtr<U>();
        return SharedPtr<U>(p, block_);
    }

  private:
    template <typename U>
    friend class SharedPtr;
    template <typename U>
    friend class WeakPtr;

    // Adopts a block whose strong count the caller has already raised.
    SharedPtr(T* obj, detail::CountBlock* block, bool) : obj_(obj), block_(block) {}
    SharedPtr(T* obj, detail::CountBlock* block) : obj_(obj), block_(block) { retain(); }

    void retain() {
        if (block_)
            block_->strong.fetch_add(1, std::memory_order_relaxed);
    }

    T* obj_ = nullptr;
    detail::CountBlock* block_ = nullptr;
};

template <typename T>
class WeakPtr {
  public:
    WeakPtr() = default;
    template <typename U>
    WeakPtr(const SharedPtr<U>& s) {
        assign(s.obj_, s.block_);
    }
    WeakPtr(const WeakPtr& other) { assign(other.obj_, other.block_); }
    WeakPtr& operator=(const WeakPtr& other) {
        if (this != &other) {
            release();
            assign(other.obj_, other.block_);
        }
        return *this;
    }
    template <typename U>
    WeakPtr& operator=(const SharedPtr<U>& s) {
        release();
        assign(s.obj_, s.block_);
        return *this;
    }
    ~WeakPtr() { release(); }

    void release() {
        detail::CountBlock* block = block_;
        obj_ = nullptr;
        block_ = nullptr;
        if (block && block->weak.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete block;
    }

    // An owner of the object, or an empty pointer once the last owner has gone.
    SharedPtr<T> Lock() const {
        if (!block_)
            return SharedPtr<T>();
        uint64_t n = block_->strong.load(std::memory_order_relaxed);
        while (n != 0) {
            if (block_->strong.compare_exchange_weak(n, n + 1, std::memory_order_acq_rel,
                                                     std::memory_order_relaxed)) {
                return SharedPtr<T>(obj_, block_, true);
            }
        }
        return SharedPtr<T>();
    }

    bool Expired() const { return !block_ || block_->strong.load() == 0; }

  private:
    template <typename U>
    void assign(U* obj, detail::CountBlock* block) {
        obj_ = obj;
        block_ = block;
        if (block_)
            block_->weak.fetch_add(1, std::memory_order_relaxed);
    }

    T* obj_ = nullptr;
    detail::CountBlock* block_ = nullptr;
};

template <typename T, typename... Args>
SharedPtr<T> MakeShared(Args&&... args) {
    return SharedPtr<T>(new T(std::forward<Args>(args)...));
}

}  // namespace kestrel
