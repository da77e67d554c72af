// The demo's readers of platform requests on any (pointer, length) text. The
// text is an exact-size heap copy without a terminator, as the platform's
// texts need not have one.
#include <cjson/cJSON.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "demo/app/cloud_requests.h"

namespace {

void Check(bool ok) {
    if (!ok)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20)
        return 0;
    std::vector<char> text(data, data + size);
    const char* p = text.empty() ? nullptr : text.data();
    const int len = static_cast<int>(text.size());

    cloud_service_is_forwarded(p, len);
    cloud_service_is_ptz(p, len);
    int action = 0, step = 0;
    cloud_parse_ptz(p, len, &action, &step);

    std::string name, value;
    int rc = cloud_property_first_member(p, len, &name, &value);
    Check(rc >= -1 && rc <= 1);
    if (rc == 1) {
        // The value goes into the camera's report as it stands: it must be
        // one JSON value (a number or a quoted string).
        cJSON* v = cJSON_Parse(value.c_str());
        Check(v != nullptr && (cJSON_IsNumber(v) || cJSON_IsString(v)));
        cJSON_Delete(v);
    }
    return 0;
}
