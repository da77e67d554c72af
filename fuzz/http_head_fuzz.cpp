// Response heads as a server (or anything on the path) could send them, fed in
// pieces whose sizes come from the input, the way a socket delivers them; what
// follows a finished head is read as the next response, as a keep-alive
// connection would.
#include <cstdlib>
#include <string>

#include "proto/http.h"

namespace {

void Check(bool ok) {
    if (!ok)
        abort();
}

// The reader's promises, whatever the bytes: it never takes more than it is
// given, never holds more than the head limit, and reports values only for a
// valid head.
void CheckParser(const kestrel::HttpResponseParse& p) {
    Check(p.HeadText().size() <= kestrel::HTTP_MAX_HEAD);
    int r = p.IsParseFinished();
    Check(r == kestrel::HTTP_HEAD_OK || r == kestrel::HTTP_HEAD_INCOMPLETE ||
          r == kestrel::HTTP_HEAD_INVALID || r == kestrel::HTTP_HEAD_TOO_LARGE);
    if (r == kestrel::HTTP_HEAD_OK) {
        Check(p.GetStatusCode() >= 100 && p.GetStatusCode() <= 599);
        Check(kestrel::HttpProtocolAssistant::CheckVersionString(p.GetVersion()));
        size_t n = p.HeadText().size();
        Check(n >= 4 && p.HeadText().compare(n - 4, 4, "\r\n\r\n") == 0);
        p.HeaderTraverse(
            [](void*, const std::string& name, const std::string& value) {
                Check(!name.empty());
                Check(value.find_first_of("\r\n") == std::string::npos);
            },
            nullptr);
    } else {
        Check(p.GetStatusCode() == 0 && p.GetContentLen() == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    // The first byte chooses the piece size (1..256).
    size_t piece = static_cast<size_t>(data[0]) + 1;
    const char* text = reinterpret_cast<const char*>(data + 1);
    size_t len = size - 1;
    kestrel::HttpResponseParse p;
    size_t off = 0;
    while (off < len) {
        size_t n = len - off < piece ? len - off : piece;
        size_t taken = p.AppendData(text + off, n);
        Check(taken <= n);
        CheckParser(p);
        if (p.IsParseFinished() == kestrel::HTTP_HEAD_OK) {
            off += taken;
            (void)p.GetHeaderValue("content-length");
            (void)p.IsFramingSupported();
            p.ClearData();
        } else if (p.IsParseFinished() == kestrel::HTTP_HEAD_INCOMPLETE) {
            Check(taken == n);
            off += n;
        } else {
            break;
        }
    }
    return 0;
}
