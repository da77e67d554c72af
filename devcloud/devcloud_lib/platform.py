"""The platform's side of the MQTT link: watching what devices send and
sending them calls, property sets and SDK-topic messages."""

import collections
import itertools
import json
import random
import re
import ssl
import threading
import time

import paho.mqtt.client as mqtt

from . import topics
from .procs import HOST, CloudError

_CONNECT_TIMEOUT = 5.0

# Platform message ids: decimal text, unique enough across the short-lived
# command-line clients that may run side by side.
_ids = itertools.count(random.randrange(100000000, 900000000))


MAX_JSON_DEPTH = 64


def json_depth(v):
    """Nesting depth of a parsed value, without recursion."""
    deepest, todo = 0, [(v, 1)]
    while todo:
        v, d = todo.pop()
        if isinstance(v, (dict, list)):
            deepest = max(deepest, d)
            todo.extend((c, d + 1) for c in (v.values() if isinstance(v, dict) else v))
    return deepest


def parse_json(payload):
    """The payload's JSON value, or None when it is not JSON or nests deeper
    than MAX_JSON_DEPTH: printing and walking such a value would exhaust
    the interpreter's stack, and no platform message nests that far."""
    try:
        v = json.loads(payload.decode("utf-8"))
    except (ValueError, UnicodeDecodeError, RecursionError):
        return None
    return v if json_depth(v) <= MAX_JSON_DEPTH else None


def next_id():
    return str(next(_ids))


def _new_client(client_id):
    # paho 2.x wants the callback style named; 1.x has no such argument.
    if hasattr(mqtt, "CallbackAPIVersion"):
        return mqtt.Client(
            mqtt.CallbackAPIVersion.VERSION1,
            client_id=client_id,
            clean_session=True,
            protocol=mqtt.MQTTv311,
        )
    return mqtt.Client(client_id=client_id, clean_session=True, protocol=mqtt.MQTTv311)


def _connack_text(rc):
    return "%s (%d)" % (mqtt.connack_string(rc), rc)


def try_login(host, port, ca, user, password, client_id=None, timeout=_CONNECT_TIMEOUT):
    """Connect once and disconnect; raise CloudError unless the broker
    accepts the login."""
    c = PlatformClient(host, port, ca, user, password, client_id=client_id or "devcloud-probe")
    c.connect(timeout)
    c.close()


class Message(object):
    """One message seen by the platform."""

    __slots__ = ("topic", "payload", "qos", "retain", "time", "kind", "_json")

    def __init__(self, topic, payload, qos=0, retain=False, when=None):
        self.topic = topic
        self.payload = payload  # bytes
        self.qos = qos
        self.retain = retain
        self.time = time.time() if when is None else when
        self.kind = topics.classify(topic)
        self._json = None

    @property
    def text(self):
        return self.payload.decode("utf-8", "replace")

    def json(self):
        """The payload parsed, or None when it is not JSON (or nests too
        deeply to be handled safely)."""
        if self._json is None:
            self._json = (parse_json(self.payload),)
        return self._json[0]

    @property
    def method(self):
        j = self.json()
        return j.get("method") if isinstance(j, dict) else None

    @property
    def id(self):
        j = self.json()
        return j.get("id") if isinstance(j, dict) else None

    def __repr__(self):
        return "Message(%r, %r)" % (self.topic, self.payload[:200])


class PlatformClient(object):
    """A platform connection: every message received is kept, in order, and
    can be waited for by predicate."""

    def __init__(self, host, port, ca, user, password, client_id=None, history=True):
        # Without history (a long watch) messages are handed out once by
        # pop() and then forgotten, so memory stays flat.
        self._history = history
        self.host = host
        self.port = int(port)
        self._cond = threading.Condition()
        self._received = []
        self._queue = collections.deque()
        self._connected = None  # None: pending, else the CONNACK rc
        self._subacks = {}
        self._pubacks = set()
        self._lost = False
        self._filters = []
        self._client = _new_client(client_id or ("devcloud-%s" % next_id()))
        self._client.username_pw_set(user, password)
        self._client.tls_set(
            ca_certs=ca, cert_reqs=ssl.CERT_REQUIRED, tls_version=ssl.PROTOCOL_TLS_CLIENT
        )
        self._client.on_connect = self._on_connect
        self._client.on_disconnect = self._on_disconnect
        self._client.on_message = self._on_message
        self._client.on_subscribe = self._on_subscribe
        self._client.on_publish = self._on_publish
        self._started = False

    @classmethod
    def for_cloud(cls, cloud, client_id=None, history=True):
        port = cloud.port
        if not cloud.running() or not port:
            raise CloudError("the cloud in %s is not running: run 'devcloud up'" % cloud.home)
        user, password = cloud.platform_login()
        return cls(HOST, port, cloud.ca_path, user, password, client_id, history)

    # paho callbacks (network thread)

    def _on_connect(self, client, userdata, flags, rc):
        with self._cond:
            self._connected = rc
            self._cond.notify_all()

    def _on_disconnect(self, client, userdata, rc):
        with self._cond:
            if rc != 0:
                self._lost = True
            self._cond.notify_all()

    def _on_message(self, client, userdata, msg):
        m = Message(msg.topic, bytes(msg.payload), msg.qos, bool(msg.retain))
        with self._cond:
            if self._history:
                self._received.append(m)
            else:
                self._queue.append(m)
            self._cond.notify_all()

    def _on_subscribe(self, client, userdata, mid, granted_qos):
        with self._cond:
            self._subacks[mid] = list(granted_qos)
            self._cond.notify_all()

    def _on_publish(self, client, userdata, mid):
        with self._cond:
            self._pubacks.add(mid)
            self._cond.notify_all()

    def _wait(self, pred, timeout):
        deadline = time.monotonic() + timeout
        with self._cond:
            while not pred():
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._cond.wait(left)
            return True

    # connection

    def connect(self, timeout=_CONNECT_TIMEOUT):
        try:
            self._client.connect(self.host, self.port, keepalive=30)
        except (OSError, ssl.SSLError) as e:
            raise CloudError("cannot connect to %s:%d: %s" % (self.host, self.port, e))
        self._client.loop_start()
        self._started = True
        if not self._wait(lambda: self._connected is not None, timeout):
            self.close()
            raise CloudError("no answer from the broker at %s:%d" % (self.host, self.port))
        if self._connected != 0:
            rc = self._connected
            self.close()
            raise CloudError("broker refused the login: %s" % _connack_text(rc))
        return self

    def close(self):
        if self._started:
            self._client.disconnect()
            self._client.loop_stop()
            self._started = False

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def subscribe(self, filters, timeout=_CONNECT_TIMEOUT):
        if isinstance(filters, str):
            filters = [filters]
        # The broker delivers a message once per matching subscription, so a
        # topic already covered is not subscribed again.
        filters = [f for f in filters if not any(topics.matches(s, f) for s in self._filters)]
        if not filters:
            return
        rc, mid = self._client.subscribe([(f, 1) for f in filters])
        if rc != mqtt.MQTT_ERR_SUCCESS:
            raise CloudError("subscribe failed: %s" % mqtt.error_string(rc))
        if not self._wait(lambda: mid in self._subacks, timeout):
            raise CloudError("no SUBACK for %s" % ", ".join(filters))
        if any(q not in (0, 1, 2) for q in self._subacks[mid]):
            raise CloudError("broker refused the subscription to %s" % ", ".join(filters))
        self._filters.extend(filters)

    def publish(self, topic, payload, qos=1, timeout=_CONNECT_TIMEOUT):
        if isinstance(payload, str):
            payload = payload.encode("utf-8")
        info = self._client.publish(topic, payload, qos=qos)
        if info.rc != mqtt.MQTT_ERR_SUCCESS:
            raise CloudError("publish on %s failed: %s" % (topic, mqtt.error_string(info.rc)))
        if qos > 0 and not self._wait(lambda: info.mid in self._pubacks, timeout):
            raise CloudError("no PUBACK for the publish on %s" % topic)

    # received messages

    def mark(self):
        """Position to pass as `after` so that only later messages count."""
        with self._cond:
            return len(self._received)

    def messages(self, after=0):
        with self._cond:
            return list(self._received[after:])

    def wait_for(self, predicate, timeout, after=0):
        """The first message (from position `after`) for which predicate is
        true, or None when none came within timeout seconds."""
        found = []

        def scan():
            for m in self._received[after:]:
                if predicate(m):
                    found.append(m)
                    return True
            return False

        self._wait(scan, timeout)
        return found[0] if found else None

    def pop(self, timeout):
        """Next message of a client made without history, or None."""
        if not self._wait(lambda: len(self._queue) > 0, timeout):
            return None
        with self._cond:
            return self._queue.popleft()

    def next_message(self, position, timeout):
        """The message at position, waiting up to timeout; None on time-out."""
        if not self._wait(lambda: len(self._received) > position, timeout):
            return None
        with self._cond:
            return self._received[position]

    @property
    def lost(self):
        with self._cond:
            return self._lost

    # platform requests

    def subscribe_devices(self):
        """Every device topic; callers filter with the message kinds."""
        self.subscribe(["/sys/#", "/ext/#", "/ota/#"])

    def _request(self, topic, body, reply_filters, is_reply, timeout):
        self.subscribe(reply_filters)
        start = self.mark()
        self.publish(topic, body)
        return self.wait_for(is_reply, timeout, after=start)

    def call(self, product_key, device_name, service, params, timeout=5.0):
        """A thing-model service call; the reply message or None. The device
        may answer on the service's "_reply" topic or, as the SDK does, on
        rrpc/response/<id>."""
        msg_id = next_id()
        base = "/sys/%s/%s/" % (product_key, device_name)
        reply_topic = base + "thing/service/%s_reply" % service
        rrpc_topic = base + "rrpc/response/%s" % msg_id
        body = envelope(msg_id, params, "thing.service.%s" % service)

        def is_reply(m):
            return m.topic == rrpc_topic or (m.topic == reply_topic and str(m.id) == msg_id)

        return self._request(
            base + "thing/service/%s" % service, body, [reply_topic, rrpc_topic], is_reply, timeout
        )

    def rrpc(self, product_key, device_name, service, params, timeout=5.0):
        rrpc_id = next_id()
        base = "/sys/%s/%s/" % (product_key, device_name)
        reply_topic = base + "rrpc/response/%s" % rrpc_id
        body = envelope(rrpc_id, params, "thing.service.%s" % service)
        return self._request(
            base + "rrpc/request/%s" % rrpc_id,
            body,
            [reply_topic],
            lambda m: m.topic == reply_topic,
            timeout,
        )

    def set_property(self, product_key, device_name, params, timeout=5.0):
        msg_id = next_id()
        base = "/sys/%s/%s/" % (product_key, device_name)
        reply_topic = base + "thing/service/property/set_reply"
        body = envelope(msg_id, params, "thing.service.property.set")
        return self._request(
            base + "thing/service/property/set",
            body,
            [reply_topic],
            lambda m: m.topic == reply_topic and str(m.id) == msg_id,
            timeout,
        )

    def send(self, product_key, device_name, suffix, payload):
        topic = "/sys/%s/%s%s" % (product_key, device_name, suffix)
        self.publish(topic, payload)
        return topic


def envelope(msg_id, params, method):
    """A downstream thing-model request; params is JSON text or a value."""
    if not isinstance(params, str):
        params = json.dumps(params, separators=(",", ":"))
    return '{"id":"%s","version":"1.0","params":%s,"method":"%s"}' % (msg_id, params, method)


def check_suffix(suffix):
    """An SDK topic suffix as `send` takes it: leading '/' added, no
    wildcards, printable ASCII only."""
    if not suffix:
        raise ValueError("topic suffix must not be empty")
    if not suffix.startswith("/"):
        suffix = "/" + suffix
    if "+" in suffix or "#" in suffix:
        raise ValueError("topic suffix %r must not contain + or #" % suffix)
    if any(not (32 <= ord(c) <= 126) for c in suffix):
        raise ValueError("topic suffix %r must be printable ASCII" % suffix)
    return suffix


# ---- presentation -----------------------------------------------------------

# What the thing-model envelope of each upstream kind must carry.
_ENVELOPE = {
    "property.post": ("id", "version", "params", "method"),
    "event.post": ("id", "version", "params", "method"),
    "service.reply": ("id", "code", "data"),
    "property.set_reply": ("id", "code", "data"),
    "rrpc.response": ("id", "code", "data"),
}


def problems(m):
    """What is wrong with an upstream message, as short texts."""
    k = m.kind
    j = m.json()
    if j is None:
        return ["not JSON (or nested deeper than %d)" % MAX_JSON_DEPTH]
    out = []
    need = _ENVELOPE.get(k.kind)
    if need:
        if not isinstance(j, dict):
            return ["not a JSON object"]
        missing = [f for f in need if f not in j]
        if missing:
            out.append("missing " + ",".join(missing))
        want = {
            "property.post": "thing.event.property.post",
            "event.post": "thing.event.%s.post" % k.name,
        }.get(k.kind)
        if want and "method" in j and j["method"] != want:
            out.append("method should be " + want)
    return out


def _compact(v):
    return json.dumps(v, separators=(",", ":"), ensure_ascii=False)


def format_line(m):
    """One line a person reads at a glance."""
    k = m.kind
    stamp = time.strftime("%H:%M:%S", time.localtime(m.time)) + ".%03d" % int(m.time * 1000 % 1000)
    dev = "%s/%s" % (k.product_key, k.device_name) if k.product_key else "-"
    arrow = {topics.UP: "UP  ", topics.DOWN: "DOWN"}.get(k.direction, "?   ")
    parts = [stamp, arrow, dev, k.kind]
    if k.kind == "other":
        parts.append(m.topic)
    elif k.name:
        parts.append(k.name)
    j = m.json()
    if isinstance(j, dict):
        rest = dict(j)
        for key in ("method", "id", "code", "message"):
            if key in rest:
                v = rest.pop(key)
                parts.append("%s=%s" % (key, v if isinstance(v, str) else _compact(v)))
        if rest.get("version", "1.0") != "1.0":
            parts.append("version=%s" % rest["version"])
        rest.pop("version", None)
        if list(rest) == ["params"] or list(rest) == ["data"]:
            key = list(rest)[0]
            parts.append("%s=%s" % (key, _compact(rest[key])))
        elif rest:
            parts.append("body=%s" % _compact(rest))
    elif j is not None:
        parts.append("body=%s" % _compact(j))
    else:
        text = m.payload[:300].decode("utf-8", "replace")
        parts.append("text=%s" % json.dumps(text, ensure_ascii=False))
    bad = problems(m) if k.direction == topics.UP else []
    if bad:
        parts.append("!! " + "; ".join(bad))
    return " ".join(parts)


def json_line(m):
    k = m.kind
    rec = {
        "time": round(m.time, 3),
        "direction": k.direction,
        "pk": k.product_key,
        "dn": k.device_name,
        "kind": k.kind,
        "name": k.name,
        "topic": m.topic,
        "qos": m.qos,
    }
    j = m.json()
    if j is not None:
        rec["payload"] = j
    else:
        rec["text"] = m.payload.decode("utf-8", "replace")
    if k.direction == topics.UP:
        rec["problems"] = problems(m)
    return json.dumps(rec, separators=(",", ":"), ensure_ascii=False)


# ---- broker log: what the broker refused ------------------------------------

_RE_CONNECTED = re.compile(r"New client connected from \S+ as (\S+) \(.*u'([^']*)'\)")
_RE_DENIED = re.compile(
    r"Denied PUBLISH from (\S+) \(d\d, q(\d), r\d, m\d+, '(.*)', \.\.\. \((\d+) bytes\)\)"
)
_RE_REFUSED = re.compile(r"Sending CONNACK to (\S+) \(\d, (\d+)\)")


class BrokerNote(object):
    __slots__ = ("time", "user", "text")

    def __init__(self, user, text):
        self.time = time.time()
        self.user = user
        self.text = text

    def line(self):
        stamp = time.strftime("%H:%M:%S", time.localtime(self.time))
        stamp += ".%03d" % int(self.time * 1000 % 1000)
        return "%s BROKER %s %s" % (stamp, self.user or "-", self.text)


class BrokerLog(object):
    """Follows the broker log for refused logins and denied publishes, which
    MQTT 3.1.1 does not report to the sender."""

    def __init__(self, path):
        self.path = path
        self.users = {}  # client id -> user name
        self._pos = 0
        self._partial = ""
        # Learn who is connected already, without reporting the past.
        for _ in self._lines():
            pass

    def _lines(self):
        try:
            with open(self.path, "r", errors="replace") as f:
                f.seek(0, 2)
                if f.tell() < self._pos:  # rotated or truncated
                    self._pos = 0
                f.seek(self._pos)
                data = f.read()
                self._pos = f.tell()
        except OSError:
            return
        data = self._partial + data
        lines = data.split("\n")
        self._partial = lines.pop()
        for line in lines:
            m = _RE_CONNECTED.search(line)
            if m:
                self.users[m.group(1)] = m.group(2)
            yield line

    def poll(self):
        notes = []
        for line in self._lines():
            m = _RE_DENIED.search(line)
            if m:
                user = self.users.get(m.group(1), m.group(1))
                text = "DENIED publish topic=%s qos=%s bytes=%s" % m.group(3, 2, 4)
                notes.append(BrokerNote(user, text))
                continue
            m = _RE_REFUSED.search(line)
            if m and m.group(2) != "0":
                text = "REFUSED login from %s: %s" % (m.group(1), _connack_text(int(m.group(2))))
                notes.append(BrokerNote(None, text))
        return notes
