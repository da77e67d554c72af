// The MQTT client's handling of received packets: one handler per packet
// type, delivery of PUBLISH to the matching subscriptions, and the events
// told to the client's event handler.
#include <algorithm>

#include "infra/mqtt_client_internal.h"

namespace nexo_mc {

void FireEvents(Client* c, const std::vector<Event>& evs) {
    if (c->event.h_fp == nullptr)
        return;
    for (const Event& e : evs) {
        tether_mqtt_event_msg_t m{e.type, reinterpret_cast<void*>(e.id)};
        c->event.h_fp(c->event.pcontext, c, &m);
    }
}

namespace {

void Deliver(Client* c, const mqtt_publish_view_t& v) {
    std::vector<SubHandler> hit;
    {
        Guard l(c->mu);
        for (auto& s : c->subs) {
            if (nexo_mc_topic_match(s.filter.c_str(), v.topic, v.topic_len))
                hit.push_back(s);
        }
    }
    tether_mqtt_topic_info_t info{};
    info.packet_id = v.packet_id;
    info.qos = v.qos;
    info.dup = v.dup;
    info.retain = v.retain;
    info.topic_len = v.topic_len;
    info.ptopic = v.topic;
    info.payload = reinterpret_cast<const char*>(v.payload);
    info.payload_len = static_cast<uint32_t>(v.payload_len);
    tether_mqtt_event_msg_t m{TETHER_MQTT_EVENT_PUBLISH_RECEIVED, &info};
    if (hit.empty()) {
        log_debug(MOD, "NO matching any topic, call default handle function");
        if (c->event.h_fp)
            c->event.h_fp(c->event.pcontext, c, &m);
        return;
    }
    for (auto& s : hit) {
        if (s.fn)
            s.fn(s.ctx, c, &m);
    }
}

bool OnPuback(Client* c, const uint8_t* p, size_t len, std::vector<Event>* evs) {
    uint8_t t;
    uint16_t id;
    if (mqtt_deserialize_ack(p, len, &t, &id) != 0)
        return false;
    Guard l(c->mu);
    for (auto it = c->pub_wait.begin(); it != c->pub_wait.end(); ++it) {
        if (it->id == id) {
            c->pub_wait.erase(it);
            evs->push_back({TETHER_MQTT_EVENT_PUBLISH_SUCCESS, id});
            break;
        }
    }
    return true;
}

bool OnSuback(Client* c, const uint8_t* p, size_t len, std::vector<Event>* evs) {
    uint16_t id;
    uint8_t granted;
    if (mqtt_deserialize_suback(p, len, &id, &granted) != 0)
        return false;
    Guard l(c->mu);
    auto it = std::find_if(c->sub_wait.begin(), c->sub_wait.end(),
                           [&](const SubWait& w) { return w.id == id && w.kind == kSub; });
    if (it == c->sub_wait.end())
        return true;
    c->sub_wait.erase(it);
    if (granted == 0x80) {
        log_err(MOD, "MQTT SUBSCRIBE failed, ack code is 0x80");
        evs->push_back({TETHER_MQTT_EVENT_SUBSCRIBE_NACK, id});
        SetSyncResultLocked(c, id, -1);
    } else {
        evs->push_back({TETHER_MQTT_EVENT_SUBSCRIBE_SUCCESS, id});
        SetSyncResultLocked(c, id, 1);
    }
    return true;
}

bool OnUnsuback(Client* c, const uint8_t* p, size_t len, std::vector<Event>* evs) {
    uint8_t t;
    uint16_t id;
    if (mqtt_deserialize_ack(p, len, &t, &id) != 0)
        return false;
    Guard l(c->mu);
    for (auto it = c->sub_wait.begin(); it != c->sub_wait.end(); ++it) {
        if (it->id == id && it->kind == kUnsub) {
            c->sub_wait.erase(it);
            evs->push_back({TETHER_MQTT_EVENT_UNSUBSCRIBE_SUCCESS, id});
            break;
        }
    }
    return true;
}

bool OnPublish(Client* c, const uint8_t* p, size_t len, std::vector<Event>* evs) {
    mqtt_publish_view_t v{};
    if (mqtt_deserialize_publish(p, len, &v) != 0)
        return false;
    if (v.qos == 2) {
        log_err(MOD, "QoS 2 publish on '%.*s' not supported, dropped", v.topic_len, v.topic);
        return true;
    }
    if (v.qos == 1) {
        uint16_t id = v.packet_id;
        if (SendBuilt(c, [&](uint8_t* b, size_t n) {
                return mqtt_serialize_ack(b, n, MQTT_PKT_PUBACK, id);
            }) != 0) {
            SetDisconnected(c);
        }
    }
    // Deliver after the events gathered so far, so handlers see a consistent
    // order.
    FireEvents(c, *evs);
    evs->clear();
    Deliver(c, v);
    return true;
}

bool OnPingresp(Client* c, const uint8_t* p, size_t len) {
    if (mqtt_deserialize_pingresp(p, len) != 0)
        return false;
    log_debug(MOD, "receive ping response!");
    Guard l(c->mu);
    c->ping_outstanding = 0;
    return true;
}

}  // namespace

void HandlePacket(Client* c, size_t len, std::vector<Event>* evs) {
    const uint8_t* p = c->rbuf.data();
    int type = mqtt_packet_type(p, len);
    bool ok = false;
    switch (type) {
        case MQTT_PKT_PUBACK:
            ok = OnPuback(c, p, len, evs);
            break;
        case MQTT_PKT_SUBACK:
            ok = OnSuback(c, p, len, evs);
            break;
        case MQTT_PKT_UNSUBACK:
            ok = OnUnsuback(c, p, len, evs);
            break;
        case MQTT_PKT_PUBLISH:
            ok = OnPublish(c, p, len, evs);
            break;
        case MQTT_PKT_PINGRESP:
            ok = OnPingresp(c, p, len);
            break;
        case MQTT_PKT_CONNACK:
            log_warning(MOD, "unexpected CONNACK ignored");
            return;
        default:
            break;
    }
    if (!ok)
        log_err(MOD, "malformed or unexpected packet (type %d, %zu bytes) ignored", type, len);
}

// A QoS 1 PUBLISH too large to keep is still acknowledged, so the broker
// does not send it again and again.
void HandleDropped(Client* c, size_t kept) {
    const uint8_t* p = c->rbuf.data();
    if (kept < 2 || (p[0] >> 4) != MQTT_PKT_PUBLISH || ((p[0] >> 1) & 3) != 1)
        return;
    uint32_t rem;
    size_t used;
    if (mqtt_decode_remaining_length(p + 1, kept - 1, &rem, &used) != 0)
        return;
    const uint8_t* b = p + 1 + used;
    size_t avail = kept - 1 - used;
    if (avail < 2)
        return;
    size_t tl = static_cast<size_t>((b[0] << 8) | b[1]);
    if (avail < 2 + tl + 2)
        return;
    uint16_t id = static_cast<uint16_t>((b[2 + tl] << 8) | b[3 + tl]);
    SendBuilt(c,
              [&](uint8_t* o, size_t n) { return mqtt_serialize_ack(o, n, MQTT_PKT_PUBACK, id); });
}

}  // namespace nexo_mc
