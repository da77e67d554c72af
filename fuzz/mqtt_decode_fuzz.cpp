// Every decoder on one broker packet. A decoder that accepts the bytes must
// describe exactly them: re-encoding what it read gives the packet back.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "infra/mqtt_packet.h"

namespace {

void Check(bool ok) {
    if (!ok)
        abort();
}

// The decoders also take a remaining length written with more bytes than it
// needs; the encoder writes the shortest form, so only packets in that form
// are compared byte for byte.
bool MinimalLength(const uint8_t* data, size_t size) {
    uint32_t rem = 0;
    size_t used = 0;
    if (size < 2 || mqtt_decode_remaining_length(data + 1, size - 1, &rem, &used) != 0)
        return false;
    uint8_t enc[4];
    int n = mqtt_encode_remaining_length(enc, rem);
    return n == static_cast<int>(used) && memcmp(enc, data + 1, used) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Decoders must never look past `size`: give them a heap copy so ASan
    // sees the end.
    std::vector<uint8_t> copy(data, data + size);
    const uint8_t* pkt = copy.empty() ? nullptr : copy.data();

    uint32_t value = 0;
    size_t used = 0;
    int rc = mqtt_decode_remaining_length(pkt, size, &value, &used);
    if (rc == 0) {
        Check(used >= 1 && used <= 4 && used <= size && value <= MQTT_MAX_REMAINING_LENGTH);
    }

    mqtt_packet_type(pkt, size);
    const bool minimal = MinimalLength(pkt, size);

    uint8_t sp = 0, code = 0;
    if (mqtt_deserialize_connack(pkt, size, &sp, &code) == 0)
        Check(sp <= 1 && (!minimal || size == 4));

    mqtt_publish_view_t pub;
    memset(&pub, 0, sizeof(pub));
    if (mqtt_deserialize_publish(pkt, size, &pub) == 0) {
        Check(pub.qos <= 2 && pub.topic_len > 0);
        Check(reinterpret_cast<const uint8_t*>(pub.topic) >= pkt &&
              reinterpret_cast<const uint8_t*>(pub.topic) + pub.topic_len <= pkt + size);
        Check(pub.payload >= pkt && pub.payload + pub.payload_len == pkt + size);
        if (minimal) {
            std::string topic(pub.topic, pub.topic_len);
            std::vector<uint8_t> again(size + 8);
            int n =
                mqtt_serialize_publish(again.data(), again.size(), pub.dup, pub.qos, pub.retain,
                                       pub.packet_id, topic.c_str(), pub.payload, pub.payload_len);
            Check(n == static_cast<int>(size) && memcmp(again.data(), pkt, size) == 0);
        }
    }

    uint8_t type = 0;
    uint16_t id = 0;
    if (mqtt_deserialize_ack(pkt, size, &type, &id) == 0) {
        // The encoder only writes what a client sends; UNSUBACK has the same form.
        uint8_t again[8] = {static_cast<uint8_t>(type << 4), 2, static_cast<uint8_t>(id >> 8),
                            static_cast<uint8_t>(id & 0xff)};
        if (type != MQTT_PKT_UNSUBACK)
            Check(mqtt_serialize_ack(again, sizeof(again), type, id) == 4);
        Check(!minimal || (size == 4 && memcmp(again, pkt, 4) == 0));
    }

    uint8_t granted = 0;
    if (mqtt_deserialize_suback(pkt, size, &id, &granted) == 0)
        Check((!minimal || size == 5) && (granted <= 2 || granted == 0x80));

    if (mqtt_deserialize_pingresp(pkt, size) == 0)
        Check(!minimal || size == 2);
    return 0;
}
