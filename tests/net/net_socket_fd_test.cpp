// A socket's descriptor: 0 is a real one (a daemon with stdin closed gets it first).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "net/net_transmission.h"
#include "net_test_util.h"

using namespace kestrel;
using namespace kestrel_test;

namespace {

class AdoptingSocket : public NetTransmission {
  public:
    explicit AdoptingSocket(SharedPtr<RecordingHandler> h) : NetTransmission(h) {}
    void Adopt(int fd) { fd_ = fd; }
};

}  // namespace

TEST(NetSocketFd, DescriptorZeroIsClosedWithItsSocket) {
    SharedPtr<RecordingHandler> handler(new RecordingHandler);
    EXPECT_EQ(-1, AdoptingSocket(handler).GetFd()) << "none is -1, not 0";

    int saved = dup(0);
    int p[2];
    ASSERT_EQ(0, pipe(p));
    ASSERT_EQ(0, dup2(p[0], 0));
    close(p[0]);
    for (bool disconnect : {false, true}) {
        ASSERT_EQ(0, dup2(p[1], 0));
        {
            AdoptingSocket s(handler);
            s.Adopt(0);
            if (disconnect) {
                s.RealDisconnect();
                EXPECT_EQ(-1, s.GetFd());
            }
        }
        EXPECT_EQ(-1, fcntl(0, F_GETFD)) << "descriptor 0 left open, disconnect " << disconnect;
    }
    close(p[1]);
    dup2(saved, 0);
    close(saved);
}
