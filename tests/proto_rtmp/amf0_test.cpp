#include "proto/amf0.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace kestrel {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(Amf0Write, StringPicksShortOrLongFormAtTheBoundary) {
    for (size_t len : {size_t{0}, size_t{65535}, size_t{65536}}) {
        std::string s(len, 'x');
        Bytes buf(len + 5);
        uint8_t* end = AMFWriteString(buf.data(), buf.data() + buf.size(), s.data(), len);
        ASSERT_NE(end, nullptr) << len;
        bool is_long = len >= 0x10000;
        EXPECT_EQ(buf[0], is_long ? AMF_LONG_STRING : AMF_STRING);
        EXPECT_EQ(static_cast<size_t>(end - buf.data()), len + (is_long ? 5 : 3));
        // One byte short of room: nothing written.
        Bytes small(len + (is_long ? 4 : 2), 0xEE);
        EXPECT_EQ(AMFWriteString(small.data(), small.data() + small.size(), s.data(), len),
                  nullptr);
        EXPECT_EQ(small[0], 0xEE);
    }
}

TEST(Amf0Write, FixedValuesAreByteExactAndRefuseShortRoom) {
    uint8_t buf[16];
    const uint8_t* e = buf + sizeof buf;
    EXPECT_EQ(Bytes(buf, AMFWriteBoolean(buf, e, 7)), (Bytes{0x01, 0x01}));
    EXPECT_EQ(Bytes(buf, AMFWriteDouble(buf, e, 1.0)), (Bytes{0x00, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Bytes(buf, AMFWriteStrictArray(buf, e, 0x01020304)), (Bytes{0x0A, 1, 2, 3, 4}));
    EXPECT_EQ(Bytes(buf, AMFWriteDate(buf, e, 0.0, -60)),
              (Bytes{0x0B, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xC4}));
    EXPECT_EQ(Bytes(buf, AMFWriteObjectEnd(buf, e)), (Bytes{0, 0, 9}));

    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(AMFWriteObjectEnd(buf, buf + 2), nullptr);
    // A named value is checked whole: the name alone fits, the value does not.
    EXPECT_EQ(AMFWriteNamedDouble(buf, buf + 12, "speed", 5, 1.0), nullptr);
    EXPECT_EQ(AMFWriteNamedString(buf, buf + 9, "code", 4, "ab", 2), nullptr);
    EXPECT_EQ(buf[0], 0xEE);
    EXPECT_EQ(buf[1], 0xEE);
    // A null position passes through a chain.
    EXPECT_EQ(AMFWriteNull(AMFWriteObjectEnd(buf, buf + 2), e), nullptr);
}

// An object with every type the reader knows, nested one level.
Bytes SampleObject() {
    Bytes b(256);
    uint8_t* p = b.data();
    const uint8_t* e = b.data() + b.size();
    p = AMFWriteObject(p, e);
    p = AMFWriteNamedString(p, e, "skip", 4, "unknown", 7);
    p = AMFWriteNamedDouble(p, e, "num", 3, 42.5);
    p = AMFWriteNamedString(p, e, "bool", 4, "not a bool", 10);  // wrong type
    p = AMFWriteNamedBoolean(p, e, "flag", 4, 1);
    p = AMFWriteNamedStrictArray(p, e, "arr", 3, 3);
    p = AMFWriteDouble(p, e, 1);
    p = AMFWriteString(p, e, "two", 3);
    p = AMFWriteDouble(p, e, 3);
    p = AMFWriteString16(p, e, "inner", 5);
    p = AMFWriteObject(p, e);
    p = AMFWriteNamedString(p, e, "text", 4, "hello", 5);
    p = AMFWriteObjectEnd(p, e);
    p = AMFWriteString16(p, e, "when", 4);
    p = AMFWriteDate(p, e, 1e12, 120);
    p = AMFWriteObjectEnd(p, e);
    b.resize(p - b.data());
    return b;
}

TEST(Amf0Read, ObjectStoresMatchesAndSkipsTheRest) {
    Bytes b = SampleObject();
    double num = 0, arr0 = 0, arr2 = -1;
    uint8_t flag = 0, bool_value = 9;
    char text[6] = "-";
    amf_date_t when{};
    amf_object_item_t arr[] = {{AMF_NUMBER, "", &arr0, 0},
                               {AMF_NUMBER, "", &arr2, 0},  // element is a String: skipped
                               {AMF_NUMBER, "", &arr2, 0}};
    amf_object_item_t inner[] = {{AMF_STRING, "text", text, sizeof text}};
    amf_object_item_t items[] = {
        {AMF_NUMBER, "num", &num, 0},    {AMF_BOOLEAN, "bool", &bool_value, 0},
        {AMF_BOOLEAN, "flag", &flag, 0}, {AMF_STRICT_ARRAY, "arr", arr, 3},
        {AMF_OBJECT, "inner", inner, 1}, {AMF_DATE, "when", &when, 0}};
    const uint8_t* end = b.data() + b.size();
    ASSERT_EQ(amf_read_object(b.data() + 1, end, items, 6), end);
    EXPECT_EQ(num, 42.5);
    EXPECT_EQ(bool_value, 9);  // name matched, type did not
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(arr0, 1);
    EXPECT_EQ(arr2, 3);
    EXPECT_STREQ(text, "hello");
    EXPECT_EQ(when.ms, 1e12);
    EXPECT_EQ(when.tz, 120);

    // A text exactly as long as the buffer needs room for the NUL: untouched.
    char tight[5] = "-";
    amf_object_item_t tight_inner[] = {{AMF_STRING, "text", tight, sizeof tight}};
    amf_object_item_t tight_items[] = {{AMF_OBJECT, "inner", tight_inner, 1}};
    ASSERT_EQ(amf_read_object(b.data() + 1, end, tight_items, 1), end);
    EXPECT_STREQ(tight, "-");

    // Every truncation fails instead of reading past the end.
    for (size_t cut = 1; cut < b.size(); ++cut) {
        EXPECT_EQ(amf_read_object(b.data() + 1, b.data() + cut, items, 6), nullptr) << cut;
    }
}

TEST(Amf0Read, ItemsFollowTheExpectedSequence) {
    uint8_t b[64];
    const uint8_t* e = b + sizeof b;
    uint8_t* p = AMFWriteString(b, e, "onStatus", 8);
    p = AMFWriteDouble(p, e, 0);
    p = AMFWriteNull(p, e);
    char name[16] = "";
    double txn = -1, speed = 7;
    amf_object_item_t obj[] = {{AMF_NUMBER, "speed", &speed, 0}};
    amf_object_item_t items[] = {{AMF_STRING, "", name, sizeof name},
                                 {AMF_NUMBER, "", &txn, 0},
                                 {AMF_OBJECT, "", obj, 1},
                                 {AMF_STRING, "", name, sizeof name}};
    // Null accepted for the object; the data ends before the last item.
    EXPECT_EQ(amf_read_items(b, p, items, 4), p);
    EXPECT_STREQ(name, "onStatus");
    EXPECT_EQ(txn, 0);
    EXPECT_EQ(speed, 7);
    // A Number where a String is expected fails.
    EXPECT_EQ(amf_read_items(b + 11, p, items, 1), nullptr);
    // Nothing to read is a success at the start.
    EXPECT_EQ(amf_read_items(b, b, items, 4), b);
}

TEST(Amf0Read, HostileInputFailsCleanly) {
    // Objects nested far beyond any real message: bounded, not a stack overflow.
    Bytes deep;
    for (int i = 0; i < 100000; ++i) {
        deep.insert(deep.end(), {0x00, 0x01, 'a', AMF_OBJECT});
    }
    EXPECT_EQ(amf_read_item(deep.data() + 4, deep.data() + deep.size(), AMF_OBJECT, nullptr),
              nullptr);
    Bytes arrays;
    for (int i = 0; i < 100000; ++i) {
        arrays.insert(arrays.end(), {AMF_STRICT_ARRAY, 0, 0, 0, 1});
    }
    EXPECT_EQ(
        amf_read_item(arrays.data() + 1, arrays.data() + arrays.size(), AMF_STRICT_ARRAY, nullptr),
        nullptr);
    // Nesting within the bound still reads.
    Bytes ok;
    for (int i = 0; i < AMF_MAX_DEPTH - 1; ++i) {
        ok.insert(ok.end(), {0x00, 0x01, 'a', AMF_OBJECT});
    }
    for (int i = 0; i < AMF_MAX_DEPTH; ++i) {
        ok.insert(ok.end(), {0, 0, AMF_OBJECT_END});
    }
    EXPECT_EQ(amf_read_object(ok.data(), ok.data() + ok.size(), nullptr, 0), ok.data() + ok.size());

    const Bytes cases[] = {
        {0x00, 0x01, 'a', 0x07, 0x00, 0x01},           // reference
        {0x00, 0x01, 'a', 0x0D},                       // unsupported
        {0x00, 0x01, 'a', AMF_TYPED_OBJECT, 0, 0, 9},  // typed object is never read
        {0x00, 0x00, 0x08},                            // wrong end marker
        {0x00, 0x01, 'a', AMF_LONG_STRING, 0xFF, 0xFF, 0xFF, 0xFF, 'x'},  // length past end
        {0x00, 0x05, 'a'},                                                // name past end
    };
    for (const Bytes& c : cases) {
        EXPECT_EQ(amf_read_object(c.data(), c.data() + c.size(), nullptr, 0), nullptr);
    }
    // A strict array claiming 4 billion elements stops at the end of the data.
    const Bytes huge = {0xFF, 0xFF, 0xFF, 0xFF, AMF_NULL, AMF_NULL};
    EXPECT_EQ(amf_read_item(huge.data(), huge.data() + huge.size(), AMF_STRICT_ARRAY, nullptr),
              huge.data() + huge.size());
}

}  // namespace
}  // namespace kestrel
