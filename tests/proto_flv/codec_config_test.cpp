// NAL splitting, parameter-set parsing and ADTS headers, on parameter sets
// taken from real encoder output (values cross-checked with ffprobe).
#include "proto/codec_config.h"

#include <gtest/gtest.h>

#include "flv_test_util.h"

using namespace kestrel;
using flvtest::Bytes;
using flvtest::Hex;
using flvtest::ToHex;

namespace {

// x264 Main 3.1, 1280x720 (the sample media); holds 00 00 03 twice.
const char kSpsMain720[] = "674d401fda014016ec0440000003004000000c83c60ca8";
// x264 High 4.0, 1920x1080 coded as 1088 with a cropping window.
const char kSpsHigh1080[] = "67640028acd940780227e5c044000003000400000300c83c60c658";
// x265 Main, level 60 (2.0), 320x240. The compatibility and constraint flags
// hold three emulation-prevention bytes before the level.
const char kVps[] = "40010c01ffff01600000030090000003000003003c959809";
const char kSps[] =
    "42010101600000030090000003000003003ca00a080f165959a4932bc05a020000030002000003003210";
const char kPps[] = "4401c172b46240";

std::vector<std::string> Split(const std::string& hex, int* result) {
    Bytes au = Hex(hex);
    std::vector<NalUnit> units;
    *result = nal_split(au.data(), au.size(), &units);
    std::vector<std::string> out;
    for (const NalUnit& u : units) {
        out.push_back(ToHex(Bytes(u.data, u.data + u.len)));
    }
    return out;
}

}  // namespace

TEST(NalSplit, UnitsAndStartCodes) {
    struct Case {
        const char* au;
        int result;
        std::vector<std::string> units;
    } cases[] = {
        {"000001 6501 000001 4102", CODEC_OK, {"6501", "4102"}},
        // A 4-byte start code must not leave its leading zero on the unit before.
        {"00000001 6701 00000001 6802 00000001 6503", CODEC_OK, {"6701", "6802", "6503"}},
        {"000001 6501 0000", CODEC_OK, {"6501"}},  // trailing stuffing
        {"ff 000001 65", CODEC_OK, {"65"}},        // bytes before the first code
        {"000001 000001 65", CODEC_OK, {"65"}},    // empty unit
        {"00000001 65 000003 01", CODEC_OK, {"6500000301"}},
        {"6501", CODEC_NO_START_CODE, {}},
        {"000001", CODEC_NO_START_CODE, {}},
        {"", CODEC_NO_START_CODE, {}},
    };
    for (const Case& c : cases) {
        int r;
        EXPECT_EQ(Split(c.au, &r), c.units) << c.au;
        EXPECT_EQ(r, c.result) << c.au;
    }
}

TEST(NalSplit, RbspDropsEmulationPrevention) {
    struct Case {
        const char* nal;
        const char* rbsp;
    } cases[] = {
        {"65 000003 01", "000001"},
        {"65 000003 03", "000003"},
        {"65 000003 000003 00", "0000000000"},
        {"65 0003 01", "000301"},  // one zero is not enough
    };
    for (const Case& c : cases) {
        Bytes nal = Hex(c.nal);
        Bytes rbsp;
        nal_to_rbsp(nal.data(), nal.size(), 1, &rbsp);
        EXPECT_EQ(ToHex(rbsp), c.rbsp) << c.nal;
    }
}

TEST(H264Sps, SizeProfileLevel) {
    struct Case {
        const char* sps;
        uint8_t profile, level;
        uint32_t width, height;
    } cases[] = {
        {kSpsMain720, 77, 31, 1280, 720},
        {kSpsHigh1080, 100, 40, 1920, 1080},
    };
    for (const Case& c : cases) {
        Bytes sps = Hex(c.sps);
        H264Sps out;
        size_t stop = 0;
        ASSERT_EQ(h264_parse_sps(sps.data(), sps.size(), &out, &stop), CODEC_OK) << c.sps;
        EXPECT_EQ(out.profile_idc, c.profile);
        EXPECT_EQ(out.level_idc, c.level);
        EXPECT_EQ(out.width, c.width);
        EXPECT_EQ(out.height, c.height);
        EXPECT_EQ(out.chroma_format_idc, 1u);
        EXPECT_EQ(out.bit_depth_luma, 8u);
        // Cut anywhere before the fields it reads end, the SPS is refused, not guessed.
        ASSERT_GT(stop, 5u);
        for (size_t n = 0; n <= stop; ++n) {
            EXPECT_NE(h264_parse_sps(sps.data(), n, &out), CODEC_OK) << n;
        }
    }
}

// High profile with a scaling list whose first delta is 2^31 - 1: refused, and (under
// the undefined-behaviour sanitizer) without a signed overflow on the way.
TEST(H264Sps, ScalingListDeltaOutOfRangeIsRefused) {
    Bytes sps = Hex("67640028ad80000000fffffffeffffffffffffffffff");
    H264Sps out;
    EXPECT_EQ(h264_parse_sps(sps.data(), sps.size(), &out), CODEC_BAD_VALUE);
}

TEST(AvcRecord, LayoutWithOneSpsAndPps) {
    Bytes sps = Hex(kSpsMain720);
    Bytes pps = Hex("68ef3c80");
    Bytes record;
    ASSERT_EQ(avc_decoder_config({sps.data(), sps.size()}, {pps.data(), pps.size()}, &record),
              CODEC_OK);
    EXPECT_EQ(ToHex(record), "014d401fffe10017" + std::string(kSpsMain720) + "01000468ef3c80");
    // A PPS of one byte cannot be a PPS; a broken SPS is refused before it is sent.
    Bytes bad_sps = Hex("674d40");
    EXPECT_NE(avc_decoder_config({sps.data(), sps.size()}, {pps.data(), 1}, &record), CODEC_OK);
    EXPECT_NE(
        avc_decoder_config({bad_sps.data(), bad_sps.size()}, {pps.data(), pps.size()}, &record),
        CODEC_OK);
}

TEST(HevcParameterSets, ReadThroughEmulationPrevention) {
    Bytes vps = Hex(kVps), sps = Hex(kSps), pps = Hex(kPps);
    HevcVps v;
    HevcSps s;
    HevcPps p;
    size_t vps_stop = 0, sps_stop = 0;
    ASSERT_EQ(h265_parse_vps(vps.data(), vps.size(), &v, &vps_stop), CODEC_OK);
    ASSERT_EQ(h265_parse_sps(sps.data(), sps.size(), &s, &sps_stop), CODEC_OK);
    ASSERT_EQ(h265_parse_pps(pps.data(), pps.size(), &p), CODEC_OK);
    // Read over the stored bytes, the level would come out as 0 and the
    // constraint flags shifted.
    for (const HevcPtl* ptl : {&v.ptl, &s.ptl}) {
        EXPECT_EQ(ptl->profile_idc, 1);
        EXPECT_EQ(ptl->level_idc, 60);
        EXPECT_EQ(ptl->compatibility, 0x60000000u);
        EXPECT_EQ(ptl->constraints, 0x900000000000ull);
    }
    EXPECT_EQ(v.max_sub_layers, 1u);
    EXPECT_EQ(s.width, 320u);
    EXPECT_EQ(s.height, 240u);
    EXPECT_EQ(s.chroma_format_idc, 1u);
    EXPECT_EQ(s.bit_depth_luma, 8u);
    EXPECT_EQ(s.bit_depth_chroma, 8u);
    EXPECT_TRUE(s.temporal_id_nesting);
    for (size_t n = 0; n <= sps_stop; ++n) {
        EXPECT_NE(h265_parse_sps(sps.data(), n, &s), CODEC_OK) << n;
    }
    for (size_t n = 0; n <= vps_stop; ++n) {
        EXPECT_NE(h265_parse_vps(vps.data(), n, &v), CODEC_OK) << n;
    }
}

TEST(HevcRecord, HeaderFieldsAndArrays) {
    Bytes vps = Hex(kVps), sps = Hex(kSps), pps = Hex(kPps);
    Bytes r;
    ASSERT_EQ(hevc_decoder_config({vps.data(), vps.size()}, {sps.data(), sps.size()},
                                  {pps.data(), pps.size()}, &r),
              CODEC_OK);
    ASSERT_EQ(r.size(), 23 + 3 * 5 + vps.size() + sps.size() + pps.size());
    EXPECT_EQ(ToHex(Bytes(r.begin(), r.begin() + 13)),
              "010160000000900000000000"
              "3c");
    EXPECT_EQ(r[13] & 0xF0, 0xF0);  // reserved bits over min_spatial_segmentation
    EXPECT_EQ(r[16], 0xFD);         // 4:2:0
    EXPECT_EQ(r[17], 0xF8);         // 8-bit luma
    EXPECT_EQ(r[18], 0xF8);         // 8-bit chroma
    EXPECT_EQ(r[21], 0x0F);         // one layer, nested, 4-byte lengths
    EXPECT_EQ(r[22], 3);            // three arrays
    EXPECT_EQ(ToHex(Bytes(r.begin() + 23, r.begin() + 28)), "2000010018");  // VPS, 1 unit, 24 bytes
    EXPECT_EQ(Bytes(r.begin() + 28, r.begin() + 28 + vps.size()), vps);
    Bytes short_sps(sps.begin(), sps.begin() + 10);
    EXPECT_EQ(hevc_decoder_config({vps.data(), vps.size()}, {short_sps.data(), short_sps.size()},
                                  {pps.data(), pps.size()}, &r),
              CODEC_TRUNCATED);
}

namespace {

Bytes Adts(bool crc, int object_type, int index, int channels, size_t payload, int frame_len = -1) {
    size_t header = crc ? 9 : 7;
    size_t len = frame_len >= 0 ? static_cast<size_t>(frame_len) : header + payload;
    Bytes b = {0xFF,
               static_cast<uint8_t>(crc ? 0xF0 : 0xF1),
               static_cast<uint8_t>((object_type - 1) << 6 | index << 2 | channels >> 2),
               static_cast<uint8_t>((channels & 3) << 6 | ((len >> 11) & 3)),
               static_cast<uint8_t>(len >> 3),
               static_cast<uint8_t>((len & 7) << 5 | 0x1F),
               0xFC};
    // push_back rather than an initializer-list insert: gcc 12 at -O2
    // reports a false out-of-bounds copy for the latter.
    if (crc) {
        b.push_back(0x12);
        b.push_back(0x34);
    }
    b.resize(b.size() + payload, 0x5A);
    return b;
}

}  // namespace

TEST(Adts, HeaderFields) {
    struct Case {
        const char* name;
        Bytes frame;
        int result;
        uint32_t header_len;
        uint8_t index, channels;
    } cases[] = {
        {"mono 16k", Adts(false, 2, 8, 1, 20), CODEC_OK, 7, 8, 1},
        {"stereo 44.1k with CRC", Adts(true, 2, 4, 2, 20), CODEC_OK, 9, 4, 2},
        {"5.1 48k", Adts(false, 2, 3, 6, 20), CODEC_OK, 7, 3, 6},
        {"reserved rate", Adts(false, 2, 13, 1, 20), CODEC_BAD_VALUE, 0, 0, 0},
        {"longer than the buffer", Adts(false, 2, 8, 1, 20, 40), CODEC_TRUNCATED, 0, 0, 0},
        {"two frames in one", Adts(false, 2, 8, 1, 20, 17), CODEC_UNSUPPORTED, 0, 0, 0},
        {"length below header", Adts(true, 2, 8, 1, 20, 8), CODEC_BAD_VALUE, 0, 0, 0},
        {"no sync", Hex("fff0"), CODEC_TRUNCATED, 0, 0, 0},
        {"raw frame", Hex("21100503a0"), CODEC_NOT_ADTS, 0, 0, 0},
        {"header cut", Hex("fff1504080"), CODEC_TRUNCATED, 0, 0, 0},
    };
    for (const Case& c : cases) {
        AdtsHeader h;
        size_t stop = 99;
        EXPECT_EQ(adts_parse(c.frame.data(), c.frame.size(), &h, &stop), c.result) << c.name;
        if (c.result == CODEC_OK) {
            EXPECT_EQ(h.header_len, c.header_len) << c.name;
            EXPECT_EQ(stop, c.header_len) << c.name;
            EXPECT_EQ(h.sampling_index, c.index) << c.name;
            EXPECT_EQ(h.channel_config, c.channels) << c.name;
            EXPECT_EQ(h.object_type, 2) << c.name;
            EXPECT_EQ(h.frame_len, c.frame.size()) << c.name;
        }
    }
}
