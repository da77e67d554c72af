// FLV file framing and the append reply's position, byte for byte.
#include <gtest/gtest.h>

#include <string>

#include "proto/flv_file.h"
#include "proto/storage_append.h"

using namespace kestrel;

TEST(FlvFile, HeaderAndTagFraming) {
    std::string out;
    flv_file_header(out, true, true);
    EXPECT_EQ(std::string("FLV\x01\x05\x00\x00\x00\x09\x00\x00\x00\x00", 13), out);
    // A timestamp past 24 bits goes to the extension byte.
    ASSERT_EQ(0, flv_append_tag(out, FLV_TAG_VIDEO, 0x01020304u, "ab", 2));
    EXPECT_EQ(std::string("\x09\x00\x00\x02\x02\x03\x04\x01\x00\x00\x00"
                          "ab\x00\x00\x00\x0d",
                          17),
              out.substr(13));
    std::string before = out;
    EXPECT_EQ(-1, flv_append_tag(out, 7, 0, "a", 1));
    EXPECT_EQ(-1, flv_append_tag(out, FLV_TAG_AUDIO, 0, nullptr, 1));
    EXPECT_EQ(-1, flv_append_tag(out, FLV_TAG_AUDIO, 0, out.data(), kFlvMaxTagBody + 1));
    EXPECT_EQ(before, out);
}

TEST(StorageAppend, QueryAndNextPosition) {
    EXPECT_EQ("append&position=0", storage_append_query(0));
    EXPECT_EQ("append&position=4096", storage_append_query(4096));
    struct Case {
        const char* text;
        int result;
        uint64_t value;
    } cases[] = {
        {"4096", 0, 4096},
        {"0", 0, 0},
        {"18446744073709551615", 0, UINT64_MAX},
        {"18446744073709551616", -1, 0},  // one past 64 bits
        {"", -1, 0},
        {"-1", -1, 0},
        {"+5", -1, 0},
        {" 5", -1, 0},
        {"5 ", -1, 0},
        {"12a", -1, 0},
        {"000000000000000000001", -1, 0},  // 21 digits
    };
    for (const Case& c : cases) {
        uint64_t v = 7;
        EXPECT_EQ(c.result, storage_parse_next_position(c.text, v)) << c.text;
        EXPECT_EQ(c.result == 0 ? c.value : 7u, v) << c.text;
    }
}
