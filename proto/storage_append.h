// The object store's append request and reply, as text: the sub-resource that
// names the position, and the next position the store answers with.
#pragma once

#include <cstdint>
#include <string>

namespace kestrel {

// "append&position=" and the position in decimal.
std::string storage_append_query(uint64_t position);

// The value of "x-kiv-next-append-position": 1 to 20 decimal digits with
// no sign, blank or other byte, fitting 64 bits. 0 and `out` set, or -1.
int storage_parse_next_position(const std::string& text, uint64_t& out);

}  // namespace kestrel
