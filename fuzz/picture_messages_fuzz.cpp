// The picture services' readers of cloud messages: storage credentials, event
// limits and the file transfer invocations. The first byte picks the reader,
// the rest is the payload. Every input must be taken or refused without a
// fault, and an accepted credential set must be fit for a request head.
#include <cstdlib>
#include <string>

#include "core/logger.h"
#include "sdk/picture/alarm_event.h"
#include "sdk/storage/file_transform.h"
#include "sdk/storage/kiv_identify.h"

namespace {

void Quiet(int, const char*, int, const char*, ...) {}

struct Readers {
    Readers() {
        kestrel::logger_set_user_define(Quiet);
        files.Init(true, true);  // read every entry, tell nobody
    }
    kestrel::KivIdentify identify;
    kestrel::EventLimit limit;
    kestrel::FileTransformService files;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    static Readers* r = new Readers;
    if (size == 0)
        return 0;
    std::string payload(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 4) {
        case 0:
            // No device asked, so an accepted set is parsed in full and then
            // refused as unasked: the whole reader runs every time.
            if (r->identify.ParseDownstream(0, payload) == 0)
                abort();
            break;
        case 1:
            r->limit.Parse(payload);
            r->limit.SingleIsPermit(data[0]);
            break;
        case 2:
            r->files.FileParse(payload, 0, kestrel::FileTransformService::kDownload);
            break;
        default:
            r->files.FileParse(payload, 0, kestrel::FileTransformService::kUpload);
            break;
    }
    return 0;
}
