"""Recordings straight to the object store (added to the main parser by
cli.build_parser):

    devcloud record PK DN start ID [--stream-type N] [--duration S] [--max-file S] ...
    devcloud record PK DN update ID --duration S [--stream-type N]
    devcloud record PK DN stop ID [--stream-type N] [--timeout S]
    devcloud record PK DN list

start, update and stop publish "startRecord", "updateRecord" and
"stopRecord" on /sys/PK/DN/vision/biz/record/downstream; stop then waits
(at most --timeout seconds) until the store has seen every connection on
which the device appended close, so the last append is in, and, like list,
prints one line per stored FLV object of the device with its ffprobe
summary:

    object=KEY size=N duration_s=D video=CODEC audio=CODEC first_key=1|0 decode=ok|error

A connection still open at the deadline (another recording of the device
still running, or a device that never closed it) is named in the error
after the listing, and the exit status is 1.
"""

import json
import subprocess

from . import storage
from .clihelp import known_device as _known_device
from .procs import CloudError, WaitFailed, wait_for

TOPIC = "/vision/biz/record/downstream"


def _publish(cloud, pk, dn, method, params):
    from .platform import PlatformClient, next_id

    body = json.dumps({"id": str(next_id()), "version": "1.0", "method": method, "params": params})
    with PlatformClient.for_cloud(cloud, history=False).connect() as p:
        p.publish("/sys/%s/%s%s" % (pk, dn, TOPIC), body)
    print("sent=%s %s" % (method, json.dumps(params, sort_keys=True)), flush=True)


def _probe(path):
    """(duration, video codec, audio codec, first video frame is key, decodes cleanly)."""
    def run(args):
        return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

    info = run(["ffprobe", "-v", "error", "-show_entries", "format=duration:stream=codec_type,codec_name",
                "-of", "json", path])  # fmt: skip
    duration, video, audio = "?", "none", "none"
    try:
        j = json.loads(info.stdout)
        duration = j.get("format", {}).get("duration", "?")
        for s in j.get("streams", []):
            if s.get("codec_type") == "video":
                video = s.get("codec_name", "?")
            elif s.get("codec_type") == "audio":
                audio = s.get("codec_name", "?")
    except ValueError:
        pass
    first = run(["ffprobe", "-v", "error", "-select_streams", "v", "-read_intervals", "%+#1",
                 "-show_entries", "frame=key_frame", "-of", "csv=p=0", path]).stdout.strip()[:1]  # fmt: skip
    decode = run(["ffmpeg", "-v", "error", "-xerror", "-i", path, "-f", "null", "-"])
    ok = decode.returncode == 0 and not decode.stdout.strip()
    return duration, video, audio, first == "1", ok


def open_appends(home, device):
    """Connections on which device ("PK/DN") appended and that the store has
    not yet seen close; a restarted store starts with none."""
    conns = set()
    for r in storage.read_log(home):
        event = r.get("event")
        if event == "started":
            conns.clear()
        elif event == "request" and r.get("method") == "POST" and r.get("status") == 200 \
                and r.get("device") == device:
            conns.add(r.get("conn"))
        elif event == "closed":
            conns.discard(r.get("conn"))
    return conns


def wait_appends_closed(home, pk, dn, timeout):
    """Returns once the device has no append connection open at the store;
    CloudError naming the open connections at the deadline."""
    device = "%s/%s" % (pk, dn)
    try:
        wait_for("the last appends of %s" % device, lambda: not open_appends(home, device), timeout,
                 directory=storage.root(home))  # fmt: skip
    except WaitFailed:
        conns = sorted(open_appends(home, device))
        if not conns:  # closed just at the deadline
            return
        raise CloudError("record stop: %s still has %d append connection(s) open at the store (conn %s) after %gs;"
                         " another recording of the device may still run (see 'devcloud store log')"
                         % (device, len(conns), ",".join(str(c) for c in conns), timeout))  # fmt: skip


def list_recordings(cloud, pk, dn):
    bad = 0
    for key, size, _ in storage.list_objects(cloud.home, storage.device_prefix(pk, dn)):
        if not key.endswith(".flv"):
            continue
        duration, video, audio, key_first, ok = _probe(storage.object_path(cloud.home, key))
        bad += 0 if (ok and key_first) else 1
        print("object=%s size=%d duration_s=%s video=%s audio=%s first_key=%d decode=%s"
              % (key, size, duration, video, audio, key_first, "ok" if ok else "error"), flush=True)  # fmt: skip
    return 1 if bad else 0


def cmd_record(cloud, a):
    _known_device(cloud, a.pk, a.dn)
    if a.action == "start":
        _publish(cloud, a.pk, a.dn, "startRecord", {
            "id": a.id, "streamType": a.stream_type, "recordType": a.record_type, "duration": a.duration,
            "preDuration": a.pre, "maxSingleFileDuration": a.max_file, "thumbnailId": a.thumbnail,
            "filePrefix": a.prefix})  # fmt: skip
        return 0
    if a.action == "update":
        _publish(cloud, a.pk, a.dn, "updateRecord", {"id": a.id, "streamType": a.stream_type, "duration": a.duration})
        return 0
    if a.action == "stop":
        _publish(cloud, a.pk, a.dn, "stopRecord", {"id": a.id, "streamType": a.stream_type})
        try:
            wait_appends_closed(cloud.home, a.pk, a.dn, a.timeout)
        except CloudError:
            list_recordings(cloud, a.pk, a.dn)  # what is stored so far, before the error
            raise
    return list_recordings(cloud, a.pk, a.dn)


def add_commands(sub):
    s = sub.add_parser("record", help="recordings straight to the object store: start, update, stop, list")
    s.add_argument("pk")
    s.add_argument("dn")
    q = s.add_subparsers(dest="action", metavar="ACTION")
    q.required = True
    r = q.add_parser("start", help="startRecord")
    r.add_argument("id")
    r.add_argument("--stream-type", type=int, default=0)
    r.add_argument("--record-type", type=int, default=0)
    r.add_argument("--duration", type=int, default=300, help="seconds (default 300)")
    r.add_argument("--pre", type=int, default=0, help="preDuration, seconds")
    r.add_argument("--max-file", type=int, default=60, help="maxSingleFileDuration, seconds (default 60)")
    r.add_argument("--thumbnail", default="thumb")
    r.add_argument("--prefix", default="rec")
    r = q.add_parser("update", help="updateRecord")
    r.add_argument("id")
    r.add_argument("--duration", type=int, required=True)
    r.add_argument("--stream-type", type=int, default=0)
    r = q.add_parser("stop", help="stopRecord, then the stored objects")
    r.add_argument("id")
    r.add_argument("--stream-type", type=int, default=0)
    r.add_argument("--timeout", "--settle", dest="timeout", type=float, default=10.0,
                   help="longest wait, in seconds, for the device to close its append connections (default 10)")
    q.add_parser("list", help="the device's stored recordings with their ffprobe summaries")
    s.set_defaults(fn=cmd_record)
