// SharedPtr / WeakPtr / SharedBuffer: lifetimes, and locking a weak reference
// while another thread drops the last owner.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "core/shared_buffer.h"
#include "core/shared_ptr.h"
#include "core/single.h"

using namespace kestrel;

namespace {

struct Tracked {
    static std::atomic<int> alive;
    int value;
    explicit Tracked(int v) : value(v) { ++alive; }
    virtual ~Tracked() { --alive; }
};
std::atomic<int> Tracked::alive{0};

struct Derived : Tracked {
    Derived() : Tracked(7) {}
};

}  // namespace

TEST(SharedPtrTest, LastOwnerDestroysAndWeakReferencesSeeIt) {
    WeakPtr<Tracked> weak;
    {
        SharedPtr<Tracked> a = MakeShared<Tracked>(1);
        SharedPtr<Tracked> b = a;
        SharedPtr<Tracked> c;
        c = b;
        c = c;  // self-assignment keeps the object
        EXPECT_EQ(3u, a.use_count());
        weak = a;
        a.release();
        EXPECT_FALSE(a);
        EXPECT_EQ(1, Tracked::alive.load());
        SharedPtr<Tracked> locked = weak.Lock();
        ASSERT_TRUE(locked);
        EXPECT_EQ(1, locked->value);
    }
    EXPECT_EQ(0, Tracked::alive.load());
    EXPECT_FALSE(weak.Lock());
    EXPECT_TRUE(weak.Expired());
}

TEST(SharedPtrTest, HierarchyConversionsShareOneCount) {
    SharedPtr<Derived> d = MakeShared<Derived>();
    SharedPtr<Tracked> base = d;
    EXPECT_EQ(2u, d.use_count());
    SharedPtr<Derived> back = base.DynamicCast<Derived>();
    ASSERT_TRUE(back);
    EXPECT_EQ(3u, d.use_count());
    d.release();
    back.release();
    EXPECT_EQ(1, Tracked::alive.load());
    base.release();
    EXPECT_EQ(0, Tracked::alive.load());
}

// Many threads lock and drop while the owner goes away: every lock either gets
// a live object or nothing, and the object dies exactly once.
TEST(SharedPtrTest, WeakLockRacesWithRelease) {
    for (int round = 0; round < 50; ++round) {
        SharedPtr<Tracked> owner = MakeShared<Tracked>(round);
        WeakPtr<Tracked> weak = owner;
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                while (!go) {
                }
                for (int i = 0; i < 200; ++i) {
                    SharedPtr<Tracked> p = weak.Lock();
                    if (p) {
                        EXPECT_EQ(round, p->value);
                    }
                    WeakPtr<Tracked> copy = weak;
                }
            });
        }
        go = true;
        owner.release();
        for (auto& t : threads)
            t.join();
        EXPECT_EQ(0, Tracked::alive.load());
    }
}

namespace {
struct ReleaseLog {
    unsigned long len = 0;
    std::string tag;
    int calls = 0;
};
void OnRelease(void* user, unsigned long len, const std::string& tag) {
    auto* log = static_cast<ReleaseLog*>(user);
    log->len = len;
    log->tag = tag;
    ++log->calls;
}
}  // namespace

TEST(SharedBufferTest, CopiesAdoptsAndReportsTheLastRelease) {
    char src[] = "jpeg";
    SharedPtr<SharedBuffer> copy = SharedBuffer::Copy(src, 4);
    src[0] = 'X';
    EXPECT_EQ(0, memcmp("jpeg", copy->GetData(), 4));
    EXPECT_TRUE(SharedBuffer::New()->Empty());
    EXPECT_TRUE(SharedBuffer::Copy(nullptr, 10)->Empty());

    ReleaseLog log;
    {
        char* owned = new char[3]{'a', 'b', 'c'};
        SharedPtr<SharedBuffer> moved = SharedBuffer::Move(owned, 3);
        EXPECT_EQ(owned, moved->GetData());
        moved->SetCallback(&log, OnRelease);
        moved->SetTag("pic-1");
        SharedPtr<SharedBuffer> second = moved;
        moved.release();
        EXPECT_EQ(0, log.calls);
    }
    EXPECT_EQ(1, log.calls);
    EXPECT_EQ(3u, log.len);
    EXPECT_EQ("pic-1", log.tag);
}

TEST(SingleTest, CreatedOnceAndFreshAfterDestroy) {
    struct Service {
        int n = 0;
    };
    EXPECT_EQ(nullptr, Single<Service>::Peek());
    Single<Service>::Instance()->n = 5;
    EXPECT_EQ(5, Single<Service>::Instance()->n);
    Single<Service>::Destroy();
    EXPECT_EQ(nullptr, Single<Service>::Peek());
    EXPECT_EQ(0, Single<Service>::Instance()->n);
    Single<Service>::Destroy();
}
