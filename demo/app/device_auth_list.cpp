#include "demo/app/device_auth_list.h"

#include <stdlib.h>
#include <string.h>

namespace {

char* CopyText(const char* text) {
    if (!text)
        return nullptr;
    size_t n = strlen(text) + 1;
    char* copy = static_cast<char*>(malloc(n));
    if (copy)
        memcpy(copy, text, n);
    return copy;
}

bool SameText(const char* a, const char* b) {
    return a && b && strcmp(a, b) == 0;
}

}  // namespace

ks_device_auth_s* ksDeviceAuthCopy(const ks_device_auth_s* list, unsigned count) {
    if (!list || count == 0)
        return nullptr;
    auto* copy = static_cast<ks_device_auth_s*>(calloc(count, sizeof(ks_device_auth_s)));
    if (!copy)
        return nullptr;
    for (unsigned i = 0; i < count; ++i) {
        copy[i].dev_id = list[i].dev_id;
        copy[i].product_key = CopyText(list[i].product_key);
        copy[i].device_name = CopyText(list[i].device_name);
        copy[i].device_secret = CopyText(list[i].device_secret);
        // A null source string stays null (it can never match later); only a
        // failed allocation of a present string aborts the copy.
        bool failed = (list[i].product_key && !copy[i].product_key) ||
                      (list[i].device_name && !copy[i].device_name) ||
                      (list[i].device_secret && !copy[i].device_secret);
        if (failed) {
            ksDeviceAuthDelete(copy, i + 1);
            return nullptr;
        }
    }
    return copy;
}

void ksDeviceAuthDelete(ks_device_auth_s* list, unsigned count) {
    if (!list)
        return;
    for (unsigned i = 0; i < count; ++i) {
        free(list[i].product_key);
        free(list[i].device_name);
        free(list[i].device_secret);
    }
    free(list);
}

unsigned ksDeviceAuthCompares(const ks_device_auth_s* auth, unsigned count,
                              const ks_device_auth_s* list) {
    if (!auth || !list || count == 0)
        return count;
    for (unsigned i = 0; i < count; ++i) {
        const ks_device_auth_s& e = list[i];
        if (e.dev_id == auth->dev_id && SameText(e.product_key, auth->product_key) &&
            SameText(e.device_name, auth->device_name) &&
            SameText(e.device_secret, auth->device_secret))
            return i;
    }
    return count;
}
