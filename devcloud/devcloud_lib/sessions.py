"""Stream sessions the cloud has issued: one JSON file per token under
HOME/relay/sessions, written by the console before it sends the request to
the device and read by the relays when the device publishes.

A session holds the device, the stream name, the kind ("live", "vod",
"voice"), the playback session id, the media key and IV (Base64), and what
the relay does once publishing starts (a playback plan, downlink audio).
"""

import base64
import binascii
import json
import os
import re
import tempfile
import time

from . import streamsign

KINDS = ("live", "vod", "voice")
_TOKEN = re.compile(r"^[0-9a-f]{8,64}$")


class SessionError(ValueError):
    pass


class Session(object):
    def __init__(self, rec):
        self.rec = rec
        self.token = rec["token"]
        self.pk = rec["pk"]
        self.dn = rec["dn"]
        self.stream = rec["stream"]
        self.kind = rec["kind"]
        self.session_id = rec.get("session")
        self.plan = rec.get("plan") or []
        self.audio = rec.get("audio")
        self.key = self.iv = None
        if rec.get("key"):
            self.key = base64.b64decode(rec["key"])
            self.iv = base64.b64decode(rec["iv"])

    @property
    def sign_name(self):
        return self.session_id if self.kind == "vod" else self.stream


class Registry(object):
    def __init__(self, directory, secret_of):
        """secret_of(pk, dn) gives the device secret or None."""
        self.dir = directory
        self.secret_of = secret_of

    def _path(self, token):
        if not _TOKEN.match(token):
            raise SessionError("token %r is not one devcloud issues" % token)
        return os.path.join(self.dir, token + ".json")

    def create(self, pk, dn, kind, stream=None, session=None, key=None, iv=None, plan=None, audio=None):
        if kind not in KINDS:
            raise SessionError("kind %r (one of %s)" % (kind, ", ".join(KINDS)))
        for what, v in (("key", key), ("iv", iv)):
            if v is not None:
                try:
                    if len(base64.b64decode(v, validate=True)) != 16:
                        raise SessionError("%s must be Base64 of 16 bytes" % what)
                except binascii.Error:
                    raise SessionError("%s is not Base64" % what)
        token = streamsign.new_token()
        rec = {
            "token": token, "pk": pk, "dn": dn, "kind": kind,
            "stream": stream or "%s%s" % (kind, token[:8]),
            "created": round(time.time(), 3),
        }  # fmt: skip
        if kind == "vod":
            rec["session"] = session or "s" + token[:10]
        if key:
            rec["key"], rec["iv"] = key, iv
        if plan:
            rec["plan"] = plan
        if audio:
            rec["audio"] = audio
        os.makedirs(self.dir, exist_ok=True)
        fd, tmp = tempfile.mkstemp(dir=self.dir, prefix=".tmp-")
        with os.fdopen(fd, "w") as f:
            json.dump(rec, f)
        os.replace(tmp, self._path(token))
        return Session(rec)

    def load(self, token):
        try:
            with open(self._path(token)) as f:
                return Session(json.load(f))
        except FileNotFoundError:
            raise SessionError("no session was issued with token %r" % token)
        except (OSError, ValueError, KeyError) as e:
            raise SessionError("session of token %r unreadable: %s" % (token, e))

    def find_session(self, session_id):
        """The playback session issued with this session id, or None."""
        if not isinstance(session_id, str) or not session_id:
            return None
        try:
            names = sorted(n for n in os.listdir(self.dir) if n.endswith(".json"))
        except FileNotFoundError:
            return None
        # Ids devcloud makes carry the token's first characters: look there first.
        names.sort(key=lambda n: not n.startswith(session_id[1:11]))
        for n in names:
            try:
                s = self.load(n[:-5])
            except SessionError:
                continue
            if s.session_id == session_id:
                return s
        return None

    def authorize(self, app, tc_url, publish_name):
        """The Session a publisher may publish, or SessionError saying why not."""
        query = {}
        for text in (publish_name, tc_url or "", app or ""):
            query.update(streamsign.query_of(text))
        signed = query.get("token")
        if not signed:
            raise SessionError("no token in app %r, tcUrl %r or stream name %r" % (app, tc_url, publish_name))
        try:
            token, _ = streamsign.split_signed(signed)
        except streamsign.SignError as e:
            raise SessionError(str(e))
        s = self.load(token)
        name = publish_name.split("?", 1)[0]
        if name != s.stream:
            raise SessionError("stream %r was issued as %r" % (name, s.stream))
        if s.kind == "vod" and query.get("session") != s.session_id:
            raise SessionError("playback session %r is not %r" % (query.get("session"), s.session_id))
        secret = self.secret_of(s.pk, s.dn)
        if secret is None:
            raise SessionError("device %s/%s is not registered" % (s.pk, s.dn))
        why = streamsign.check(secret, s.sign_name, s.pk, s.dn, token, signed)
        if why:
            raise SessionError(why)
        return s
