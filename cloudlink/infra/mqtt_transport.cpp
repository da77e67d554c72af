// The MQTT client's transport: the TLS connection, whole-packet reads and
// writes, CONNECT / CONNACK, and the wait for input between cycle rounds.
#include <algorithm>
#include <cstring>

#include "infra/guider.h"
#include "infra/mqtt_client_internal.h"

namespace nexo_mc {

// Only the cycle holder (or a destroy with nobody left inside) closes the
// connection, so no thread is waiting on it meanwhile; writers hold io.
void CloseTransport(Client* c) {
    Guard l(c->io);
    if (c->ssl != 0) {
        HAL_SSL_Destroy(c->ssl);
        c->ssl = 0;
    }
}

bool SendLocked(Client* c, const uint8_t* p, size_t n) {
    if (c->ssl == 0)
        return false;
    int w = HAL_SSL_Write(c->ssl, reinterpret_cast<const char*>(p), static_cast<int>(n),
                          static_cast<int>(c->request_timeout_ms));
    if (w != static_cast<int>(n)) {
        log_err(MOD, "send failed: %d of %zu bytes", w, n);
        return false;
    }
    return true;
}

bool SendPacket(Client* c, const uint8_t* p, size_t n) {
    Guard l(c->io);
    return SendLocked(c, p, n);
}

namespace {

// Reads the fixed header after its first byte; 0, or kReadError.
int ReadRemainingLength(Client* c, uint8_t hdr[5], size_t* used, uint32_t* rem) {
    int to = static_cast<int>(c->request_timeout_ms);
    *used = 0;
    for (size_t i = 1; i < 5; ++i) {
        if (HAL_SSL_Read(c->ssl, reinterpret_cast<char*>(hdr + i), 1, to) != 1) {
            log_err(MOD, "read of the remaining length failed");
            return kReadError;
        }
        int rc = mqtt_decode_remaining_length(hdr + 1, i, rem, used);
        if (rc == 0)
            break;
        if (rc == MQTT_CODEC_MALFORMED) {
            *used = 0;
            break;
        }
    }
    if (*used == 0) {
        log_err(MOD, "malformed remaining length from the broker");
        return kReadError;
    }
    return 0;
}

// A packet larger than the receive buffer: keep its head (enough for a
// PUBLISH's topic and packet id), drain the rest so the stream stays in step.
int ReadOversized(Client* c, const uint8_t* hdr, size_t head, uint32_t rem, size_t* out_len) {
    int to = static_cast<int>(c->request_timeout_ms);
    log_err(MOD, "packet of %zu bytes exceeds the receive buffer (%zu), dropped", head + rem,
            c->rbuf.size());
    memcpy(c->rbuf.data(), hdr, head);
    size_t kept = std::min(static_cast<size_t>(rem), c->rbuf.size() - head);
    if (kept > 0 && HAL_SSL_Read(c->ssl, reinterpret_cast<char*>(c->rbuf.data() + head),
                                 static_cast<int>(kept), to) != static_cast<int>(kept)) {
        return kReadError;
    }
    size_t left = rem - kept;
    char scratch[512];
    while (left > 0) {
        int chunk = static_cast<int>(std::min(left, sizeof(scratch)));
        if (HAL_SSL_Read(c->ssl, scratch, chunk, to) != chunk)
            return kReadError;
        left -= static_cast<size_t>(chunk);
    }
    *out_len = head + kept;
    return kReadDropped;
}

}  // namespace

// first_wait_ms is how long to wait for the first byte; the rest of the
// packet must follow within the request time-out.
int ReadPacket(Client* c, uint32_t first_wait_ms, size_t* out_len) {
    Guard l(c->io);
    if (c->ssl == 0)
        return kReadError;
    uint8_t hdr[5];
    int n = HAL_SSL_Read(c->ssl, reinterpret_cast<char*>(hdr), 1, static_cast<int>(first_wait_ms));
    if (n == 0)
        return kReadNone;
    if (n < 0) {
        log_err(MOD, "read error %d", n);
        return kReadError;
    }
    size_t used = 0;
    uint32_t rem = 0;
    if (ReadRemainingLength(c, hdr, &used, &rem) != 0)
        return kReadError;
    size_t head = 1 + used;
    size_t total = head + rem;
    if (total > c->rbuf.size())
        return ReadOversized(c, hdr, head, rem, out_len);
    memcpy(c->rbuf.data(), hdr, head);
    if (rem > 0) {
        int r = HAL_SSL_Read(c->ssl, reinterpret_cast<char*>(c->rbuf.data() + head),
                             static_cast<int>(rem), static_cast<int>(c->request_timeout_ms));
        if (r != static_cast<int>(rem)) {
            log_err(MOD, "short packet read: %d of %u", r, rem);
            return kReadError;
        }
    }
    *out_len = total;
    return kReadPacket;
}

void LoadEndpoint(Client* c) {
    if (c->explicit_endpoint)
        return;
    nexo_conn_snapshot_t s = nexo_conn_info_snapshot();
    if (!s.valid)
        return;
    c->host = s.host;
    c->port = s.port;
    c->client_id = s.client_id;
    c->username = s.username;
    c->password = s.password;
    c->ca = s.ca;
}

int ConnectOnce(Client* c, uint8_t* session_present) {
    if (c->host.empty() || c->client_id.empty()) {
        log_err(MOD, "no connection information");
        return TETHER_ERR_INVALID_ARGUMENT;
    }
    CloseTransport(c);
    uintptr_t h =
        HAL_SSL_Establish(c->host.c_str(), c->port, c->ca.empty() ? nullptr : c->ca.c_str(),
                          static_cast<uint32_t>(c->ca.size() + (c->ca.empty() ? 0 : 1)));
    if (h == 0) {
        if (HAL_SSL_LastError() == HAL_SSL_ERR_CERT_EXPIRED)
            log_err(MOD, "certificate is expired!");
        log_err(MOD, "TCP or TLS Connection failed");
        return TETHER_ERR_NETWORK;
    }
    {
        Guard l(c->io);
        c->ssl = h;
    }
    mqtt_connect_options_t o{};
    o.version = c->version;
    o.client_id = c->client_id.c_str();
    o.username = c->username.empty() ? nullptr : c->username.c_str();
    o.password = c->password.empty() ? nullptr : c->password.c_str();
    o.keepalive_s = static_cast<uint16_t>((c->keepalive_ms + 999) / 1000);
    o.clean_session = c->clean_session;
    int rc = SendBuilt(c, [&](uint8_t* b, size_t n) { return mqtt_serialize_connect(b, n, &o); });
    if (rc != 0) {
        CloseTransport(c);
        return rc;
    }
    size_t len = 0;
    uint64_t deadline = HAL_UptimeMs() + c->request_timeout_ms;
    int r = kReadNone;
    while (r == kReadNone && HAL_UptimeMs() < deadline) {
        r = ReadPacket(c, static_cast<uint32_t>(deadline - HAL_UptimeMs()), &len);
    }
    if (r != kReadPacket) {
        log_err(MOD, "wait connack timeout");
        CloseTransport(c);
        return TETHER_ERR_NETWORK;
    }
    uint8_t sp = 0, code = 0xff;
    if (mqtt_deserialize_connack(c->rbuf.data(), len, &sp, &code) != 0 || code != 0) {
        log_err(MOD, "connect ack is error, return code %u", code);
        CloseTransport(c);
        return TETHER_ERR_GENERIC;
    }
    *session_present = sp;
    return 0;
}

void WaitForInput(Client* c, int timeout_ms) {
    // The holder alone replaces c->ssl, so it stays valid for this wait.
    if (c->ssl != 0 && c->state == TETHER_MC_STATE_CONNECTED) {
        HAL_SSL_WaitReadable(c->ssl, c->waker, timeout_ms);
    } else {
        HAL_WakerWait(c->waker, timeout_ms);
    }
}

}  // namespace nexo_mc
