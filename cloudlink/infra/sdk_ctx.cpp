#include "infra/sdk_ctx.h"

#include <mutex>

namespace {
// A function-local static keeps the lock usable from other static
// initialisers and needs no explicit creation call.
std::mutex& CtxMutex() {
    static std::mutex m;
    return m;
}
nexo_sdk_ctx_t& Ctx() {
    static nexo_sdk_ctx_t c;
    return c;
}
}  // namespace

void nexo_ctx_lock() {
    CtxMutex().lock();
}
void nexo_ctx_unlock() {
    CtxMutex().unlock();
}
nexo_sdk_ctx_t& nexo_ctx_raw() {
    return Ctx();
}

nexo_sdk_ctx_t nexo_ctx_get() {
    std::lock_guard<std::mutex> g(CtxMutex());
    return Ctx();
}
