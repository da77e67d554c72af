// FLV bodies byte for byte on small fixtures: what goes out for each kind of
// frame, what is refused, and what the encryption does.
#include "proto/flv_mux.h"

#include <gtest/gtest.h>
#include <mbedtls/aes.h>

#include <filesystem>

#include "flv_test_util.h"
#include "proto/codec_config.h"

using namespace kestrel;
using flvtest::Body;
using flvtest::Bytes;
using flvtest::Capture;
using flvtest::Cat;
using flvtest::Hex;
using flvtest::ToHex;

namespace {

const Bytes kSc4 = {0, 0, 0, 1};
const Bytes kSc3 = {0, 0, 1};
const Bytes kSps = Hex("674d401fda014016ec0440000003004000000c83c60ca8");
const Bytes kPps = Hex("68ef3c80");
const Bytes kIdr = Hex("65888427d4fe");
const Bytes kIdr2 = Hex("6500443322");
const Bytes kP = Hex("419a0011");
const Bytes kAud = Hex("0910");
const Bytes kSei = Hex("0605ff0102030480");  // an ordinary SEI, not the camera's

const Bytes kHVps = Hex("40010c01ffff01600000030090000003000003003c959809");
const Bytes kHSps =
    Hex("42010101600000030090000003000003003ca00a080f165959a4932bc05a020000030002000003003210");
const Bytes kHPps = Hex("4401c172b46240");
const Bytes kHIdr = Hex("2801af1d20bc");
const Bytes kHIdr2 = Hex("2801117701");
const Bytes kHTrail = Hex("0201d0097e10");

// 16 bytes each: "0123456789abcdef" and "fedcba9876543210".
const char kKeyB64[] = "MDEyMzQ1Njc4OWFiY2RlZg==";
const char kIvB64[] = "ZmVkY2JhOTg3NjU0MzIxMA==";
const char kKeyHex[] = "30313233343536373839616263646566";
const char kIvHex[] = "66656463626139383736353433323130";

Bytes Au(std::initializer_list<Bytes> units) {
    Bytes out;
    for (const Bytes& u : units) {
        out.insert(out.end(), kSc4.begin(), kSc4.end());
        out.insert(out.end(), u.begin(), u.end());
    }
    return out;
}

Bytes Len(size_t n) {
    return {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
            static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
}

Bytes Unit(const Bytes& u) {
    return Cat({Len(u.size()), u});
}

Bytes AvcRecord() {
    return Cat(
        {Hex("014d401fffe1"), {0, static_cast<uint8_t>(kSps.size())}, kSps, Hex("010004"), kPps});
}

MediaKey TestKey() {
    MediaKey k;
    EXPECT_EQ(media_key_from_base64(kKeyB64, kIvB64, &k), CRYPTO_OK);
    return k;
}

Bytes Decrypt(const Bytes& b, size_t from) {
    Bytes clear;
    EXPECT_EQ(media_decrypt(TestKey(), b.data() + from, b.size() - from, &clear), CRYPTO_OK);
    return Cat({Bytes(b.begin(), b.begin() + from), clear});
}

// Raw CBC with no padding, to make ciphertexts whose padding is wrong.
Bytes RawCbc(const Bytes& plain) {
    MediaKey k = TestKey();
    mbedtls_aes_context ctx;
    mbedtls_aes_init(&ctx);
    mbedtls_aes_setkey_enc(&ctx, k.key, 128);
    Bytes out(plain.size());
    mbedtls_aes_crypt_cbc(&ctx, MBEDTLS_AES_ENCRYPT, plain.size(), k.iv, plain.data(), out.data());
    mbedtls_aes_free(&ctx);
    return out;
}

}  // namespace

TEST(FlvMux, FirstKeyFrameSendsMetadataSequenceHeaderAndFrame) {
    Capture c;
    c.mux.SetMetadata(24);
    ASSERT_EQ(c.Video(0, true, Au({kSps, kPps, kIdr}), 40), FLV_OK);
    ASSERT_EQ(c.bodies.size(), 3u);
    EXPECT_EQ(c.bodies[0].type, FlvMux::DATA_SCRIPT);
    EXPECT_EQ(ToHex(c.bodies[0].data),
              "02000a6f6e4d65746144617461"  // "onMetaData"
              "03"
              "00086475726174696f6e"
              "004038000000000000"  // {duration: 24}
              "000009");
    EXPECT_EQ(c.bodies[0].timestamp, 0u);
    EXPECT_EQ(c.bodies[1].data, Cat({Hex("1700000000"), AvcRecord()}));
    EXPECT_EQ(c.bodies[1].timestamp, 40u);
    EXPECT_EQ(c.bodies[2].data, Cat({Hex("1701000000"), Unit(kIdr)}));
    EXPECT_EQ(c.bodies[2].timestamp, 40u);

    // Same parameter sets: no new sequence header. A P-frame is labelled inter.
    c.bodies.clear();
    ASSERT_EQ(c.Video(0, true, Au({kSps, kPps, kIdr}), 80), FLV_OK);
    ASSERT_EQ(c.Video(0, false, Au({kP}), 120), FLV_OK);
    ASSERT_EQ(c.bodies.size(), 2u);
    EXPECT_EQ(c.bodies[1].data, Cat({Hex("2701000000"), Unit(kP)}));

    // A changed SPS sends its record again before the frame.
    c.bodies.clear();
    Bytes sps2 = kSps;
    sps2[3] = 0x28;  // level 4.0
    ASSERT_EQ(c.Video(0, true, Au({sps2, kPps, kIdr}), 160), FLV_OK);
    ASSERT_EQ(c.bodies.size(), 2u);
    EXPECT_EQ(c.bodies[0].data[1], 0);
    EXPECT_EQ(c.bodies[0].data[8], 0x28);
}

TEST(FlvMux, InterFrameBeforeAnyKeyFrameWaits) {
    Capture c;
    EXPECT_EQ(c.Video(0, false, Au({kP})), FLV_WAIT_KEY_FRAME);
    ASSERT_EQ(c.bodies.size(), 1u);
    EXPECT_EQ(c.bodies[0].type, FlvMux::DATA_SCRIPT);
    // A key frame without parameter sets has nothing to start a decoder with.
    EXPECT_EQ(c.Video(0, true, Au({kIdr})), FLV_NO_SEQUENCE_HEADER);
    EXPECT_EQ(c.Video(0, true, Au({kSps, kPps})), FLV_VIDEO_PARSE_FAILED);
    EXPECT_EQ(c.Video(0, true, Hex("65010203")), FLV_VIDEO_PARSE_FAILED);
    EXPECT_EQ(c.mux.LastDetail(), -1);  // no start code
    EXPECT_EQ(c.Video(2, true, Au({kSps, kPps, kIdr})), FLV_BAD_VIDEO_FORMAT);
    EXPECT_EQ(c.bodies.size(), 1u);
}

// Everything a picture carries reaches the frame body, each unit under its own
// length, whatever the start codes and however many units precede it.
TEST(FlvMux, FrameBodyCarriesEverySlice) {
    Bytes many;
    for (int i = 0; i < 11; ++i) {
        many = Cat({many, kSc4, kSei});
    }
    struct Case {
        const char* name;
        int format;
        Bytes au;
        Bytes nal_data;  // frame body after its 5 header bytes
    } cases[] = {
        {"two slices", 0, Au({kAud, kSps, kPps, kIdr, kIdr2}), Cat({Unit(kIdr), Unit(kIdr2)})},
        {"3-byte codes", 0, Cat({kSc3, kSps, kSc3, kPps, kSc3, kIdr, kSc3, kIdr2}),
         Cat({Unit(kIdr), Unit(kIdr2)})},
        {"more than ten units", 0, Cat({Au({kSps, kPps}), many, Au({kIdr, kIdr2})}),
         Cat({Unit(kIdr), Unit(kIdr2)})},
        {"trailing zeros", 0, Cat({Au({kSps, kPps, kIdr}), {0, 0}}), Unit(kIdr)},
        {"h265 two slices", 1, Au({kHVps, kHSps, kHPps, kHIdr, kHIdr2}),
         Cat({Unit(kHIdr), Unit(kHIdr2)})},
    };
    for (const Case& c : cases) {
        Capture cap;
        ASSERT_EQ(cap.Video(c.format, true, c.au), FLV_OK) << c.name;
        ASSERT_EQ(cap.bodies.size(), 3u) << c.name;
        const Bytes& frame = cap.bodies[2].data;
        EXPECT_EQ(frame[0], c.format == 1 ? 0x1C : 0x17) << c.name;
        EXPECT_EQ(Bytes(frame.begin() + 5, frame.end()), c.nal_data) << c.name;
        if (c.format == 0) {
            EXPECT_EQ(cap.bodies[1].data, Cat({Hex("1700000000"), AvcRecord()})) << c.name;
        }
    }
}

// The camera's tagged SEI rides in front of the first slice, joined to it by a
// start code under one length; other SEI stay out.
TEST(FlvMux, PrivateSeiJoinsTheFirstSlice) {
    const Bytes sei_qz = Hex("06515a515a0102030480");
    const Bytes sei_73 = Hex("06373335310102030480");
    // The tag is looked for right after the first header byte for both codecs.
    const Bytes hsei = Hex("4e01515a515a01020380");
    for (const Bytes& sei : {sei_qz, sei_73}) {
        Capture c;
        ASSERT_EQ(c.Video(0, true, Au({kSps, kPps, kSei, sei, kIdr, kIdr2})), FLV_OK);
        const Bytes& frame = c.bodies[2].data;
        EXPECT_EQ(Bytes(frame.begin() + 5, frame.end()),
                  Cat({Len(sei.size() + 3 + kIdr.size()), sei, kSc3, kIdr, Unit(kIdr2)}))
            << ToHex(sei);
    }
    // Too short to carry the tag, and an untagged H.265 SEI: left out.
    Capture c;
    ASSERT_EQ(c.Video(0, true, Au({kSps, kPps, Hex("06515a515a01"), kIdr})), FLV_OK);
    EXPECT_EQ(c.bodies[2].data, Cat({Hex("1701000000"), Unit(kIdr)}));
    Capture h;
    ASSERT_EQ(h.Video(1, true, Au({kHVps, kHSps, kHPps, hsei, kHIdr})), FLV_OK);
    EXPECT_EQ(h.bodies[2].data, Cat({Hex("1c01000000"), Unit(kHIdr)}));
}

TEST(FlvMux, CodecSwitchWaitsForTheNewCodecsKeyFrame) {
    Capture c;
    ASSERT_EQ(c.Video(0, true, Au({kSps, kPps, kIdr})), FLV_OK);
    c.bodies.clear();
    EXPECT_EQ(c.Video(1, false, Au({kHTrail})), FLV_WAIT_KEY_FRAME);
    EXPECT_EQ(c.status_calls, 1);
    // The H.264 record must not go out labelled H.265.
    EXPECT_EQ(c.Video(1, true, Au({kHIdr})), FLV_NO_SEQUENCE_HEADER);
    ASSERT_EQ(c.Video(1, true, Au({kHVps, kHSps, kHPps, kHIdr})), FLV_OK);
    EXPECT_EQ(c.status_calls, 1);
    ASSERT_EQ(c.bodies.size(), 2u);
    EXPECT_EQ(ToHex(Bytes(c.bodies[0].data.begin(), c.bodies[0].data.begin() + 6)), "1c0000000001");
    ASSERT_EQ(c.Video(1, false, Au({kHTrail})), FLV_OK);
    EXPECT_EQ(c.bodies.back().data, Cat({Hex("2c01000000"), Unit(kHTrail)}));
}

TEST(FlvMux, RefusedBodyIsReportedAndTheHeaderResent) {
    Capture c;
    c.refuse_from = 1;  // metadata taken, sequence header refused
    EXPECT_EQ(c.Video(0, true, Au({kSps, kPps, kIdr})), FLV_HANDLER_FAILED);
    c.refuse_from = -1;
    ASSERT_EQ(c.Video(0, true, Au({kSps, kPps, kIdr})), FLV_OK);
    ASSERT_EQ(c.bodies.size(), 3u);
    EXPECT_EQ(c.bodies[1].data[1], 0);

    Capture m;
    m.refuse_from = 0;
    EXPECT_EQ(m.Video(0, true, Au({kSps, kPps, kIdr})), FLV_METADATA_FAILED);
}

TEST(FlvMux, AudioBodies) {
    const Bytes raw = Hex("21100503a0");
    const Bytes adts =
        Hex("fff16040"
            "01bffc");  // mono 16 kHz, frame of 13 bytes
    const Bytes adts_frame = Cat({adts, Hex("010203040506")});
    // CRC present, stereo 44.1 kHz: the 9-byte header goes, not 7.
    const Bytes adts_crc =
        Hex("fff05080"
            "01bffc"
            "1234"
            "0a0b0c0d");
    struct Case {
        const char* name;
        AudioFormat format;
        AudioChannel channel;
        AudioAdditionalRate rate;
        Bytes frame;
        Bytes sequence;  // empty: none expected
        Bytes body;
    } cases[] = {
        {"raw AAC from the settings", AUDIO_FORMAT_AAC, AUDIO_CHANNEL_MONO, AUDIO_ADD_RATE_8000,
         raw, Hex("ae00158856e500"), Cat({Hex("ae01"), raw})},
        {"raw AAC stereo", AUDIO_FORMAT_AAC, AUDIO_CHANNEL_STEREO, AUDIO_ADD_RATE_16000, raw,
         Hex("af00141056e500"), Cat({Hex("af01"), raw})},
        {"ADTS without CRC", AUDIO_FORMAT_AAC, AUDIO_CHANNEL_MONO, AUDIO_ADD_RATE_8000, adts_frame,
         Hex("ae00140856e500"), Hex("ae01010203040506")},
        {"ADTS with CRC, stereo", AUDIO_FORMAT_AAC, AUDIO_CHANNEL_MONO, AUDIO_ADD_RATE_8000,
         adts_crc, Hex("ae00121056e500"), Hex("ae010a0b0c0d")},
        {"7 bytes that look like ADTS", AUDIO_FORMAT_AAC, AUDIO_CHANNEL_MONO, AUDIO_ADD_RATE_8000,
         Hex("fff15040010000"), Hex("ae00158856e500"), Hex("ae01fff15040010000")},
        {"G.711 A-law", AUDIO_FORMAT_G711A, AUDIO_CHANNEL_MONO, AUDIO_ADD_RATE_8000, Hex("d5d4d5"),
         Hex("7e00b000"), Hex("7e01d5d4d5")},
        {"G.711 mu-law", AUDIO_FORMAT_G711U, AUDIO_CHANNEL_MONO, AUDIO_ADD_RATE_8000, Hex("ff7f"),
         Hex("8e00b000"), Hex("8e01ff7f")},
    };
    for (const Case& c : cases) {
        Capture cap;
        ASSERT_EQ(cap.mux.SetAudioCodec(c.format, AUDIO_BIT_16, c.channel, AUDIO_RATE_44K, c.rate),
                  FLV_OK);
        ASSERT_EQ(cap.Audio(c.frame, 64), FLV_OK) << c.name;
        ASSERT_EQ(cap.Audio(c.frame, 128), FLV_OK) << c.name;
        ASSERT_EQ(cap.bodies.size(), 4u) << c.name;  // metadata, sequence, two frames
        EXPECT_EQ(ToHex(cap.bodies[1].data), ToHex(c.sequence)) << c.name;
        EXPECT_EQ(ToHex(cap.bodies[2].data), ToHex(c.body)) << c.name;
        EXPECT_EQ(cap.bodies[3].timestamp, 128u) << c.name;
    }
}

TEST(FlvMux, AudioRefusals) {
    EXPECT_EQ(flv_audio_format(0), -1);  // PCM has no label the cloud plays
    EXPECT_EQ(flv_audio_format(1), AUDIO_FORMAT_G711A);
    EXPECT_EQ(flv_audio_format(2), AUDIO_FORMAT_AAC);
    EXPECT_EQ(flv_audio_format(3), AUDIO_FORMAT_G711U);
    EXPECT_EQ(flv_audio_format(4), -1);

    Capture c;
    EXPECT_EQ(c.Audio(Hex("d5d5")), FLV_NO_AUDIO_CODEC);
    ASSERT_EQ(c.mux.SetAudioCodec(AUDIO_FORMAT_AAC, AUDIO_BIT_16, AUDIO_CHANNEL_MONO,
                                  AUDIO_RATE_44K, AUDIO_ADD_RATE_16000),
              FLV_OK);
    // PCM (FLV format 0 or 3) after a valid codec leaves no codec set at all.
    EXPECT_EQ(c.mux.SetAudioCodec(static_cast<AudioFormat>(0), AUDIO_BIT_16, AUDIO_CHANNEL_MONO,
                                  AUDIO_RATE_44K, AUDIO_ADD_RATE_16000),
              FLV_BAD_AUDIO_CODEC);
    EXPECT_EQ(c.Audio(Hex("d5d5")), FLV_NO_AUDIO_CODEC);
    EXPECT_EQ(c.mux.SetAudioCodec(AUDIO_FORMAT_AAC, AUDIO_BIT_16, AUDIO_CHANNEL_MONO,
                                  AUDIO_RATE_44K, static_cast<AudioAdditionalRate>(13)),
              FLV_BAD_AUDIO_CODEC);
    ASSERT_EQ(c.mux.SetAudioCodec(AUDIO_FORMAT_AAC, AUDIO_BIT_16, AUDIO_CHANNEL_MONO,
                                  AUDIO_RATE_44K, AUDIO_ADD_RATE_16000),
              FLV_OK);
    EXPECT_EQ(c.Audio(Bytes()), FLV_AUDIO_PARSE_FAILED);
    EXPECT_EQ(c.Audio(Hex("fff15040ffffffff")), FLV_AUDIO_PARSE_FAILED);  // says 2047 bytes
    EXPECT_EQ(c.bodies.size(), 1u);                                       // metadata only
}

TEST(FlvMux, StatusBodies) {
    Capture c;
    ASSERT_EQ(c.mux.SendScript(FlvMux::SCRIPT_VOD_COMPLETE), FLV_OK);
    ASSERT_EQ(c.mux.SendScript(FlvMux::SCRIPT_PRE_COMPLETE), FLV_OK);
    ASSERT_EQ(c.bodies.size(), 2u);
    EXPECT_EQ(c.bodies[0].type, FlvMux::DATA_STATUS);
    EXPECT_EQ(c.bodies[0].data, Hex("0200086f6e537461747573"
                                    "000000000000000000"
                                    "05"
                                    "03"
                                    "00056c6576656c"
                                    "0200067374617475 73"
                                    "0004636f6465"
                                    "0200164e657453747265616d2e566f642e436f6d706c657465"
                                    "000b6465736372697074696f6e"
                                    "02000464657363"
                                    "000009"));
    std::string pre = ToHex(c.bodies[1].data);
    EXPECT_NE(pre.find(ToHex(Bytes({'P', 'r', 'e', '.'}))), std::string::npos);
}

TEST(FlvMux, EncryptionKeysMustBeSixteenBytes) {
    struct Case {
        const char* name;
        const char* key;
        const char* iv;
        int result;
        int detail;
    } cases[] = {
        {"none", "", "", FLV_OK, 0},
        {"both valid", kKeyB64, kIvB64, FLV_OK, 0},
        {"short key", "MDEyMzQ1Njc4OWFiY2Rl", kIvB64, FLV_BAD_ENCRYPTION, CRYPTO_BAD_KEY},
        {"long key", "MDEyMzQ1Njc4OWFiY2RlZjA=", kIvB64, FLV_BAD_ENCRYPTION, CRYPTO_BAD_KEY},
        {"32-byte iv", kKeyB64, "MDEyMzQ1Njc4OWFiY2RlZjAxMjM0NTY3ODlhYmNkZWY=", FLV_BAD_ENCRYPTION,
         CRYPTO_BAD_IV},
        {"not base64", "@@@@@@@@@@@@@@@@@@@@@@@@", kIvB64, FLV_BAD_ENCRYPTION, CRYPTO_BAD_KEY},
        {"key without iv", kKeyB64, "", FLV_BAD_ENCRYPTION, CRYPTO_BAD_IV},
    };
    for (const Case& c : cases) {
        Capture cap;
        EXPECT_EQ(cap.mux.SetEncryption(c.key, c.iv), c.result) << c.name;
        EXPECT_EQ(cap.mux.LastDetail(), c.detail) << c.name;
        bool on = c.result == FLV_OK && c.key[0];
        EXPECT_EQ(cap.mux.Encrypted(), on) << c.name;
        EXPECT_EQ(cap.mux.GetKey() != nullptr, on) << c.name;
        if (c.result != FLV_OK) {
            // Media asked to be encrypted never goes out in clear.
            EXPECT_EQ(cap.Video(0, true, Au({kSps, kPps, kIdr})), FLV_ENCRYPTION_REFUSED);
            EXPECT_EQ(cap.mux.SendScript(FlvMux::SCRIPT_PRE_COMPLETE), FLV_ENCRYPTION_REFUSED);
            EXPECT_TRUE(cap.bodies.empty()) << c.name;
            ASSERT_EQ(cap.mux.SetEncryption("", ""), FLV_OK);
            EXPECT_EQ(cap.Video(0, true, Au({kSps, kPps, kIdr})), FLV_OK) << c.name;
        }
    }
}

TEST(FlvMux, EncryptedBodies) {
    Capture c;
    ASSERT_EQ(c.mux.SetEncryption(kKeyB64, kIvB64), FLV_OK);
    EXPECT_EQ(ToHex(Bytes(c.mux.GetKey(), c.mux.GetKey() + 16)), kKeyHex);
    ASSERT_EQ(c.mux.SetAudioCodec(AUDIO_FORMAT_G711A, AUDIO_BIT_16, AUDIO_CHANNEL_MONO,
                                  AUDIO_RATE_44K, AUDIO_ADD_RATE_8000),
              FLV_OK);
    Bytes idr30 = Cat({Hex("65"), Bytes(29, 0x77)});
    ASSERT_EQ(c.Video(0, true, Au({kSps, kPps, idr30})), FLV_OK);
    ASSERT_EQ(c.Video(0, false, Au({kP})), FLV_OK);
    ASSERT_EQ(c.Audio(Hex("d5d4d5")), FLV_OK);
    ASSERT_EQ(c.bodies.size(), 6u);
    EXPECT_EQ(c.bodies[0].data[0], 0x02);  // metadata in clear
    // Sequence header: 5 clear bytes, the record encrypted.
    const Bytes& seq = c.bodies[1].data;
    EXPECT_EQ(ToHex(Bytes(seq.begin(), seq.begin() + 5)), "1700000000");
    EXPECT_EQ(Decrypt(seq, 5), Cat({Hex("1700000000"), AvcRecord()}));
    // Key frame: 4-byte length + 30 bytes padded to 48.
    const Bytes& key = c.bodies[2].data;
    ASSERT_EQ(key.size(), 5u + 48);
    EXPECT_EQ(Decrypt(key, 5), Cat({Hex("1701000000"), Unit(idr30)}));
    EXPECT_EQ(c.bodies[3].data, Cat({Hex("2701000000"), Unit(kP)}));  // inter frames in clear
    EXPECT_EQ(Decrypt(c.bodies[4].data, 0), Hex("7e00b000"));         // whole audio bodies
    EXPECT_EQ(Decrypt(c.bodies[5].data, 0), Hex("7e01d5d4d5"));

    // An independent AES: openssl decrypts each body to the clear one.
    std::string dir = flvtest::TempDir("aes");
    ASSERT_FALSE(dir.empty());
    Bytes tail(key.begin() + 5, key.end());
    ASSERT_TRUE(flvtest::WriteFile(dir + "/key.bin", tail));
    std::string out;
    int rc = flvtest::Run(std::string("openssl enc -d -aes-128-cbc -K ") + kKeyHex + " -iv " +
                              kIvHex + " -in " + dir + "/key.bin -out " + dir + "/clear.bin",
                          &out);
    ASSERT_EQ(rc, 0) << out;
    Bytes clear;
    ASSERT_TRUE(flvtest::ReadFile(dir + "/clear.bin", &clear));
    EXPECT_EQ(clear, Unit(idr30));
    std::filesystem::remove_all(dir);
}

TEST(ReceivedAudio, ClearBodies) {
    struct Case {
        const char* body;
        int result;
        int type, format, bit, channel, rate;
        const char* data;
    } cases[] = {
        {"7200b000", FLV_OK, 0, 7, 1, 0, 11, "b000"},
        {"8301b000", FLV_OK, 1, 0, 0, 0, 0, "b000"},
        {"7e01d5d4d5", FLV_OK, 1, 0, 0, 0, 0, "d5d4d5"},
        {"a201d5d4d5", FLV_OK, 1, 0, 0, 0, 0, "d5d4d5"},            // AAC data
        {"af001210", FLV_OK, 0, 10, 1, 1, 4, "1210"},               // AAC LC, 44.1 kHz, stereo
        {"af000010", FLV_AUDIO_PARSE_FAILED, 0, 0, 0, 0, 0, ""},    // AAC object type 0
        {"af001238", FLV_AUDIO_PARSE_FAILED, 0, 0, 0, 0, 0, ""},    // AAC with 7 channels
        {"7202d5d4d5", FLV_AUDIO_PARSE_FAILED, 0, 0, 0, 0, 0, ""},  // unknown packet type
        {"7200d000", FLV_AUDIO_PARSE_FAILED, 0, 0, 0, 0, 0, ""},    // rate index 13
        {"7201d5", FLV_AUDIO_PARSE_FAILED, 0, 0, 0, 0, 0, ""},      // too short
        {"", FLV_AUDIO_PARSE_FAILED, 0, 0, 0, 0, 0, ""},
    };
    for (const Case& c : cases) {
        FlvTagBodyAudioDataParse p;
        Bytes body = Hex(c.body);
        ASSERT_EQ(
            p.AddData(reinterpret_cast<const char*>(body.data()), body.size(), nullptr, nullptr),
            c.result)
            << c.body;
        if (c.result != FLV_OK) {
            continue;
        }
        EXPECT_EQ(p.GetType(), c.type) << c.body;
        EXPECT_EQ(ToHex(Bytes(p.GetData(), p.GetData() + p.GetLen())), c.data) << c.body;
        if (c.type == 0) {
            EXPECT_EQ(p.GetFormat(), c.format);
            EXPECT_EQ(p.GetBit(), c.bit);
            EXPECT_EQ(p.GetChannel(), c.channel);
            EXPECT_EQ(p.GetAddRate(), c.rate);
        }
    }
}

TEST(ReceivedAudio, EncryptedBodiesAreCheckedBeforeUse) {
    MediaKey k = TestKey();
    Bytes good = Hex("7201d5d4d5");
    ASSERT_EQ(media_encrypt(k, &good, 0), CRYPTO_OK);
    Bytes block(16, 0x7e);
    struct Case {
        const char* name;
        Bytes cipher;
        int detail;
    } cases[] = {
        {"valid", good, 0},
        {"empty", Bytes(), CRYPTO_BAD_LENGTH},
        {"15 bytes", Bytes(15, 1), CRYPTO_BAD_LENGTH},
        {"17 bytes", Bytes(17, 1), CRYPTO_BAD_LENGTH},
        {"pad 0", RawCbc(Cat({Bytes(15, 0x72), {0}})), CRYPTO_BAD_PADDING},
        {"pad 17", RawCbc(Cat({Bytes(15, 0x72), {17}})), CRYPTO_BAD_PADDING},
        {"pad bytes differ", RawCbc(Cat({Bytes(13, 0x72), {3, 2, 3}})), CRYPTO_BAD_PADDING},
        {"pad larger than body", RawCbc(Cat({Bytes(15, 0x20), {0x20}})), CRYPTO_BAD_PADDING},
        {"16 bytes of padding only", RawCbc(Bytes(16, 16)), CODEC_TRUNCATED},
    };
    for (const Case& c : cases) {
        FlvTagBodyAudioDataParse p;
        int r =
            p.AddData(reinterpret_cast<const char*>(c.cipher.data()), c.cipher.size(), k.key, k.iv);
        EXPECT_EQ(r, c.detail == 0 ? FLV_OK : FLV_AUDIO_PARSE_FAILED) << c.name;
        EXPECT_EQ(p.LastDetail(), c.detail) << c.name;
        if (r == FLV_OK) {
            EXPECT_EQ(ToHex(Bytes(p.GetData(), p.GetData() + p.GetLen())), "d5d4d5");
        }
    }
}
