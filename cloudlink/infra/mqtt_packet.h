// MQTT 3.1.1 control packets: encoding of what the client sends and strict
// decoding of what the broker sends. Pure functions over caller buffers; no
// allocation, no I/O, so the client can hold its buffer locks around them.
#pragma once

#include <cstddef>
#include <cstdint>

enum mqtt_packet_type_e {
    MQTT_PKT_CONNECT = 1,
    MQTT_PKT_CONNACK = 2,
    MQTT_PKT_PUBLISH = 3,
    MQTT_PKT_PUBACK = 4,
    MQTT_PKT_PUBREC = 5,
    MQTT_PKT_PUBREL = 6,
    MQTT_PKT_PUBCOMP = 7,
    MQTT_PKT_SUBSCRIBE = 8,
    MQTT_PKT_SUBACK = 9,
    MQTT_PKT_UNSUBSCRIBE = 10,
    MQTT_PKT_UNSUBACK = 11,
    MQTT_PKT_PINGREQ = 12,
    MQTT_PKT_PINGRESP = 13,
    MQTT_PKT_DISCONNECT = 14,
};

// Result codes of the codec. Encoders return the packet length (> 0) or one
// of these; decoders return 0 or one of these.
enum {
    MQTT_CODEC_BUFFER_TOO_SHORT = -1,  // output buffer cannot hold the packet
    MQTT_CODEC_MALFORMED = -2,         // input violates the protocol
    MQTT_CODEC_BAD_ARGUMENT = -3,      // caller passed an unusable value
};

// The largest value the four-byte remaining length can carry.
constexpr uint32_t MQTT_MAX_REMAINING_LENGTH = 268435455u;

struct mqtt_connect_options_t {
    uint8_t version;  // 4 = 3.1.1 ("MQTT"), 3 = 3.1 ("MQIsdp")
    const char* client_id;
    const char* username;  // may be null
    const char* password;  // may be null; only sent with a user name
    uint16_t keepalive_s;
    uint8_t clean_session;
};

struct mqtt_publish_view_t {
    uint8_t dup;
    uint8_t qos;
    uint8_t retain;
    uint16_t packet_id;  // 0 for QoS 0
    const char* topic;   // points into the packet, NOT terminated
    uint16_t topic_len;
    const uint8_t* payload;
    size_t payload_len;
};

// Remaining-length field. encode writes 1..4 bytes into out (which must have
// room for 4) and returns the count, or MQTT_CODEC_BAD_ARGUMENT when value is
// beyond the four-byte range. decode reads from the bytes that follow the
// first header byte: returns 0 and sets *value / *used when complete,
// MQTT_CODEC_BUFFER_TOO_SHORT when more bytes are needed, MQTT_CODEC_MALFORMED
// when a fifth length byte would be needed.
int mqtt_encode_remaining_length(uint8_t* out, uint32_t value);
int mqtt_decode_remaining_length(const uint8_t* in, size_t avail, uint32_t* value, size_t* used);

int mqtt_serialize_connect(uint8_t* buf, size_t buflen, const mqtt_connect_options_t* opts);
int mqtt_serialize_publish(uint8_t* buf, size_t buflen, uint8_t dup, uint8_t qos, uint8_t retain,
                           uint16_t packet_id, const char* topic, const void* payload,
                           size_t payload_len);
// PUBACK (and, for completeness, the other two-byte acknowledgements).
int mqtt_serialize_ack(uint8_t* buf, size_t buflen, uint8_t type, uint16_t packet_id);
int mqtt_serialize_subscribe(uint8_t* buf, size_t buflen, uint16_t packet_id, const char* filter,
                             uint8_t qos);
int mqtt_serialize_unsubscribe(uint8_t* buf, size_t buflen, uint16_t packet_id, const char* filter);
// PINGREQ and DISCONNECT.
int mqtt_serialize_zero(uint8_t* buf, size_t buflen, uint8_t type);

// Sets the DUP bit of a stored PUBLISH before it is sent again.
void mqtt_publish_set_dup(uint8_t* packet);

// Decoders take one whole packet (fixed header included) and check the fixed
// header flags and the exact lengths the standard requires.
int mqtt_packet_type(const uint8_t* pkt, size_t len);
int mqtt_deserialize_connack(const uint8_t* pkt, size_t len, uint8_t* session_present,
                             uint8_t* return_code);
int mqtt_deserialize_publish(const uint8_t* pkt, size_t len, mqtt_publish_view_t* out);
// PUBACK / UNSUBACK (and PUBREC/PUBREL/PUBCOMP): *type receives the packet type.
int mqtt_deserialize_ack(const uint8_t* pkt, size_t len, uint8_t* type, uint16_t* packet_id);
// SUBACK for one topic filter: the single granted QoS byte (0, 1, 2 or 0x80).
int mqtt_deserialize_suback(const uint8_t* pkt, size_t len, uint16_t* packet_id, uint8_t* granted);
int mqtt_deserialize_pingresp(const uint8_t* pkt, size_t len);
