"""The platform agent: the background process of a running cloud that answers
the requests a real platform answers by itself.

Each hook is a topic filter and a function that gets the request and returns
what to publish in answer (a list of (topic, payload) pairs; empty: no
answer). Answers that need data a later piece of the local cloud will own
(storage credentials, event limits, relay and storage servers) read it from
the home's settings.json and stay silent while it is absent, as a platform
without that service would.
"""

import json
import logging
import os
import signal
import ssl
import sys
import threading
import time

import paho.mqtt.client as mqtt

from .cloud import HOST, Cloud
from .platform import _new_client, parse_json
from . import topics

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


# ---- Hook places for requests that later issues answer ----------------------


def answer_storage_credentials(agent, msg):
    """"requestKIVToken" on /vision/pic/kiv/upstream, answered on
    /vision/pic/kiv/downstream with the object-storage credentials. Needs a
    local storage server; until then settings.json may carry the "params"
    object to send ("storage_credentials")."""
    creds = agent.setting("storage_credentials")
    body = _parse_object(msg)
    if creds is None:
        log.info("storage credential request from %s/%s left unanswered: no storage configured",
                 *_device(msg.topic))  # fmt: skip
        return []
    reply = {"id": str(body.get("id", "")) if body else "", "version": "1.0", "params": creds}
    topic = msg.topic[: -len("/vision/pic/kiv/upstream")] + "/vision/pic/kiv/downstream"
    return [(topic, json.dumps(reply, separators=(",", ":")))]


def answer_event_limit(agent, msg):
    """"requestEventLimit" on /vision/biz/event/upstream, answered on
    /vision/biz/event/downstream with {"single": ms, "batch": n}. Without an
    "event_limit" setting the device keeps its defaults, as it does when a
    platform never answers."""
    limit = agent.setting("event_limit")
    body = _parse_object(msg)
    if limit is None:
        log.info("event limit request from %s/%s left unanswered: no limit configured",
                 *_device(msg.topic))  # fmt: skip
        return []
    reply = {"id": str(body.get("id", "")) if body else "", "version": "1.0", "params": limit}
    topic = msg.topic[: -len("/vision/biz/event/upstream")] + "/vision/biz/event/downstream"
    return [(topic, json.dumps(reply, separators=(",", ":")))]


# Relay servers (the "PushUrl" of stream calls) and storage servers are named
# by the platform in its calls rather than asked for: commands that send such
# calls read them with Agent.setting("relay_url") / setting("storage_endpoint")
# once a local relay or storage server exists.

HOOKS = [
    ("/ext/ntp/+/+/request", answer_time),
    ("/sys/+/+/thing/event/+/post", answer_post),
    ("/sys/+/+/vision/pic/kiv/upstream", answer_storage_credentials),
    ("/sys/+/+/vision/biz/event/upstream", answer_event_limit),
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
