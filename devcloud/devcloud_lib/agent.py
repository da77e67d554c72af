"""The platform agent: the background process of a running cloud that answers
the requests a real platform answers by itself.

Each hook is a topic filter and a function that gets the request and returns
what to publish in answer (a list of (topic, payload) pairs; empty: no
answer). Storage credentials point at the local object store; event limits and
overrides come from the home's settings.json, and without them the agent
stays silent, as a platform without that service would.
"""

import json
import logging
import os
import re
import signal
import ssl
import sys
import threading
import time
import urllib.error
import urllib.request
from urllib.parse import urlencode

import paho.mqtt.client as mqtt

from .cloud import HOST, Cloud
from .platform import _new_client, envelope, next_id, parse_json
from . import storage, topics

log = logging.getLogger("agent")


def now_ms():
    return int(time.time() * 1000)


def _parse_object(msg):
    body = parse_json(msg.payload)
    if body is None:
        log.warning("%s: payload is not JSON or nests too deeply; ignored", msg.topic)
    return body if isinstance(body, dict) else None


def _device(topic):
    k = topics.classify(topic)
    return k.product_key, k.device_name


def answer_time(agent, msg):
    """Time request: echo the device's send time and give the platform's
    time in milliseconds since the epoch ("utc" is what the device uses)."""
    recv = now_ms()
    body = _parse_object(msg)
    if body is None:
        log.warning("time request on %s is not a JSON object: %r", msg.topic, msg.payload[:200])
        return []
    if "deviceSendTime" not in body:
        log.warning("time request on %s has no deviceSendTime: %r", msg.topic, msg.payload[:200])
    reply = {}
    if "deviceSendTime" in body:
        reply["deviceSendTime"] = body["deviceSendTime"]
    send = now_ms()
    reply.update({"serverRecvTime": recv, "serverSendTime": send, "utc": send})
    topic = msg.topic[: -len("request")] + "response"
    return [(topic, json.dumps(reply, separators=(",", ":")))]


def answer_post(agent, msg):
    """Property and event posts are acknowledged on their "_reply" topic."""
    body = _parse_object(msg)
    if body is None or "id" not in body:
        log.warning("post on %s is not a thing-model request: %r", msg.topic, msg.payload[:200])
        return []
    reply = '{"id":%s,"code":200,"data":{}}' % json.dumps(str(body["id"]))
    return [(msg.topic + "_reply", reply)]


# ---- Storage credentials, event limits and alarm pictures ------------------


def _sdk_request(msg, method):
    """The body of an SDK request ({"id","version","method","params"}), or
    None with a warning naming what is wrong with it."""
    body = _parse_object(msg)
    if body is None:
        return None
    problems = []
    if not isinstance(body.get("id"), str) or not body["id"]:
        problems.append("id is not a non-empty string")
    if body.get("method") != method:
        problems.append("method is %r, not %r" % (body.get("method"), method))
    if not isinstance(body.get("params"), dict):
        problems.append("params is not an object")
    if problems:
        log.warning("%s on %s refused: %s: %r", method, msg.topic, "; ".join(problems), msg.payload[:200])
        return None
    return body


def _answer_topic(msg, up, down):
    return msg.topic[: -len(up)] + down


def store_endpoint(agent):
    """host:port of the local store as the device must reach it."""
    configured = agent.setting("storage_endpoint")
    if configured:
        return configured
    port = agent.cloud.config().get("store_port")
    return "%s:%d" % (HOST, port) if port else None


def answer_storage_credentials(agent, msg):
    """"requestKIVToken" on /vision/pic/kiv/upstream, answered on
    /vision/pic/kiv/downstream with fresh temporary credentials for the
    local store. settings.json may override members of the answer
    ("storage_credentials": an object merged over it) and the lifetime
    ("storage_active_time", seconds)."""
    body = _sdk_request(msg, "requestKIVToken")
    if body is None:
        return []
    pk, dn = _device(msg.topic)
    endpoint = store_endpoint(agent)
    override = agent.setting("storage_credentials")
    if endpoint is None and override is None:
        log.info("storage credential request from %s/%s left unanswered: no store running", pk, dn)
        return []
    creds = {}
    if endpoint is not None:
        active = agent.setting("storage_active_time") or storage.ACTIVE_TIME_S
        creds = storage.issue_credentials(storage.master_key(agent.cloud.home), pk, dn, endpoint, active)
        storage.append_log(agent.cloud.home, {"event": "credentials", "device": "%s/%s" % (pk, dn),
                                              "request_id": body["id"], "access_key": creds["accessKey"],
                                              "active_time": creds["activeTime"]})  # fmt: skip
    if isinstance(override, dict):
        creds.update(override)
    reply = {"id": body["id"], "version": "1.0", "params": creds}
    topic = _answer_topic(msg, "/vision/pic/kiv/upstream", "/vision/pic/kiv/downstream")
    return [(topic, json.dumps(reply, separators=(",", ":")))]


def answer_event_limit(agent, msg):
    """"requestEventLimit" on /vision/biz/event/upstream, answered on
    /vision/biz/event/downstream with {"single": ms, "batch": n} from the
    "event_limit" setting. Without it the device keeps its defaults, as it
    does when a platform never answers."""
    body = _sdk_request(msg, "requestEventLimit")
    if body is None:
        return []
    limit = agent.setting("event_limit")
    if limit is None:
        log.info("event limit request from %s/%s left unanswered: no limit configured", *_device(msg.topic))
        return []
    reply = {"id": body["id"], "version": "1.0", "params": limit}
    topic = _answer_topic(msg, "/vision/biz/event/upstream", "/vision/biz/event/downstream")
    return [(topic, json.dumps(reply, separators=(",", ":")))]


_PIC_ID = re.compile(r"^[A-Za-z0-9_.-]{1,64}$")


def alarm_key(pk, dn, pic_id):
    return "%salarm/%s.jpg" % (storage.device_prefix(pk, dn), pic_id)


def answer_alarm_event(agent, msg):
    """An "AlarmEvent" post names the picture the device keeps; the platform
    answers with "TriggerPicCapture" and a signed upload URL whose query
    carries "eventType" and the picture id. "alarm_upload": false in
    settings.json leaves alarms unanswered (the device's entry then waits)."""
    body = _parse_object(msg)
    params = body.get("params") if body else None
    if not isinstance(params, dict):
        log.warning("alarm event on %s has no params object: %r", msg.topic, msg.payload[:200])
        return []
    pic_id, kind = params.get("AlarmPicID"), params.get("AlarmType")
    if not isinstance(pic_id, str) or not _PIC_ID.match(pic_id) or not isinstance(kind, int):
        log.warning("alarm event on %s refused: AlarmPicID %r / AlarmType %r", msg.topic, pic_id, kind)
        return []
    if agent.setting("alarm_upload") is False:
        log.info("alarm %s left without upload URL: alarm_upload is off", pic_id)
        return []
    endpoint = store_endpoint(agent)
    if endpoint is None:
        log.info("alarm %s left without upload URL: no store running", pic_id)
        return []
    pk, dn = _device(msg.topic)
    key = alarm_key(pk, dn, pic_id)
    url = storage.presign(storage.master_key(agent.cloud.home), "https://" + endpoint, key,
                          extra={"eventType": str(kind), "id": pic_id})  # fmt: skip
    storage.append_log(agent.cloud.home, {"event": "alarm_url", "device": "%s/%s" % (pk, dn),
                                          "pic_id": pic_id, "key": key})  # fmt: skip
    msg_id = next_id()
    call = envelope(msg_id, {"UploadUrl": url}, "thing.service.TriggerPicCapture")
    return [("/sys/%s/%s/thing/service/TriggerPicCapture" % (pk, dn), call)]


def note_relay_close(agent, msg):
    """The device reports every relay it closes on
    /vision/biz/dev/monitor/upstream. The relay is told of a playback session
    so closed (the camera refused the start, say): one that never published
    is then over at once, and whoever waits for it learns the device's reason
    instead of waiting out a time-out."""
    body = _parse_object(msg)
    params = body.get("params") if body else None
    sid = params.get("sessionId") if isinstance(params, dict) else None
    port = agent.cloud.config().get("relay_http_port")
    if not isinstance(sid, str) or not sid or not port:
        return []
    reason = "%s %s" % (body.get("code"), body.get("message"))
    url = "http://%s:%d/device_closed?%s" % (HOST, port, urlencode({"session": sid, "reason": reason}))
    try:
        with urllib.request.urlopen(urllib.request.Request(url, method="POST", data=b""), timeout=5) as r:
            r.read()
    except (urllib.error.URLError, OSError) as e:
        log.warning("relay at port %s not told that the device closed session %s: %s", port, sid, e)
    return []


HOOKS = [
    ("/ext/ntp/+/+/request", answer_time),
    ("/sys/+/+/thing/event/+/post", answer_post),
    ("/sys/+/+/vision/pic/kiv/upstream", answer_storage_credentials),
    ("/sys/+/+/vision/biz/event/upstream", answer_event_limit),
    ("/sys/+/+/thing/event/AlarmEvent/post", answer_alarm_event),
    ("/sys/+/+/vision/biz/dev/monitor/upstream", note_relay_close),
]


class Agent(object):
    def __init__(self, cloud):
        self.cloud = cloud
        self._stop = threading.Event()
        self._client = None

    def setting(self, key):
        try:
            with open(self.cloud.path("settings.json")) as f:
                return json.load(f).get(key)
        except FileNotFoundError:
            return None
        except (OSError, ValueError) as e:
            log.error("settings.json unreadable: %s", e)
            return None

    def _on_connect(self, client, userdata, flags, rc):
        if rc != 0:
            log.error("broker refused the agent: %s", mqtt.connack_string(rc))
            return
        log.info("connected; subscribing %d hooks", len(HOOKS))
        client.subscribe([(f, 1) for f, _ in HOOKS])

    def _on_subscribe(self, client, userdata, mid, granted):
        if any(q not in (0, 1, 2) for q in granted):
            log.error("broker refused a hook subscription: %s", granted)
            return
        ready = self.cloud.path("agent.ready")
        with open(ready, "w") as f:
            f.write("%d\n" % os.getpid())
        log.info("ready")

    def _on_disconnect(self, client, userdata, rc):
        if rc != 0 and not self._stop.is_set():
            log.warning("lost the broker (%s); reconnecting", mqtt.error_string(rc))

    def _on_message(self, client, userdata, msg):
        for f, hook in HOOKS:
            if not topics.matches(f, msg.topic):
                continue
            try:
                answers = hook(self, msg)
            except Exception:  # a bad request must not stop the agent
                log.exception("hook %s failed on %s", hook.__name__, msg.topic)
                continue
            for topic, payload in answers:
                client.publish(topic, payload, qos=1)
                log.info("%s: answered %s on %s", hook.__name__, msg.topic, topic)

    def stop(self, *_):
        self._stop.set()
        if self._client is not None:
            self._client.disconnect()

    def run(self):
        user, password = self.cloud.platform_login()
        c = _new_client("devcloud-agent-%d" % os.getpid())
        c.username_pw_set(user, password)
        c.tls_set(
            ca_certs=self.cloud.ca_path,
            cert_reqs=ssl.CERT_REQUIRED,
            tls_version=ssl.PROTOCOL_TLS_CLIENT,
        )
        c.reconnect_delay_set(min_delay=1, max_delay=5)
        c.on_connect = self._on_connect
        c.on_subscribe = self._on_subscribe
        c.on_disconnect = self._on_disconnect
        c.on_message = self._on_message
        self._client = c
        signal.signal(signal.SIGTERM, self.stop)
        signal.signal(signal.SIGINT, self.stop)
        port = self.cloud.port
        while not self._stop.is_set():
            try:
                c.connect(HOST, port, keepalive=30)
                break
            except (OSError, ssl.SSLError) as e:
                log.warning("cannot reach the broker on %s:%s: %s", HOST, port, e)
                self._stop.wait(0.2)
        if not self._stop.is_set():
            c.loop_forever(retry_first_connection=True)
        log.info("stopped")
        return 0


def main(home):
    logging.basicConfig(
        stream=sys.stdout,
        level=logging.INFO,
        format="%(asctime)s %(levelname)s %(message)s",
    )
    return Agent(Cloud(home)).run()
