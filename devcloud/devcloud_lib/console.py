"""Stream console: live, playback and voice sessions with a device, record
queries, and the relays' event log.

Each session command registers a session with the relays (a fresh token),
sends the request to the device over MQTT, waits for the publication,
drives it, and prints a summary of what was recorded (from ffprobe) with
the path of a file ffplay plays.
"""

import base64
import json
import os
import shutil
import subprocess
import time
import urllib.error
import urllib.request

from . import flv, relay_nginx, sessions
from .cloud import HOST, CloudError
from .clihelp import UsageError, follow_lines
from .clihelp import known_device as _known_device
from .clihelp import out as _out
from .clihelp import print_reply as _print_reply

FFPROBE = shutil.which("ffprobe") or "/usr/bin/ffprobe"
FFMPEG = shutil.which("ffmpeg") or "/usr/bin/ffmpeg"


class ConsoleError(CloudError):
    pass


# ---- relays ----------------------------------------------------------------------


def _relay_ports(cloud):
    st = cloud.status()
    if not (st.get("relay_pid") and st.get("nginx_pid")):
        raise ConsoleError("the relays are not running in %s: run 'devcloud up'" % cloud.home)
    return st


def _http(port, method, path, params=None, timeout=10.0):
    from urllib.parse import urlencode

    url = "http://%s:%d%s" % (HOST, port, path)
    if params:
        url += "?" + urlencode(params)
    req = urllib.request.Request(url, method=method, data=b"" if method == "POST" else None)
    try:
        with urllib.request.urlopen(req, timeout=timeout) as r:
            body = r.read()
    except urllib.error.HTTPError as e:
        raise ConsoleError("relay %s %s: HTTP %d %s" % (method, path, e.code, e.read()[:300]))
    except (urllib.error.URLError, OSError) as e:
        raise ConsoleError("relay %s %s failed: %s" % (method, path, e))
    try:
        return json.loads(body.decode("utf-8")) if body else {}
    except ValueError:
        return {"text": body.decode("utf-8", "replace")}


def wait_state(st, token, until, timeout):
    """The session's state once it reached `until` (or closed), or whatever
    it is after timeout seconds."""
    return _http(st["relay_http_port"], "GET", "/state",
                 {"token": token, "until": until, "timeout": "%.3f" % timeout}, timeout + 10)  # fmt: skip


def registry(cloud):
    def secret_of(pk, dn):
        d = cloud.device(pk, dn)
        return d.device_secret if d else None

    return sessions.Registry(cloud.path(os.path.join("relay", "sessions")), secret_of)


def new_key():
    return base64.b64encode(os.urandom(16)).decode(), base64.b64encode(os.urandom(16)).decode()


def stream_url(port, app, session, private=None):
    query = "token=%s" % session.token
    if session.kind == "vod":
        query += "&session=%s" % session.session_id
    if private is not None:
        query += "&private=%d" % (1 if private else 0)
    return "rtmp://%s:%d/%s?%s/%s" % (HOST, port, app, query, session.stream)


def send_request(cloud, pk, dn, service, params):
    """A service call the device answers with a stream, not a reply."""
    from .platform import PlatformClient, envelope, next_id

    with PlatformClient.for_cloud(cloud, history=False).connect() as p:
        topic = "/sys/%s/%s/thing/service/%s" % (pk, dn, service)
        p.publish(topic, envelope(next_id(), params, "thing.service.%s" % service))
    return topic


# ---- summaries -------------------------------------------------------------------


def _ffprobe(path):
    r = subprocess.run(
        [FFPROBE, "-v", "error", "-show_streams", "-show_format", "-show_packets", "-of", "json", path],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120,
    )  # fmt: skip
    if r.returncode != 0:
        raise ConsoleError("ffprobe cannot read %s: %s" % (path, r.stderr.decode("utf-8", "replace")[-500:]))
    return json.loads(r.stdout.decode("utf-8"))


def playable(path):
    """A file ffmpeg reads: the FLV itself, or for H.265 in FLV (codec id
    12, which ffmpeg's FLV reader does not know) a Matroska copy."""
    tags = flv.read_tags(path)
    if not any(t == flv.TAG_VIDEO and len(b) > 0 and b[0] & 0x0F == flv.HEVC for t, _, b in tags):
        return path
    data, frames, first, last = flv.hevc_annexb(path)
    rate = 25.0
    if frames > 1 and last > first:
        rate = round((frames - 1) * 1000.0 / (last - first), 3)
    raw = os.path.splitext(path)[0] + ".h265"
    with open(raw, "wb") as f:
        f.write(data)
    out = os.path.splitext(path)[0] + ".mkv"
    argv = [FFMPEG, "-v", "error", "-y", "-fflags", "+genpts", "-f", "hevc", "-r", str(rate), "-i", raw]
    has_audio = any(t == flv.TAG_AUDIO for t, _, _ in tags)
    if has_audio:
        argv += ["-i", path, "-map", "0:v", "-map", "1:a?"]
    argv += ["-c", "copy", out]
    r = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    if r.returncode != 0:
        raise ConsoleError("cannot convert %s to Matroska: %s" % (path, r.stderr.decode("utf-8", "replace")[-500:]))
    return out


def summary(path):
    """Codecs, size, frames, duration, key-frame interval and bit rate of a
    recording, as ffprobe sees them."""
    info = _ffprobe(path)
    out = {"file": path}
    streams = {s["index"]: s for s in info.get("streams", [])}
    for s in streams.values():
        if s.get("codec_type") == "video":
            out["video"] = s.get("codec_name")
            out["size"] = "%sx%s" % (s.get("width"), s.get("height"))
        elif s.get("codec_type") == "audio":
            out["audio"] = "%s %sHz %sch" % (s.get("codec_name"), s.get("sample_rate"), s.get("channels"))
    def packets(kind):
        return [p for p in info.get("packets", [])
                if streams.get(p.get("stream_index"), {}).get("codec_type") == kind]  # fmt: skip

    video_pkts, audio_pkts = packets("video"), packets("audio")
    out["frames"] = len(video_pkts)
    out["audio_frames"] = len(audio_pkts)
    keys = [float(p.get("pts_time") or 0) for p in video_pkts if "K" in p.get("flags", "")]
    out["key_frames"] = len(keys)
    if len(keys) > 1:
        out["key_interval_s"] = round((keys[-1] - keys[0]) / (len(keys) - 1), 3)
    # From the packets, not the container: a device's metadata says 86400 s
    # for every kind of stream but playback by file.
    dur = packet_span(video_pkts + audio_pkts)
    out["duration_s"] = round(dur, 3)
    size = sum(int(p.get("size") or 0) for p in video_pkts + audio_pkts)
    out["bit_rate_kbps"] = round(size * 8 / dur / 1000, 1) if dur > 0 else 0
    return out


def packet_span(pkts):
    """Seconds from the first packet's start to the last one's end."""
    spans = []
    for p in pkts:
        try:
            start = float(p["pts_time"])
        except (KeyError, TypeError, ValueError):  # "N/A"
            continue
        try:
            length = float(p.get("duration_time") or 0)
        except ValueError:
            length = 0.0
        spans.append((start, start + length))
    if not spans:
        return 0.0
    return max(end for _, end in spans) - min(start for start, _ in spans)


def print_summary(path, relay_state=None):
    play = playable(path)
    s = summary(play)
    for k in ("file", "video", "size", "frames", "key_frames", "key_interval_s", "audio", "audio_frames",
              "duration_s", "bit_rate_kbps"):  # fmt: skip
        if k in s:
            _out("%s=%s" % (k, s[k]))
    if relay_state:
        for k in ("problems", "complete", "reason"):
            if relay_state.get(k):
                _out("relay_%s=%s" % (k, relay_state[k]))
    _out("play=ffplay %s" % play)
    return s


# ---- commands ------------------------------------------------------------------


def _record_for(st, s, seconds):
    """Waits while the session runs; Ctrl-C ends the wait early, so the
    publisher is still dropped and the recording summarised."""
    try:
        return wait_state(st, s.token, "closed", seconds)
    except KeyboardInterrupt:
        _out("interrupted=1")
        return {}


def _await_publish(st, s, wait):
    state = wait_state(st, s.token, "publishing", wait)
    if state.get("device_closed"):
        raise ConsoleError("the device closed %s without publishing: %s" % (s.stream, state["device_closed"]))
    if state.get("state") not in ("publishing", "closed"):
        raise ConsoleError("the device did not publish %s within %gs (see 'devcloud relay-log')" % (s.stream, wait))
    return state


def _finish(cloud, st, s, state, out=None):
    if not state.get("record"):
        raise ConsoleError("the relay recorded nothing for %s: %s" % (s.stream, state.get("reason") or state))
    path = state["record"]
    if out:
        shutil.copyfile(path, out)
        path = out
    _out("stream=%s" % s.stream)
    if state.get("video_frames") is not None:
        _out("relay_frames=%s relay_audio_frames=%s" % (state.get("video_frames"), state.get("audio_frames")))
    print_summary(path, state)


def cmd_live(cloud, a):
    _known_device(cloud, a.pk, a.dn)
    st = _relay_ports(cloud)
    key = iv = None
    if a.encrypt:
        if not a.private:
            raise ConsoleError("--encrypt needs --private (nginx records what it gets, and cannot decrypt)")
        key, iv = new_key()
    s = registry(cloud).create(a.pk, a.dn, "live", key=key, iv=iv)
    if a.private:
        url = stream_url(st["relay_port"], "live", s, private=True)
    else:
        url = stream_url(st["rtmp_port"], relay_nginx.APP, s, private=False)
    params = {"PushUrl": url, "StreamType": a.stream_type}
    if key:
        params["EncryptKey"] = json.dumps({"key": key, "iv": iv})
    send_request(cloud, a.pk, a.dn, "StartPushStreaming", params)
    _out("url=%s" % url)
    _await_publish(st, s, a.wait)
    state = _record_for(st, s, a.seconds)
    if state.get("state") != "closed":
        _drop(st, s, a.private)
    state = wait_state(st, s.token, "closed" if a.private else "recorded", 15)
    _finish(cloud, st, s, state, a.out)
    return 0


def _drop(st, s, private):
    if private:
        _http(st["relay_http_port"], "POST", "/drop", {"name": s.stream})
        return
    url = "http://%s:%d/control/drop/publisher?app=%s&name=%s" % (
        HOST, st["nginx_http_port"], relay_nginx.APP, s.stream)  # fmt: skip
    try:
        urllib.request.urlopen(url, timeout=5).read()
    except (urllib.error.URLError, OSError) as e:
        raise ConsoleError("nginx control drop failed: %s" % e)


def vod_plan(a):
    plan = []
    if a.speed is not None or a.key_only:
        plan.append({"at": 0, "status": "setplayparam", "speed": a.speed or 1.0, "key_only": a.key_only})
    if a.pause_at is not None:
        plan.append({"at": a.pause_at, "status": "pause", "description": "%g" % (a.pause_at * 1000)})
    if a.resume_at is not None:
        plan.append({"at": a.resume_at, "status": "unpause", "description": "%g" % (a.resume_at * 1000)})
    for item in a.seek_at or []:
        at, _, pos = item.partition(":")
        try:
            plan.append({"at": float(at), "status": "seek", "description": "%g" % float(pos)})
        except ValueError:
            raise ConsoleError("--seek-at takes SECONDS:POSITION, not %r" % item)
    return plan


def cmd_vod(cloud, a):
    _known_device(cloud, a.pk, a.dn)
    if (a.file is None) == (a.begin is None or a.end is None):
        raise UsageError("vod takes --begin and --end, or --file")
    st = _relay_ports(cloud)
    key = iv = None
    if a.encrypt:
        key, iv = new_key()
    s = registry(cloud).create(a.pk, a.dn, "vod", key=key, iv=iv, plan=vod_plan(a))
    url = stream_url(st["relay_port"], "vod", s)
    params = {"SessionID": s.session_id, "PushUrl": url}
    if a.file is not None:
        service = "StartVod"
        params["FileName"] = base64.b64encode(a.file.encode("utf-8")).decode()
    else:
        service = "StartVodByTime"
        params["BeginTime"], params["EndTime"] = a.begin, a.end
    if key:
        params["EncryptKey"] = json.dumps({"key": key, "iv": iv})
    send_request(cloud, a.pk, a.dn, service, params)
    _out("url=%s" % url)
    _await_publish(st, s, a.wait)
    state = _record_for(st, s, a.seconds)
    if state.get("state") != "closed":
        _drop(st, s, True)
        state = wait_state(st, s.token, "closed", 15)
    _finish(cloud, st, s, state, a.out)
    return 0


def wav_to_g711(src, dst, codec):
    r = subprocess.run(
        [FFMPEG, "-v", "error", "-y", "-i", src, "-ac", "1", "-ar", "8000", "-f",
         "alaw" if codec == "pcma" else "mulaw", dst],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120,
    )  # fmt: skip
    if r.returncode != 0:
        raise ConsoleError("cannot convert %s: %s" % (src, r.stderr.decode("utf-8", "replace")[-500:]))
    return os.path.getsize(dst) / 8000.0


def cmd_talk(cloud, a):
    _known_device(cloud, a.pk, a.dn)
    if not os.path.isfile(a.audio):
        raise ConsoleError("no audio file %s" % a.audio)
    st = _relay_ports(cloud)
    audio_dir = cloud.path(os.path.join("relay", "audio"))
    os.makedirs(audio_dir, exist_ok=True)
    raw = os.path.join(audio_dir, "%d.%s" % (int(time.time() * 1000), a.codec))
    seconds = wav_to_g711(a.audio, raw, a.codec)
    key = iv = None
    if a.encrypt:
        key, iv = new_key()
    audio = {"path": raw, "codec": a.codec}
    if a.talk_delay:
        audio["talk_delay"] = a.talk_delay
    if a.bad_bodies:
        audio["bad_bodies"] = True
    s = registry(cloud).create(a.pk, a.dn, "voice", key=key, iv=iv, audio=audio)
    url = stream_url(st["relay_port"], "voice", s, private=not a.normal)
    send_request(cloud, a.pk, a.dn, "StartVoiceIntercom",
                 {"IntercomUrl": url, "Key": json.dumps({"key": key, "iv": iv} if key else {})})  # fmt: skip
    _out("url=%s" % url)
    _out("sent_audio=%s seconds=%.2f" % (raw, seconds))
    _await_publish(st, s, a.wait)
    state = _record_for(st, s, a.seconds if a.seconds else seconds + 2)
    if state.get("state") != "closed":
        _drop(st, s, True)
        state = wait_state(st, s.token, "closed", 15)
    _finish(cloud, st, s, state, a.out)
    return 0


def cmd_records(cloud, a):
    from .platform import PlatformClient

    _known_device(cloud, a.pk, a.dn)
    if a.query == "month":
        service, params = "QueryMonthRecord", {"Month": a.month}
    else:
        params = {"BeginTime": a.begin, "EndTime": a.end, "Type": a.type}
        service = "QueryRecordTimeList" if a.query == "times" else "QueryRecordList"
        if a.query == "list":
            params["QuerySize"] = a.size
    with PlatformClient.for_cloud(cloud).connect() as p:
        reply = p.rrpc(a.pk, a.dn, service, json.dumps(params), a.timeout)
    rc = _print_reply(reply, "RRPC %s" % service, a.timeout)
    if rc == 0 and a.query == "list":
        for rec in _record_list(reply.json()):
            _out("record %s" % " ".join("%s=%s" % kv for kv in rec.items()))
    return rc


def _record_list(j):
    data = j.get("data", j) if isinstance(j, dict) else {}
    for rec in (data.get("RecordList") or []) if isinstance(data, dict) else []:
        if isinstance(rec, dict) and isinstance(rec.get("FileName"), str):
            try:
                rec = dict(rec, FileName=base64.b64decode(rec["FileName"]).decode("utf-8", "replace"))
            except ValueError:
                pass
            yield rec


def format_event(rec):
    t = rec.get("time", 0)
    stamp = time.strftime("%H:%M:%S", time.localtime(t)) + ".%03d" % int(t * 1000 % 1000)
    rest = " ".join("%s=%s" % (k, json.dumps(v) if not isinstance(v, str) else v)
                    for k, v in rec.items() if k not in ("time", "event"))  # fmt: skip
    return "%s %s %s" % (stamp, rec.get("event"), rest)


def cmd_relay_log(cloud, a):
    try:
        for line in follow_lines(cloud.path("relay.log"), a.follow):
            try:
                rec = json.loads(line)
            except ValueError:
                continue
            _out(line.rstrip("\n") if a.json else format_event(rec))
    except FileNotFoundError:
        raise ConsoleError("no relay log yet in %s" % cloud.home)
    return 0


def add_commands(sub):
    def device(s):
        s.add_argument("pk")
        s.add_argument("dn")
        s.add_argument("--wait", type=float, default=20.0, help="seconds to wait for the device to publish")
        s.add_argument("--out", help="copy the recording to this FLV file")

    s = sub.add_parser("live", help="live stream from the device; prints a summary and an ffplay line")
    device(s)
    s.add_argument("--seconds", type=float, default=10.0, help="how long to record (default 10)")
    s.add_argument("--private", action="store_true", help="private handshake to devcloud's own relay")
    s.add_argument("--encrypt", action="store_true", help="ask for AES-128-CBC media (with --private)")
    s.add_argument("--stream-type", type=int, default=0, help="StreamType (0 main, 1 sub)")
    s.set_defaults(fn=cmd_live)

    s = sub.add_parser("vod", help="playback session driven by the relay")
    device(s)
    s.add_argument("--begin", type=int)
    s.add_argument("--end", type=int)
    s.add_argument("--file", help="record file name (sent Base64-encoded)")
    s.add_argument("--pause-at", type=float, metavar="S")
    s.add_argument("--resume-at", type=float, metavar="S")
    s.add_argument("--seek-at", action="append", metavar="S:POS")
    s.add_argument("--speed", type=float)
    s.add_argument("--key-only", action="store_true")
    s.add_argument("--encrypt", action="store_true")
    s.add_argument("--seconds", type=float, default=30.0, help="longest wait for the playback to complete")
    s.set_defaults(fn=cmd_vod)

    s = sub.add_parser("talk", help="voice session: WAV down, records what comes up")
    device(s)
    s.add_argument("--audio", required=True, metavar="F.wav")
    s.add_argument("--codec", choices=("pcma", "pcmu"), default="pcma")
    s.add_argument("--encrypt", action="store_true")
    s.add_argument("--normal", action="store_true", help="normal handshake instead of the private one")
    s.add_argument("--seconds", type=float, help="session length (default: the audio's plus 2)")
    s.add_argument("--talk-delay", type=float, default=0.0, metavar="S",
                   help="send NetStream.TalkReady S seconds after publishing starts")  # fmt: skip
    s.add_argument("--bad-bodies", action="store_true",
                   help="send broken downlink bodies (unknown format, too short, bad padding) after 10 frames")  # fmt: skip
    s.set_defaults(fn=cmd_talk)

    s = sub.add_parser("records", help="record queries over RRPC")
    s.add_argument("pk")
    s.add_argument("dn")
    s.add_argument("--timeout", type=float, default=5.0)
    q = s.add_subparsers(dest="query", metavar="QUERY")
    q.required = True
    for name in ("list", "times"):
        r = q.add_parser(name, help="QueryRecordList" if name == "list" else "QueryRecordTimeList")
        r.add_argument("--begin", type=int, required=True)
        r.add_argument("--end", type=int, required=True)
        r.add_argument("--type", type=int, default=0)
        if name == "list":
            r.add_argument("--size", type=int, default=100)
    r = q.add_parser("month", help="QueryMonthRecord")
    r.add_argument("month", help="e.g. 202612")
    s.set_defaults(fn=cmd_records)

    s = sub.add_parser("relay-log", help="the relays' events")
    s.add_argument("--follow", action="store_true")
    s.add_argument("--json", action="store_true", help="the JSON lines as written")
    s.set_defaults(fn=cmd_relay_log)
