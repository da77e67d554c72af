// MQTT 3.1.1 codec, topic checks and filter matching, checked against bytes
// assembled by hand from the standard's packet layouts.
#include "infra/mqtt_packet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "infra/mqtt_client.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Str(const std::string& s) {
    // Built in one pass: gcc 12 at -O2 misreads a two-element vector grown by insert().
    Bytes b(2 + s.size());
    b[0] = static_cast<uint8_t>(s.size() >> 8);
    b[1] = static_cast<uint8_t>(s.size() & 0xff);
    std::copy(s.begin(), s.end(), b.begin() + 2);
    return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(MqttPacket, RemainingLengthBoundaries) {
    struct Case {
        uint32_t value;
        Bytes bytes;
    };
    const Case cases[] = {
        {0, {0x00}},
        {127, {0x7f}},
        {128, {0x80, 0x01}},
        {16383, {0xff, 0x7f}},
        {16384, {0x80, 0x80, 0x01}},
        {2097151, {0xff, 0xff, 0x7f}},
        {2097152, {0x80, 0x80, 0x80, 0x01}},
        {268435455, {0xff, 0xff, 0xff, 0x7f}},
    };
    for (const Case& c : cases) {
        uint8_t out[4];
        int n = mqtt_encode_remaining_length(out, c.value);
        ASSERT_EQ(n, static_cast<int>(c.bytes.size())) << c.value;
        EXPECT_EQ(Bytes(out, out + n), c.bytes) << c.value;
        uint32_t v = 0;
        size_t used = 0;
        ASSERT_EQ(mqtt_decode_remaining_length(c.bytes.data(), c.bytes.size(), &v, &used), 0);
        EXPECT_EQ(v, c.value);
        EXPECT_EQ(used, c.bytes.size());
        // One byte short must ask for more rather than guess.
        EXPECT_EQ(mqtt_decode_remaining_length(c.bytes.data(), c.bytes.size() - 1, &v, &used),
                  MQTT_CODEC_BUFFER_TOO_SHORT);
    }
    uint8_t out[4];
    EXPECT_EQ(mqtt_encode_remaining_length(out, 268435456u), MQTT_CODEC_BAD_ARGUMENT);
    const uint8_t five[] = {0xff, 0xff, 0xff, 0xff, 0x01};
    uint32_t v;
    size_t used;
    EXPECT_EQ(mqtt_decode_remaining_length(five, sizeof(five), &v, &used), MQTT_CODEC_MALFORMED);
}

TEST(MqttPacket, EncodersProduceStandardBytes) {
    uint8_t buf[256];
    // CONNECT, level 4, user name + password, clean session 0, keep-alive 60.
    mqtt_connect_options_t o{4, "cid", "user", "pw", 60, 0};
    int n = mqtt_serialize_connect(buf, sizeof(buf), &o);
    Bytes body = Cat({Str("MQTT"), {0x04, 0xc0, 0x00, 60}, Str("cid"), Str("user"), Str("pw")});
    Bytes expect = Cat({{0x10, static_cast<uint8_t>(body.size())}, body});
    ASSERT_GT(n, 0);
    EXPECT_EQ(Bytes(buf, buf + n), expect);

    // 3.1 protocol name, clean session, no credentials.
    mqtt_connect_options_t o3{3, "c", nullptr, nullptr, 30, 1};
    n = mqtt_serialize_connect(buf, sizeof(buf), &o3);
    body = Cat({Str("MQIsdp"), {0x03, 0x02, 0x00, 30}, Str("c")});
    EXPECT_EQ(Bytes(buf, buf + n), Cat({{0x10, static_cast<uint8_t>(body.size())}, body}));

    // PUBLISH QoS 1, retain, packet id 0x1234.
    n = mqtt_serialize_publish(buf, sizeof(buf), 0, 1, 1, 0x1234, "/a/b", "hi", 2);
    EXPECT_EQ(Bytes(buf, buf + n), Cat({{0x33, 10}, Str("/a/b"), {0x12, 0x34, 'h', 'i'}}));
    // QoS 0 carries no packet id.
    n = mqtt_serialize_publish(buf, sizeof(buf), 0, 0, 0, 0, "/t", "x", 1);
    EXPECT_EQ(Bytes(buf, buf + n), Cat({{0x30, 5}, Str("/t"), {'x'}}));

    n = mqtt_serialize_subscribe(buf, sizeof(buf), 7, "/a/+", 1);
    EXPECT_EQ(Bytes(buf, buf + n), Cat({{0x82, 9, 0x00, 0x07}, Str("/a/+"), {0x01}}));
    n = mqtt_serialize_unsubscribe(buf, sizeof(buf), 8, "/a/#");
    EXPECT_EQ(Bytes(buf, buf + n), Cat({{0xa2, 8, 0x00, 0x08}, Str("/a/#")}));
    n = mqtt_serialize_ack(buf, sizeof(buf), MQTT_PKT_PUBACK, 0xbeef);
    EXPECT_EQ(Bytes(buf, buf + n), (Bytes{0x40, 0x02, 0xbe, 0xef}));
    n = mqtt_serialize_zero(buf, sizeof(buf), MQTT_PKT_PINGREQ);
    EXPECT_EQ(Bytes(buf, buf + n), (Bytes{0xc0, 0x00}));
    n = mqtt_serialize_zero(buf, sizeof(buf), MQTT_PKT_DISCONNECT);
    EXPECT_EQ(Bytes(buf, buf + n), (Bytes{0xe0, 0x00}));

    // Re-sent QoS 1 publications carry DUP; QoS 0 ones never do.
    n = mqtt_serialize_publish(buf, sizeof(buf), 0, 1, 0, 1, "/t", "x", 1);
    mqtt_publish_set_dup(buf);
    EXPECT_EQ(buf[0], 0x3a);
    n = mqtt_serialize_publish(buf, sizeof(buf), 0, 0, 0, 0, "/t", "x", 1);
    mqtt_publish_set_dup(buf);
    EXPECT_EQ(buf[0], 0x30);
}

TEST(MqttPacket, EncodersNeverOverrunOrAcceptBadInput) {
    uint8_t buf[16];
    std::string big(100, 'x');
    // The packet would need 2 + 2 + 4 + 100 bytes: too long for 16.
    EXPECT_EQ(mqtt_serialize_publish(buf, sizeof(buf), 0, 0, 0, 0, "/top", big.data(), big.size()),
              MQTT_CODEC_BUFFER_TOO_SHORT);
    // 2 + 2 + 2 + 5 = 11 bytes: exactly fitting is fine, one byte less is not.
    EXPECT_EQ(mqtt_serialize_publish(buf, 10, 0, 0, 0, 0, "/t", "abcde", 5),
              MQTT_CODEC_BUFFER_TOO_SHORT);
    EXPECT_EQ(mqtt_serialize_publish(buf, 11, 0, 0, 0, 0, "/t", "abcde", 5), 11);
    EXPECT_EQ(mqtt_serialize_publish(buf, sizeof(buf), 0, 1, 0, 0, "/t", "x", 1),
              MQTT_CODEC_BAD_ARGUMENT);  // QoS 1 needs a packet id
    EXPECT_EQ(mqtt_serialize_publish(buf, sizeof(buf), 0, 3, 0, 1, "/t", "x", 1),
              MQTT_CODEC_BAD_ARGUMENT);
    EXPECT_EQ(mqtt_serialize_subscribe(buf, sizeof(buf), 0, "/t", 0), MQTT_CODEC_BAD_ARGUMENT);
    mqtt_connect_options_t o{5, "c", nullptr, nullptr, 30, 0};
    EXPECT_EQ(mqtt_serialize_connect(buf, sizeof(buf), &o), MQTT_CODEC_BAD_ARGUMENT);
}

TEST(MqttPacket, DecodersAcceptValidPackets) {
    const uint8_t connack[] = {0x20, 0x02, 0x01, 0x00};
    uint8_t sp = 9, rc = 9;
    ASSERT_EQ(mqtt_deserialize_connack(connack, sizeof(connack), &sp, &rc), 0);
    EXPECT_EQ(sp, 1);
    EXPECT_EQ(rc, 0);

    Bytes pub = Cat({{0x3b, 9}, Str("/a/b"), {0x00, 0x05, 'z'}});  // dup, QoS 1, retain
    mqtt_publish_view_t v{};
    ASSERT_EQ(mqtt_deserialize_publish(pub.data(), pub.size(), &v), 0);
    EXPECT_EQ(v.dup, 1);
    EXPECT_EQ(v.qos, 1);
    EXPECT_EQ(v.retain, 1);
    EXPECT_EQ(v.packet_id, 5);
    EXPECT_EQ(std::string(v.topic, v.topic_len), "/a/b");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(v.payload), v.payload_len), "z");

    const uint8_t suback[] = {0x90, 0x03, 0x00, 0x07, 0x80};
    uint16_t id = 0;
    uint8_t g = 0;
    ASSERT_EQ(mqtt_deserialize_suback(suback, sizeof(suback), &id, &g), 0);
    EXPECT_EQ(id, 7);
    EXPECT_EQ(g, 0x80);

    const uint8_t unsuback[] = {0xb0, 0x02, 0x00, 0x09};
    uint8_t t = 0;
    ASSERT_EQ(mqtt_deserialize_ack(unsuback, sizeof(unsuback), &t, &id), 0);
    EXPECT_EQ(t, MQTT_PKT_UNSUBACK);
    EXPECT_EQ(id, 9);
    const uint8_t pingresp[] = {0xd0, 0x00};
    EXPECT_EQ(mqtt_deserialize_pingresp(pingresp, sizeof(pingresp)), 0);
}

// What a broker (or anything pretending to be one) may send must never be
// read beyond its bytes or half-accepted.
TEST(MqttPacket, DecodersRejectMalformedInput) {
    struct Case {
        const char* what;
        Bytes pkt;
    };
    const Case publish_cases[] = {
        {"QoS 3", Cat({{0x36, 6}, Str("/a"), {0x00, 0x01}})},
        {"topic longer than packet", Cat({{0x30, 4}, {0x00, 0x10, '/', 'a'}})},
        {"QoS 1 without room for id", Cat({{0x32, 4}, Str("/a")})},
        {"packet id 0", Cat({{0x32, 6}, Str("/a"), {0x00, 0x00}})},
        {"empty topic", Cat({{0x30, 2}, {0x00, 0x00}})},
        {"NUL inside topic", Cat({{0x30, 5}, Str(std::string("/a\0b", 3))})},
        {"remaining length beyond data", Cat({{0x30, 20}, Str("/a")})},
        {"trailing bytes", Cat({{0x30, 4}, Str("/a"), {'x', 'y'}})},
        {"only a header byte", {0x30}},
    };
    for (const Case& c : publish_cases) {
        mqtt_publish_view_t v{};
        EXPECT_EQ(mqtt_deserialize_publish(c.pkt.data(), c.pkt.size(), &v), MQTT_CODEC_MALFORMED)
            << c.what;
    }
    uint8_t sp, rc, t, g;
    uint16_t id;
    const Bytes connack_bad_flags = {0x20, 0x02, 0x02, 0x00};
    EXPECT_EQ(mqtt_deserialize_connack(connack_bad_flags.data(), 4, &sp, &rc),
              MQTT_CODEC_MALFORMED);
    const Bytes connack_long = {0x20, 0x03, 0x00, 0x00, 0x00};
    EXPECT_EQ(mqtt_deserialize_connack(connack_long.data(), 5, &sp, &rc), MQTT_CODEC_MALFORMED);
    const Bytes puback_flags = {0x42, 0x02, 0x00, 0x01};
    EXPECT_EQ(mqtt_deserialize_ack(puback_flags.data(), 4, &t, &id), MQTT_CODEC_MALFORMED);
    const Bytes suback_code = {0x90, 0x03, 0x00, 0x01, 0x03};
    EXPECT_EQ(mqtt_deserialize_suback(suback_code.data(), 5, &id, &g), MQTT_CODEC_MALFORMED);
    const Bytes suback_two = {0x90, 0x04, 0x00, 0x01, 0x00, 0x01};
    EXPECT_EQ(mqtt_deserialize_suback(suback_two.data(), 6, &id, &g), MQTT_CODEC_MALFORMED);
}

TEST(MqttTopic, Checks) {
    struct Case {
        const char* topic;
        int filter;
        bool ok;
    };
    const std::string max(TETHER_MQTT_TOPIC_LEN_MAX, 'a');
    const std::string too_long = "/" + max;
    const std::string at_max = "/" + max.substr(1);
    const Case cases[] = {
        {"/sys/pk/dn/thing/service/+", 1, true},
        {"/sys/pk/dn/#", 1, true},
        {"/ext/error/pk/dn", 1, true},
        {"/sys/pk/dn/a+b", 1, false},  // '+' not alone in its level
        {"/sys/pk/dn/#/x", 1, false},  // something after '#'
        {"/sys/pk/dn/x#", 1, false},
        {"sys/pk/dn", 1, false},     // must start with '/'
        {"/sys/pk/dn/+", 0, false},  // wildcards refused when publishing
        {"/sys/pk/dn/#", 0, false},
        {"/sys/pk/dn/up", 0, true},
        {"/sys/p\tk", 0, false},  // control character
        {"/sys/p\x7fk", 0, false},
        {too_long.c_str(), 0, false},
        {at_max.c_str(), 0, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(nexo_mc_check_topic(c.topic, c.filter) == 0, c.ok)
            << c.topic << " filter=" << c.filter;
    }
}

TEST(MqttTopic, FilterMatching) {
    struct Case {
        const char* filter;
        const char* topic;
        bool match;
    };
    const Case cases[] = {
        {"/sys/pk/dn/thing/service/+", "/sys/pk/dn/thing/service/Reboot", true},
        {"/sys/pk/dn/thing/service/+", "/sys/pk/dn/thing/service/property/set", false},
        {"/sys/pk/dn/vision/+/+/+/invoke", "/sys/pk/dn/vision/biz/dev/X/invoke", true},
        {"/sys/pk/dn/vision/+/+/+/invoke", "/sys/pk/dn/vision/biz/dev/invoke", false},
        {"/sys/pk/dn/#", "/sys/pk/dn/a/b/c", true},
        {"/sys/pk/dn/#", "/sys/pk/dn", true},
        {"/sys/pk/dn/#", "/sys/pk/other", false},
        {"/a/+", "/a/", true},  // an empty level is a level
        {"/a/b", "/a/bc", false},
        {"/a/b", "/a/b/c", false},
        {"/a/b/c", "/a/b", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(nexo_mc_topic_match(c.filter, c.topic, strlen(c.topic)), c.match)
            << c.filter << " vs " << c.topic;
    }
}

}  // namespace
