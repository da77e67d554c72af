#include "proto/storage_append.h"

namespace kestrel {

std::string storage_append_query(uint64_t position) {
    return "append&position=" + std::to_string(position);
}

int storage_parse_next_position(const std::string& text, uint64_t& out) {
    if (text.empty() || text.size() > 20) {
        return -1;
    }
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return -1;
        }
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return -1;
        }
        value = value * 10 + digit;
    }
    out = value;
    return 0;
}

}  // namespace kestrel
