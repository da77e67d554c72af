// The store's next-position value on any bytes: accepted only as plain
// decimal that fits, and then exactly the number written back by the query
// builder; and FLV tag framing of any body.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "proto/flv_file.h"
#include "proto/storage_append.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    uint64_t value = 0;
    if (kestrel::storage_parse_next_position(text, value) == 0) {
        std::string query = kestrel::storage_append_query(value);
        std::string digits = query.substr(query.find('=') + 1);
        // Leading zeros are accepted; the value must be the same number.
        size_t nz = text.find_first_not_of('0');
        std::string canonical = nz == std::string::npos ? "0" : text.substr(nz);
        if (digits != canonical)
            abort();
    }
    std::string out;
    uint32_t ts =
        size >= 4 ? static_cast<uint32_t>(data[0]) << 24 | data[1] << 16 | data[2] << 8 | data[3]
                  : 0;
    if (kestrel::flv_append_tag(out, kestrel::FLV_TAG_VIDEO, ts, text.data(), text.size()) != 0 ||
        out.size() != text.size() + kestrel::kFlvTagOverhead)
        abort();
    return 0;
}
