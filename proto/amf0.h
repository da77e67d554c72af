// AMF0 values over caller-owned buffers. Writers take (position, end, ...)
// and return the byte after what they wrote, or null (writing nothing) when
// the position is null or the value does not fit, so a message is built by
// chaining calls and checking once. Readers return the byte after the value
// or null; they never allocate and never read past `end`.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrel {

enum AMFDataType : uint8_t {
    AMF_NUMBER = 0x00,
    AMF_BOOLEAN = 0x01,
    AMF_STRING = 0x02,
    AMF_OBJECT = 0x03,
    AMF_NULL = 0x05,
    AMF_UNDEFINED = 0x06,
    AMF_ECMA_ARRAY = 0x08,
    AMF_OBJECT_END = 0x09,
    AMF_STRICT_ARRAY = 0x0A,
    AMF_DATE = 0x0B,
    AMF_LONG_STRING = 0x0C,
    AMF_TYPED_OBJECT = 0x10,
};

// Nesting of objects and arrays a reader follows before it gives up: the
// peer controls the data, and each level costs stack.
constexpr int AMF_MAX_DEPTH = 16;

uint8_t* AMFWriteNull(uint8_t* p, const uint8_t* end);
uint8_t* AMFWriteUndefined(uint8_t* p, const uint8_t* end);
uint8_t* AMFWriteObject(uint8_t* p, const uint8_t* end);
uint8_t* AMFWriteObjectEnd(uint8_t* p, const uint8_t* end);
uint8_t* AMFWriteTypedObject(uint8_t* p, const uint8_t* end);
uint8_t* AMFWriteStrictArray(uint8_t* p, const uint8_t* end, uint32_t count);
uint8_t* AMFWriteBoolean(uint8_t* p, const uint8_t* end, uint8_t b);
uint8_t* AMFWriteDouble(uint8_t* p, const uint8_t* end, double v);
// String below 0x10000 bytes, Long string from there; no NUL is written.
uint8_t* AMFWriteString(uint8_t* p, const uint8_t* end, const char* s, size_t len);
uint8_t* AMFWriteDate(uint8_t* p, const uint8_t* end, double ms, int16_t tz);
// A property name: 16-bit length and bytes, no marker.
uint8_t* AMFWriteString16(uint8_t* p, const uint8_t* end, const char* s, size_t len);
uint8_t* AMFWriteNamedBoolean(uint8_t* p, const uint8_t* end, const char* name, size_t name_len,
                              uint8_t b);
uint8_t* AMFWriteNamedDouble(uint8_t* p, const uint8_t* end, const char* name, size_t name_len,
                             double v);
uint8_t* AMFWriteNamedString(uint8_t* p, const uint8_t* end, const char* name, size_t name_len,
                             const char* s, size_t len);
uint8_t* AMFWriteNamedStrictArray(uint8_t* p, const uint8_t* end, const char* name, size_t name_len,
                                  uint32_t count);

// Value readers; the marker has been consumed. `out` may be null.
const uint8_t* AMFReadNull(const uint8_t* p, const uint8_t* end);
const uint8_t* AMFReadUndefined(const uint8_t* p, const uint8_t* end);
const uint8_t* AMFReadBoolean(const uint8_t* p, const uint8_t* end, uint8_t* out);
const uint8_t* AMFReadDouble(const uint8_t* p, const uint8_t* end, double* out);
// Copies and terminates only when the text is shorter than `capacity`; a
// longer one is skipped with `out` untouched.
const uint8_t* AMFReadString(const uint8_t* p, const uint8_t* end, int is_long, char* out,
                             size_t capacity);
const uint8_t* AMFReadDate(const uint8_t* p, const uint8_t* end, double* out, int16_t* tz);

// One expected value. `value` points to: double (Number), uint8_t
// (Boolean), char[size] (String, Long string), amf_object_item_t[size]
// (Object, ECMA array, Strict array), double followed by int16_t (Date: use
// amf_date_t).
struct amf_object_item_t {
    AMFDataType type;
    const char* name;
    void* value;
    size_t size;
};

struct amf_date_t {
    double ms;
    int16_t tz;
};

// Reads one value whose marker `type` was consumed; item may be null
// (value read and discarded). Unknown markers and nesting deeper than
// AMF_MAX_DEPTH fail.
const uint8_t* amf_read_item(const uint8_t* p, const uint8_t* end, AMFDataType type,
                             amf_object_item_t* item);
// Object properties up to and including the end marker; matched by exact
// name and type, the rest discarded.
const uint8_t* amf_read_object(const uint8_t* p, const uint8_t* end, amf_object_item_t* items,
                               size_t count);
// Top-level values in order (a command body). A Null is taken where an
// Object is expected; data ending early is a success.
const uint8_t* amf_read_items(const uint8_t* p, const uint8_t* end, amf_object_item_t* items,
                              size_t count);

}  // namespace kestrel
