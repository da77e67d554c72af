// The sample stream's index and meta readers on any file content. Byte 0
// picks the reader; the rest is the file. Run with -close_fd_mask=1: the
// readers print why they refuse a file.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "demo/camera/stream_files.h"

namespace {

void Check(bool ok) {
    if (!ok)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    int fd = memfd_create("stream_files_fuzz", MFD_CLOEXEC);
    Check(fd >= 0);
    Check(write(fd, data + 1, size - 1) == static_cast<ssize_t>(size - 1));
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (data[0] & 1) {
        kestrel::camera::StreamParam param;
        memset(&param, 0xA5, sizeof(param));
        kestrel::camera::ReadStreamMeta(path, &param);
    } else {
        std::vector<kestrel::camera::IndexInfo> index;
        if (kestrel::camera::ReadStreamIndex(path, &index) == 0) {
            Check(!index.empty());
            for (size_t i = 1; i < index.size(); ++i)
                Check(index[i].timestamp >= index[i - 1].timestamp);
        } else {
            Check(index.empty());
        }
    }
    close(fd);
    return 0;
}
