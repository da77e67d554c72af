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

    std::vector<cloud_property_member_s> members;
    int rc = cloud_property_members(p, len, &members);
    Check(rc == 0 || (rc == -1 && members.empty()));
    for (const cloud_property_member_s& m : members) {
        // Each member is either refused with a reason or applied with a
        // value that goes into the camera's report as it stands: one JSON
        // value (a number or a quoted string).
        Check(m.error.empty() != m.value.empty());
        if (!m.error.empty())
            continue;
        Check(cloud_property_known(m.name));
        cJSON* v = cJSON_Parse(m.value.c_str());
        Check(v != nullptr && (cJSON_IsNumber(v) || cJSON_IsString(v)));
        cJSON_Delete(v);
    }
    return 0;
}
