// The cloud link's HTTP response reader (firmware and configuration
// downloads) on any bytes from the server, cut into reads of the sizes the
// first input byte chooses. Whatever the status, the head and body must come
// out consistent: a body reported complete has exactly the announced length,
// and nothing is delivered after the reader gave up.
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

#include "infra/httpc.h"
#include "tether/hal.h"

namespace {

void Check(bool ok) {
    if (!ok)
        abort();
}

struct Source {
    const uint8_t* p;
    size_t left;
    size_t step;
};

int Read(void* ctx, char* buf, int len) {
    Source* s = static_cast<Source*>(ctx);
    if (s->left == 0)
        return -2;
    size_t n = s->step < s->left ? s->step : s->left;
    if (n > static_cast<size_t>(len))
        n = static_cast<size_t>(len);
    memcpy(buf, s->p, n);
    s->p += n;
    s->left -= n;
    return static_cast<int>(n);
}

struct Seen {
    int heads = 0;
    int status = 0;
    long long length = -1;
    long long body = 0;
};

bool OnHead(void* ctx, int status, long long length) {
    Seen* s = static_cast<Seen*>(ctx);
    s->heads++;
    s->status = status;
    s->length = length;
    return true;
}

bool OnBody(void* ctx, const char* data, size_t len) {
    Seen* s = static_cast<Seen*>(ctx);
    Check(s->heads == 1 && len > 0);
    volatile char first = data[0], last = data[len - 1];
    (void)first;
    (void)last;
    s->body += static_cast<long long>(len);
    return true;
}

}  // namespace

// The reader's only outside needs: a clock and the log.
uint64_t HAL_UptimeMs(void) {
    return 0;
}
void LITE_syslog(const char*, const char*, const int, const int, const char* fmt, ...) {
    char line[600];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
}
// Not reached from nexo_http_read_response; the POST and GET entry points
// sharing the file need them to link.
uintptr_t HAL_SSL_Establish(const char*, uint16_t, const char*, uint32_t) {
    return 0;
}
int HAL_SSL_Read(uintptr_t, char*, int, int) {
    return -1;
}
int HAL_SSL_Write(uintptr_t, const char*, int, int) {
    return -1;
}
int32_t HAL_SSL_Destroy(uintptr_t) {
    return 0;
}
int HAL_SSL_LastError(void) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 1 << 20)
        return 0;
    Source src{data + 1, size - 1, static_cast<size_t>(data[0] % 64) + 1};
    Seen seen;
    nexo_http_sink_t sink{OnHead, OnBody, &seen, nullptr};
    int rc = nexo_http_read_response(Read, &src, &sink, 1000);
    Check(seen.heads <= 1);
    if (rc > 0) {
        Check(seen.heads == 1 && rc == seen.status);
        if (seen.length >= 0)
            Check(seen.body == seen.length);
    } else {
        Check(rc == NEXO_HTTP_ERR_RESPONSE || rc == NEXO_HTTP_ERR_TRUNCATED ||
              rc == NEXO_HTTP_ERR_TIMEOUT);
    }
    return 0;
}
