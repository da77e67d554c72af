#include "infra/mqtt_packet.h"

#include <cstring>

namespace {

// Writer over a fixed buffer: every put checks room first, so an encoder can
// never run past the caller's buffer whatever the input lengths are.
struct Writer {
    uint8_t* p;
    size_t cap;
    size_t pos = 0;
    bool overflow = false;

    void Byte(uint8_t b) {
        if (pos + 1 > cap) {
            overflow = true;
            return;
        }
        p[pos++] = b;
    }
    void U16(uint16_t v) {
        Byte(static_cast<uint8_t>(v >> 8));
        Byte(static_cast<uint8_t>(v & 0xff));
    }
    void Bytes(const void* src, size_t n) {
        if (n == 0)
            return;
        if (pos + n > cap) {
            overflow = true;
            return;
        }
        memcpy(p + pos, src, n);
        pos += n;
    }
    void Str(const char* s, size_t n) {
        U16(static_cast<uint16_t>(n));
        Bytes(s, n);
    }
};

// Writes the fixed header for a packet whose variable part is rem bytes long.
int Header(Writer& w, uint8_t first, size_t rem) {
    if (rem > MQTT_MAX_REMAINING_LENGTH)
        return MQTT_CODEC_BAD_ARGUMENT;
    uint8_t len[4];
    int n = mqtt_encode_remaining_length(len, static_cast<uint32_t>(rem));
    if (n < 0)
        return n;
    w.Byte(first);
    w.Bytes(len, static_cast<size_t>(n));
    return 0;
}

int Finish(const Writer& w) {
    if (w.overflow)
        return MQTT_CODEC_BUFFER_TOO_SHORT;
    return static_cast<int>(w.pos);
}

uint16_t U16At(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

// Splits a whole packet into its first byte and the variable part, checking
// that the remaining length matches the bytes given exactly.
int Split(const uint8_t* pkt, size_t len, const uint8_t** body, size_t* body_len) {
    if (pkt == nullptr || len < 2)
        return MQTT_CODEC_MALFORMED;
    uint32_t rem = 0;
    size_t used = 0;
    int rc = mqtt_decode_remaining_length(pkt + 1, len - 1, &rem, &used);
    if (rc != 0)
        return MQTT_CODEC_MALFORMED;
    if (1 + used + rem != len)
        return MQTT_CODEC_MALFORMED;
    *body = pkt + 1 + used;
    *body_len = rem;
    return 0;
}

}  // namespace

int mqtt_encode_remaining_length(uint8_t* out, uint32_t value) {
    if (value > MQTT_MAX_REMAINING_LENGTH)
        return MQTT_CODEC_BAD_ARGUMENT;
    int n = 0;
    do {
        uint8_t b = value % 128;
        value /= 128;
        if (value > 0)
            b |= 0x80;
        out[n++] = b;
    } while (value > 0);
    return n;
}

int mqtt_decode_remaining_length(const uint8_t* in, size_t avail, uint32_t* value, size_t* used) {
    uint32_t v = 0;
    uint32_t mult = 1;
    for (size_t i = 0; i < 4; ++i) {
        if (i >= avail)
            return MQTT_CODEC_BUFFER_TOO_SHORT;
        v += (in[i] & 0x7fu) * mult;
        if ((in[i] & 0x80) == 0) {
            *value = v;
            *used = i + 1;
            return 0;
        }
        mult *= 128;
    }
    return MQTT_CODEC_MALFORMED;
}

int mqtt_serialize_connect(uint8_t* buf, size_t buflen, const mqtt_connect_options_t* o) {
    if (o == nullptr || o->client_id == nullptr)
        return MQTT_CODEC_BAD_ARGUMENT;
    const char* name = o->version == 3 ? "MQIsdp" : "MQTT";
    if (o->version != 3 && o->version != 4)
        return MQTT_CODEC_BAD_ARGUMENT;
    size_t name_len = strlen(name);
    size_t cid = strlen(o->client_id);
    size_t user = o->username ? strlen(o->username) : 0;
    size_t pass = (o->username && o->password) ? strlen(o->password) : 0;
    if (cid > 0xffff || user > 0xffff || pass > 0xffff)
        return MQTT_CODEC_BAD_ARGUMENT;

    size_t rem = 2 + name_len + 1 + 1 + 2 + 2 + cid;
    uint8_t flags = 0;
    if (o->clean_session)
        flags |= 0x02;
    if (o->username) {
        flags |= 0x80;
        rem += 2 + user;
        if (o->password) {
            flags |= 0x40;
            rem += 2 + pass;
        }
    }
    Writer w{buf, buflen};
    int rc = Header(w, MQTT_PKT_CONNECT << 4, rem);
    if (rc < 0)
        return rc;
    w.Str(name, name_len);
    w.Byte(o->version);
    w.Byte(flags);
    w.U16(o->keepalive_s);
    w.Str(o->client_id, cid);
    if (o->username) {
        w.Str(o->username, user);
        if (o->password)
            w.Str(o->password, pass);
    }
    return Finish(w);
}

int mqtt_serialize_publish(uint8_t* buf, size_t buflen, uint8_t dup, uint8_t qos, uint8_t retain,
                           uint16_t packet_id, const char* topic, const void* payload,
                           size_t payload_len) {
    if (topic == nullptr || qos > 2 || (qos > 0 && packet_id == 0))
        return MQTT_CODEC_BAD_ARGUMENT;
    if (payload == nullptr && payload_len > 0)
        return MQTT_CODEC_BAD_ARGUMENT;
    size_t tl = strlen(topic);
    if (tl == 0 || tl > 0xffff)
        return MQTT_CODEC_BAD_ARGUMENT;
    size_t rem = 2 + tl + (qos > 0 ? 2 : 0) + payload_len;
    uint8_t first = static_cast<uint8_t>((MQTT_PKT_PUBLISH << 4) | (dup ? 0x08 : 0) | (qos << 1) |
                                         (retain ? 0x01 : 0));
    Writer w{buf, buflen};
    int rc = Header(w, first, rem);
    if (rc < 0)
        return rc;
    w.Str(topic, tl);
    if (qos > 0)
        w.U16(packet_id);
    w.Bytes(payload, payload_len);
    return Finish(w);
}

int mqtt_serialize_ack(uint8_t* buf, size_t buflen, uint8_t type, uint16_t packet_id) {
    if (type < MQTT_PKT_PUBACK || type > MQTT_PKT_PUBCOMP)
        return MQTT_CODEC_BAD_ARGUMENT;
    // PUBREL is the one acknowledgement with reserved flags 0010.
    uint8_t first = static_cast<uint8_t>((type << 4) | (type == MQTT_PKT_PUBREL ? 0x02 : 0));
    Writer w{buf, buflen};
    int rc = Header(w, first, 2);
    if (rc < 0)
        return rc;
    w.U16(packet_id);
    return Finish(w);
}

int mqtt_serialize_subscribe(uint8_t* buf, size_t buflen, uint16_t packet_id, const char* filter,
                             uint8_t qos) {
    if (filter == nullptr || packet_id == 0 || qos > 2)
        return MQTT_CODEC_BAD_ARGUMENT;
    size_t fl = strlen(filter);
    if (fl == 0 || fl > 0xffff)
        return MQTT_CODEC_BAD_ARGUMENT;
    Writer w{buf, buflen};
    int rc = Header(w, (MQTT_PKT_SUBSCRIBE << 4) | 0x02, 2 + 2 + fl + 1);
    if (rc < 0)
        return rc;
    w.U16(packet_id);
    w.Str(filter, fl);
    w.Byte(qos);
    return Finish(w);
}

int mqtt_serialize_unsubscribe(uint8_t* buf, size_t buflen, uint16_t packet_id,
                               const char* filter) {
    if (filter == nullptr || packet_id == 0)
        return MQTT_CODEC_BAD_ARGUMENT;
    size_t fl = strlen(filter);
    if (fl == 0 || fl > 0xffff)
        return MQTT_CODEC_BAD_ARGUMENT;
    Writer w{buf, buflen};
    int rc = Header(w, (MQTT_PKT_UNSUBSCRIBE << 4) | 0x02, 2 + 2 + fl);
    if (rc < 0)
        return rc;
    w.U16(packet_id);
    w.Str(filter, fl);
    return Finish(w);
}

int mqtt_serialize_zero(uint8_t* buf, size_t buflen, uint8_t type) {
    if (type != MQTT_PKT_PINGREQ && type != MQTT_PKT_DISCONNECT)
        return MQTT_CODEC_BAD_ARGUMENT;
    Writer w{buf, buflen};
    int rc = Header(w, static_cast<uint8_t>(type << 4), 0);
    if (rc < 0)
        return rc;
    return Finish(w);
}

void mqtt_publish_set_dup(uint8_t* packet) {
    if (packet != nullptr && (packet[0] >> 4) == MQTT_PKT_PUBLISH && (packet[0] & 0x06) != 0) {
        packet[0] |= 0x08;
    }
}

int mqtt_packet_type(const uint8_t* pkt, size_t len) {
    if (pkt == nullptr || len < 1)
        return MQTT_CODEC_MALFORMED;
    return pkt[0] >> 4;
}

int mqtt_deserialize_connack(const uint8_t* pkt, size_t len, uint8_t* session_present,
                             uint8_t* return_code) {
    const uint8_t* b;
    size_t bl;
    if (Split(pkt, len, &b, &bl) != 0)
        return MQTT_CODEC_MALFORMED;
    if (pkt[0] != (MQTT_PKT_CONNACK << 4) || bl != 2)
        return MQTT_CODEC_MALFORMED;
    if ((b[0] & 0xfe) != 0)
        return MQTT_CODEC_MALFORMED;  // reserved acknowledge flags
    *session_present = b[0] & 0x01;
    *return_code = b[1];
    return 0;
}

int mqtt_deserialize_publish(const uint8_t* pkt, size_t len, mqtt_publish_view_t* out) {
    const uint8_t* b;
    size_t bl;
    if (Split(pkt, len, &b, &bl) != 0)
        return MQTT_CODEC_MALFORMED;
    if ((pkt[0] >> 4) != MQTT_PKT_PUBLISH)
        return MQTT_CODEC_MALFORMED;
    uint8_t qos = (pkt[0] >> 1) & 0x03;
    if (qos == 3)
        return MQTT_CODEC_MALFORMED;
    if (bl < 2)
        return MQTT_CODEC_MALFORMED;
    uint16_t tl = U16At(b);
    size_t need = 2 + static_cast<size_t>(tl) + (qos > 0 ? 2 : 0);
    if (tl == 0 || need > bl)
        return MQTT_CODEC_MALFORMED;
    out->dup = (pkt[0] >> 3) & 0x01;
    out->qos = qos;
    out->retain = pkt[0] & 0x01;
    out->topic = reinterpret_cast<const char*>(b + 2);
    out->topic_len = tl;
    out->packet_id = qos > 0 ? U16At(b + 2 + tl) : 0;
    if (qos > 0 && out->packet_id == 0)
        return MQTT_CODEC_MALFORMED;
    // A NUL inside the topic would let a crafted name pass as a shorter one.
    if (memchr(out->topic, 0, tl) != nullptr)
        return MQTT_CODEC_MALFORMED;
    out->payload = b + need;
    out->payload_len = bl - need;
    return 0;
}

int mqtt_deserialize_ack(const uint8_t* pkt, size_t len, uint8_t* type, uint16_t* packet_id) {
    const uint8_t* b;
    size_t bl;
    if (Split(pkt, len, &b, &bl) != 0)
        return MQTT_CODEC_MALFORMED;
    uint8_t t = pkt[0] >> 4;
    uint8_t flags = pkt[0] & 0x0f;
    bool ok_type = t == MQTT_PKT_PUBACK || t == MQTT_PKT_PUBREC || t == MQTT_PKT_PUBREL ||
                   t == MQTT_PKT_PUBCOMP || t == MQTT_PKT_UNSUBACK;
    if (!ok_type || bl != 2)
        return MQTT_CODEC_MALFORMED;
    if (flags != (t == MQTT_PKT_PUBREL ? 0x02 : 0x00))
        return MQTT_CODEC_MALFORMED;
    *type = t;
    *packet_id = U16At(b);
    return 0;
}

int mqtt_deserialize_suback(const uint8_t* pkt, size_t len, uint16_t* packet_id, uint8_t* granted) {
    const uint8_t* b;
    size_t bl;
    if (Split(pkt, len, &b, &bl) != 0)
        return MQTT_CODEC_MALFORMED;
    if (pkt[0] != (MQTT_PKT_SUBACK << 4) || bl != 3)
        return MQTT_CODEC_MALFORMED;
    uint8_t g = b[2];
    if (g > 2 && g != 0x80)
        return MQTT_CODEC_MALFORMED;
    *packet_id = U16At(b);
    *granted = g;
    return 0;
}

int mqtt_deserialize_pingresp(const uint8_t* pkt, size_t len) {
    const uint8_t* b;
    size_t bl;
    if (Split(pkt, len, &b, &bl) != 0)
        return MQTT_CODEC_MALFORMED;
    if (pkt[0] != (MQTT_PKT_PINGRESP << 4) || bl != 0)
        return MQTT_CODEC_MALFORMED;
    return 0;
}
