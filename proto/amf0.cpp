#include "proto/amf0.h"

#include <cstring>

namespace kestrel {

namespace {

// A long string's length field is 32 bits. Taken as a 64-bit value so the
// test also compiles where size_t is 32 bits and can never exceed it.
bool ExceedsLongString(uint64_t len) {
    return len > 0xFFFFFFFFull;
}

bool Fits(const uint8_t* p, const uint8_t* end, size_t n) {
    return p && end && p <= end && static_cast<size_t>(end - p) >= n;
}

uint8_t* PutBe(uint8_t* p, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        *p++ = static_cast<uint8_t>(v >> (8 * i));
    }
    return p;
}

uint64_t GetBe(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) {
        v = (v << 8) | p[i];
    }
    return v;
}

uint8_t* PutMarker(uint8_t* p, const uint8_t* end, uint8_t marker) {
    if (!Fits(p, end, 1)) {
        return nullptr;
    }
    *p = marker;
    return p + 1;
}

uint64_t DoubleBits(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

size_t StringSize(size_t len) {
    return len < 0x10000 ? 3 + len : 5 + len;
}

const uint8_t* ReadItem(const uint8_t* p, const uint8_t* end, AMFDataType type,
                        amf_object_item_t* item, int depth);

const uint8_t* ReadObject(const uint8_t* p, const uint8_t* end, amf_object_item_t* items,
                          size_t count, int depth) {
    if (depth > AMF_MAX_DEPTH) {
        return nullptr;
    }
    while (p && Fits(p, end, 2)) {
        size_t name_len = static_cast<size_t>(GetBe(p, 2));
        p += 2;
        if (name_len == 0) {
            return Fits(p, end, 1) && *p == AMF_OBJECT_END ? p + 1 : nullptr;
        }
        if (!Fits(p, end, name_len + 1)) {
            return nullptr;
        }
        const char* name = reinterpret_cast<const char*>(p);
        AMFDataType type = static_cast<AMFDataType>(p[name_len]);
        p += name_len + 1;
        amf_object_item_t* match = nullptr;
        for (size_t i = 0; items && i < count && !match; ++i) {
            if (items[i].type == type && items[i].name && std::strlen(items[i].name) == name_len &&
                std::memcmp(items[i].name, name, name_len) == 0) {
                match = &items[i];
            }
        }
        p = ReadItem(p, end, type, match, depth);
    }
    return nullptr;
}

const uint8_t* ReadStrictArray(const uint8_t* p, const uint8_t* end, amf_object_item_t* item,
                               int depth) {
    if (depth > AMF_MAX_DEPTH || !Fits(p, end, 4)) {
        return nullptr;
    }
    uint32_t count = static_cast<uint32_t>(GetBe(p, 4));
    p += 4;
    amf_object_item_t* entries = item ? static_cast<amf_object_item_t*>(item->value) : nullptr;
    size_t known = entries ? item->size : 0;
    for (uint32_t i = 0; i < count && p && p < end; ++i) {
        AMFDataType type = static_cast<AMFDataType>(*p++);
        amf_object_item_t* target = (i < known && entries[i].type == type) ? &entries[i] : nullptr;
        p = ReadItem(p, end, type, target, depth);
    }
    return p;
}

const uint8_t* ReadItem(const uint8_t* p, const uint8_t* end, AMFDataType type,
                        amf_object_item_t* item, int depth) {
    void* value = item ? item->value : nullptr;
    auto* nested = static_cast<amf_object_item_t*>(value);
    size_t size = item ? item->size : 0;
    switch (type) {
        case AMF_NUMBER:
            return AMFReadDouble(p, end, static_cast<double*>(value));
        case AMF_BOOLEAN:
            return AMFReadBoolean(p, end, static_cast<uint8_t*>(value));
        case AMF_STRING:
        case AMF_LONG_STRING:
            return AMFReadString(p, end, type == AMF_LONG_STRING, static_cast<char*>(value), size);
        case AMF_DATE: {
            auto* date = static_cast<amf_date_t*>(value);
            return AMFReadDate(p, end, date ? &date->ms : nullptr, date ? &date->tz : nullptr);
        }
        case AMF_OBJECT:
            return ReadObject(p, end, nested, size, depth + 1);
        case AMF_ECMA_ARRAY:
            return Fits(p, end, 4) ? ReadObject(p + 4, end, nested, size, depth + 1) : nullptr;
        case AMF_STRICT_ARRAY:
            return ReadStrictArray(p, end, item, depth + 1);
        case AMF_NULL:
        case AMF_UNDEFINED:
            return p && p <= end ? p : nullptr;
        default:
            // References, typed objects and AMF3 switches are never sent to
            // this client; reading past them would be guesswork.
            return nullptr;
    }
}

}  // namespace

uint8_t* AMFWriteNull(uint8_t* p, const uint8_t* end) {
    return PutMarker(p, end, AMF_NULL);
}
uint8_t* AMFWriteUndefined(uint8_t* p, const uint8_t* end) {
    return PutMarker(p, end, AMF_UNDEFINED);
}
uint8_t* AMFWriteObject(uint8_t* p, const uint8_t* end) {
    return PutMarker(p, end, AMF_OBJECT);
}
uint8_t* AMFWriteTypedObject(uint8_t* p, const uint8_t* end) {
    return PutMarker(p, end, AMF_TYPED_OBJECT);
}

uint8_t* AMFWriteObjectEnd(uint8_t* p, const uint8_t* end) {
    if (!Fits(p, end, 3)) {
        return nullptr;
    }
    return PutBe(p, AMF_OBJECT_END, 3);
}

uint8_t* AMFWriteStrictArray(uint8_t* p, const uint8_t* end, uint32_t count) {
    if (!Fits(p, end, 5)) {
        return nullptr;
    }
    *p = AMF_STRICT_ARRAY;
    return PutBe(p + 1, count, 4);
}

uint8_t* AMFWriteBoolean(uint8_t* p, const uint8_t* end, uint8_t b) {
    if (!Fits(p, end, 2)) {
        return nullptr;
    }
    p[0] = AMF_BOOLEAN;
    p[1] = b ? 1 : 0;
    return p + 2;
}

uint8_t* AMFWriteDouble(uint8_t* p, const uint8_t* end, double v) {
    if (!Fits(p, end, 9)) {
        return nullptr;
    }
    *p = AMF_NUMBER;
    return PutBe(p + 1, DoubleBits(v), 8);
}

uint8_t* AMFWriteString(uint8_t* p, const uint8_t* end, const char* s, size_t len) {
    if (ExceedsLongString(len) || (len && !s) || !Fits(p, end, StringSize(len))) {
        return nullptr;
    }
    if (len < 0x10000) {
        *p = AMF_STRING;
        p = PutBe(p + 1, len, 2);
    } else {
        *p = AMF_LONG_STRING;
        p = PutBe(p + 1, len, 4);
    }
    if (len) {
        std::memcpy(p, s, len);
    }
    return p + len;
}

uint8_t* AMFWriteDate(uint8_t* p, const uint8_t* end, double ms, int16_t tz) {
    if (!Fits(p, end, 11)) {
        return nullptr;
    }
    *p = AMF_DATE;
    p = PutBe(p + 1, DoubleBits(ms), 8);
    return PutBe(p, static_cast<uint16_t>(tz), 2);
}

uint8_t* AMFWriteString16(uint8_t* p, const uint8_t* end, const char* s, size_t len) {
    if (len > 0xFFFF || (len && !s) || !Fits(p, end, 2 + len)) {
        return nullptr;
    }
    p = PutBe(p, len, 2);
    if (len) {
        std::memcpy(p, s, len);
    }
    return p + len;
}

uint8_t* AMFWriteNamedBoolean(uint8_t* p, const uint8_t* end, const char* name, size_t name_len,
                              uint8_t b) {
    if (!Fits(p, end, 2 + name_len + 2)) {
        return nullptr;
    }
    return AMFWriteBoolean(AMFWriteString16(p, end, name, name_len), end, b);
}

uint8_t* AMFWriteNamedDouble(uint8_t* p, const uint8_t* end, const char* name, size_t name_len,
                             double v) {
    if (!Fits(p, end, 2 + name_len + 9)) {
        return nullptr;
    }
    return AMFWriteDouble(AMFWriteString16(p, end, name, name_len), end, v);
}

uint8_t* AMFWriteNamedString(uint8_t* p, const uint8_t* end, const char* name, size_t name_len,
                             const char* s, size_t len) {
    if (ExceedsLongString(len) || !Fits(p, end, 2 + name_len) ||
        !Fits(p + 2 + name_len, end, StringSize(len))) {
        return nullptr;
    }
    return AMFWriteString(AMFWriteString16(p, end, name, name_len), end, s, len);
}

uint8_t* AMFWriteNamedStrictArray(uint8_t* p, const uint8_t* end, const char* name, size_t name_len,
                                  uint32_t count) {
    if (!Fits(p, end, 2 + name_len + 5)) {
        return nullptr;
    }
    return AMFWriteStrictArray(AMFWriteString16(p, end, name, name_len), end, count);
}

const uint8_t* AMFReadNull(const uint8_t* p, const uint8_t* end) {
    return p && p <= end ? p : nullptr;
}
const uint8_t* AMFReadUndefined(const uint8_t* p, const uint8_t* end) {
    return AMFReadNull(p, end);
}

const uint8_t* AMFReadBoolean(const uint8_t* p, const uint8_t* end, uint8_t* out) {
    if (!Fits(p, end, 1)) {
        return nullptr;
    }
    if (out) {
        *out = *p;
    }
    return p + 1;
}

const uint8_t* AMFReadDouble(const uint8_t* p, const uint8_t* end, double* out) {
    if (!Fits(p, end, 8)) {
        return nullptr;
    }
    if (out) {
        uint64_t bits = GetBe(p, 8);
        std::memcpy(out, &bits, sizeof *out);
    }
    return p + 8;
}

const uint8_t* AMFReadString(const uint8_t* p, const uint8_t* end, int is_long, char* out,
                             size_t capacity) {
    int head = is_long ? 4 : 2;
    if (!Fits(p, end, head)) {
        return nullptr;
    }
    size_t len = static_cast<size_t>(GetBe(p, head));
    p += head;
    if (!Fits(p, end, len)) {
        return nullptr;
    }
    if (out && len < capacity) {
        std::memcpy(out, p, len);
        out[len] = '\0';
    }
    return p + len;
}

const uint8_t* AMFReadDate(const uint8_t* p, const uint8_t* end, double* out, int16_t* tz) {
    if (!Fits(p, end, 10)) {
        return nullptr;
    }
    AMFReadDouble(p, end, out);
    if (tz) {
        *tz = static_cast<int16_t>(static_cast<uint16_t>(GetBe(p + 8, 2)));
    }
    return p + 10;
}

const uint8_t* amf_read_item(const uint8_t* p, const uint8_t* end, AMFDataType type,
                             amf_object_item_t* item) {
    return ReadItem(p, end, type, item, 0);
}

const uint8_t* amf_read_object(const uint8_t* p, const uint8_t* end, amf_object_item_t* items,
                               size_t count) {
    return ReadObject(p, end, items, count, 1);
}

const uint8_t* amf_read_items(const uint8_t* p, const uint8_t* end, amf_object_item_t* items,
                              size_t count) {
    if (!p || !end || p > end) {
        return nullptr;
    }
    for (size_t i = 0; i < count && p < end; ++i) {
        AMFDataType type = static_cast<AMFDataType>(*p++);
        if (type == AMF_NULL && items[i].type == AMF_OBJECT) {
            continue;
        }
        if (type != items[i].type) {
            return nullptr;
        }
        p = ReadItem(p, end, type, &items[i], 0);
        if (!p) {
            return nullptr;
        }
    }
    return p;
}

}  // namespace kestrel
