"""Console verbs of the object store (added to the main parser by
cli.build_parser):

    devcloud picture PK DN                      "TriggerPicCapture"; prints the stored picture
    devcloud alarm PK DN wait                   next alarm or intelligent alarm, with its picture
    devcloud alarm PK DN url PIC_ID             answer an alarm by hand with an upload URL
    devcloud alarm PK DN limit --single MS --batch N
    devcloud objects PK DN list | fetch KEY
    devcloud file PK DN download KEY... | upload NAME...
    devcloud store fault MODE [--count N] [--seconds S] | clear | faults | log
    devcloud store credentials PK DN | url KEY
"""

import json
import secrets
import shutil
import time
import urllib.error
import urllib.request
from urllib.parse import urlencode

from . import storage
from .cloud import HOST, CloudError
from .clihelp import EXIT_TIMEOUT, UsageError, follow_lines
from .clihelp import err as _err
from .clihelp import known_device as _known_device
from .clihelp import out as _out

# Uploads of files by the application are signed for this content type.
FILE_CONTENT_TYPE = "application/octet-stream"


class TimedOut(CloudError):
    pass


def control(cloud, method, path, params=None, timeout=10.0):
    """A call to the running store's control endpoint; (status, JSON)."""
    st = cloud.status()
    if not st.get("store_pid") or not st.get("store_control_port"):
        raise CloudError("the object store is not running in %s: run 'devcloud up'" % cloud.home)
    url = "http://%s:%d%s" % (HOST, st["store_control_port"], path)
    if params:
        url += "?" + urlencode(params)
    req = urllib.request.Request(url, method=method, data=b"" if method == "POST" else None)
    try:
        with urllib.request.urlopen(req, timeout=timeout) as r:
            return r.status, json.loads(r.read().decode("utf-8") or "{}")
    except urllib.error.HTTPError as e:
        try:
            return e.code, json.loads(e.read().decode("utf-8") or "{}")
        except ValueError:
            return e.code, {}
    except (urllib.error.URLError, OSError) as e:
        raise CloudError("object store control %s %s failed: %s" % (method, path, e))


def store_base(cloud):
    st = cloud.status()
    if not st.get("store_pid"):
        raise CloudError("the object store is not running in %s: run 'devcloud up'" % cloud.home)
    endpoint = storage.setting(cloud.home, "storage_endpoint") or "%s:%d" % (HOST, st["store_port"])
    return "https://" + endpoint


def wait_object(cloud, key, timeout):
    status, info = control(cloud, "GET", "/wait", {"key": key, "timeout": "%.3f" % timeout}, timeout + 10)
    if status == 200:
        return info
    if status == 404:
        return None
    raise CloudError("object store refused the wait for %s: %s" % (key, info.get("error")))


def print_object(info, prefix=""):
    for k in ("key", "path", "size", "md5"):
        _out("%s%s=%s" % (prefix, k, info[k]))


def _device_key(pk, dn, key):
    prefix = storage.device_prefix(pk, dn)
    full = key if key.startswith(prefix) else prefix + key
    try:
        return storage.check_key(full)
    except storage.StoreError as e:
        raise UsageError(e.reason)


def _publish_call(cloud, pk, dn, service, params):
    from .platform import PlatformClient, envelope, next_id

    with PlatformClient.for_cloud(cloud, history=False).connect() as p:
        p.publish("/sys/%s/%s/thing/service/%s" % (pk, dn, service),
                  envelope(next_id(), params, "thing.service.%s" % service))  # fmt: skip


def _upload_and_wait(cloud, a, key, extra=None):
    url = storage.presign(storage.master_key(cloud.home), store_base(cloud), key, extra=extra)
    _publish_call(cloud, a.pk, a.dn, "TriggerPicCapture", {"UploadUrl": url})
    _out("url=%s" % url)
    info = wait_object(cloud, key, a.timeout)
    if info is None:
        raise TimedOut("no picture arrived at %s within %gs (see 'devcloud store log')" % (key, a.timeout))
    print_object(info)
    if getattr(a, "out", None):
        shutil.copyfile(info["path"], a.out)
    return 0


# ---- commands -------------------------------------------------------------------------


def _timeout_exit(fn):
    """Nothing arriving in time is exit 3, as for the other waiting verbs."""

    def run(cloud, a):
        try:
            return fn(cloud, a)
        except TimedOut as e:
            _err(str(e))
            return EXIT_TIMEOUT

    return run


@_timeout_exit
def cmd_picture(cloud, a):
    _known_device(cloud, a.pk, a.dn)
    stamp = time.strftime("%Y%m%dT%H%M%S", time.gmtime())
    key = "%spicture/%s-%s.jpg" % (storage.device_prefix(a.pk, a.dn), stamp, secrets.token_hex(3))
    return _upload_and_wait(cloud, a, key)


@_timeout_exit
def cmd_alarm(cloud, a):
    _known_device(cloud, a.pk, a.dn)
    if a.action == "url":
        from .agent import _PIC_ID, alarm_key

        if not _PIC_ID.match(a.pic_id):
            raise UsageError("picture id %r: 1..64 of A-Z a-z 0-9 _ . -" % a.pic_id)
        return _upload_and_wait(cloud, a, alarm_key(a.pk, a.dn, a.pic_id),
                                extra={"eventType": str(a.event_type), "id": a.pic_id})  # fmt: skip
    if a.action == "limit":
        limit = {"single": a.single, "batch": a.batch}
        storage.update_settings(cloud.home, event_limit=limit)
        from .platform import PlatformClient, next_id

        body = {"id": next_id(), "version": "1.0", "params": limit}
        with PlatformClient.for_cloud(cloud, history=False).connect() as p:
            topic = p.send(a.pk, a.dn, "/vision/biz/event/downstream", json.dumps(body, separators=(",", ":")))
        _out("sent %s" % topic)
        _out("event_limit=%s" % json.dumps(limit, separators=(",", ":")))
        return 0
    return _alarm_wait(cloud, a)


def _alarm_wait(cloud, a):
    from .platform import PlatformClient

    names = {"alarm": ("AlarmEvent",), "intelligent": ("IntelligentAlarm",)}.get(a.kind, ("AlarmEvent", "IntelligentAlarm"))
    with PlatformClient.for_cloud(cloud).connect() as p:
        p.subscribe("/sys/%s/%s/thing/event/+/post" % (a.pk, a.dn))
        _err("waiting for %s from %s/%s" % (" or ".join(names), a.pk, a.dn))
        m = p.wait_for(lambda m: m.kind.kind == "event.post" and m.kind.name in names, a.timeout)
    if m is None:
        raise TimedOut("no %s from %s/%s within %gs" % (" or ".join(names), a.pk, a.dn, a.timeout))
    params = (m.json() or {}).get("params")
    _out("event=%s" % m.kind.name)
    _out("params=%s" % json.dumps(params, separators=(",", ":")))
    if not isinstance(params, dict):
        raise CloudError("the event has no params object")
    if m.kind.name == "AlarmEvent":
        return _alarm_picture(cloud, a, params)
    return _intelligent_pictures(cloud, a, params)


def _alarm_picture(cloud, a, params):
    from .agent import alarm_key

    pic_id = params.get("AlarmPicID")
    if not isinstance(pic_id, str) or not pic_id:
        raise CloudError("AlarmEvent without AlarmPicID")
    if pic_id.startswith("0_"):
        _out("picture=none")
        return 0
    info = wait_object(cloud, alarm_key(a.pk, a.dn, pic_id), a.timeout)
    if info is None:
        raise TimedOut("the alarm picture %s did not arrive within %gs" % (pic_id, a.timeout))
    print_object(info)
    return 0


def _intelligent_pictures(cloud, a, params):
    events = params.get("EventList")
    if not isinstance(events, list) or not events:
        raise CloudError("IntelligentAlarm without an EventList")
    bad = 0
    for i, ev in enumerate(events):
        pic_id = ev.get("AlarmPicID") if isinstance(ev, dict) else None
        size = ev.get("AlarmPicSize") if isinstance(ev, dict) else None
        if not pic_id:
            _out("event%d_picture=none size=%s" % (i, size))
            continue
        status, info = control(cloud, "GET", "/wait", {"key": pic_id, "timeout": "0"})
        if status != 200:
            _out("event%d_picture=missing key=%s" % (i, pic_id))
            bad += 1
            continue
        print_object(info, "event%d_" % i)
        if info["size"] != size:
            _out("event%d_problem=AlarmPicSize %s but the object has %d bytes" % (i, size, info["size"]))
            bad += 1
    return 1 if bad else 0


def cmd_objects(cloud, a):
    _known_device(cloud, a.pk, a.dn)
    if a.action == "list":
        for key, size, mtime in storage.list_objects(cloud.home, storage.device_prefix(a.pk, a.dn)):
            stamp = time.strftime("%Y-%m-%dT%H:%M:%S", time.localtime(mtime))
            _out("%s %d %s %s" % (stamp, size, key, storage.object_path(cloud.home, key)))
        return 0
    key = _device_key(a.pk, a.dn, a.key)
    path = storage.object_path(cloud.home, key)
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        raise CloudError("no object %s" % key)
    if a.out:
        with open(a.out, "wb") as f:
            f.write(data)
    import hashlib

    print_object({"key": key, "path": path, "size": len(data), "md5": hashlib.md5(data).hexdigest()})
    return 0


def cmd_file(cloud, a):
    """File transfer invocations: the application downloads stored objects
    or uploads files to signed URLs; the URLs point at the object store."""
    from .platform import PlatformClient, next_id

    _known_device(cloud, a.pk, a.dn)
    master, base = storage.master_key(cloud.home), store_base(cloud)
    entries = []
    for name in a.names:
        if a.direction == "download":
            key = _device_key(a.pk, a.dn, name)
            url = storage.presign(master, base, key, "GET", "", a.lifetime)
            entries.append({"downloadUrl": url, "fileName": key.rsplit("/", 1)[-1], "fileType": a.file_type})
        else:
            if "/" in name:
                raise UsageError("file name %r must be one key part" % name)
            key = _device_key(a.pk, a.dn, "files/" + name)
            url = storage.presign(master, base, key, "PUT", FILE_CONTENT_TYPE, a.lifetime)
            entries.append({"uploadUrl": url, "fileName": name, "fileType": a.file_type})
        _out("%s_url=%s" % (a.direction, url))
    suffix = "/vision/biz/dev/%s/invoke" % ("DownloadFile" if a.direction == "download" else "UploadFile")
    body = {"id": next_id(), "version": "1.0", "paramList": entries}
    with PlatformClient.for_cloud(cloud, history=False).connect() as p:
        _out("sent %s" % p.send(a.pk, a.dn, suffix, json.dumps(body, separators=(",", ":"))))
    return 0


def cmd_store(cloud, a):
    if a.action == "fault":
        params = {"mode": a.mode, "count": str(a.count)}
        if a.seconds is not None:
            params["seconds"] = str(a.seconds)
        status, body = control(cloud, "POST", "/fault", params)
        if status != 200:
            raise UsageError(body.get("error", "fault refused"))
        _out("faults=%s" % json.dumps(body["faults"], separators=(",", ":")))
        return 0
    if a.action in ("clear", "faults"):
        _, body = control(cloud, "POST" if a.action == "clear" else "GET", "/" + a.action)
        _out("faults=%s" % json.dumps(body.get("faults", []), separators=(",", ":")))
        return 0
    if a.action == "credentials":
        from . import identity

        try:
            identity.check_names(a.pk, a.dn)
        except identity.IdentityError as e:
            raise UsageError(str(e))
        status, body = control(cloud, "GET", "/credentials", {"pk": a.pk, "dn": a.dn, "active_time": a.active_time})
        if status != 200:
            raise UsageError(body.get("error", "refused"))
        _out(json.dumps(body, separators=(",", ":")))
        return 0
    if a.action == "url":
        try:
            storage.check_key(a.key)
        except storage.StoreError as e:
            raise UsageError(e.reason)
        ctype = storage.CONTENT_TYPE if a.method == "PUT" else ""
        _out(storage.presign(storage.master_key(cloud.home), store_base(cloud), a.key, a.method, ctype, a.lifetime))
        return 0
    return _show_log(cloud, a)


def _show_log(cloud, a):
    try:
        for line in follow_lines(storage.log_path(cloud.home), a.follow):
            _out(line.rstrip("\n") if a.json else _format(line))
    except FileNotFoundError:
        raise CloudError("no store log yet in %s" % cloud.home)
    return 0


def _format(line):
    try:
        rec = json.loads(line)
    except ValueError:
        return line.rstrip("\n")
    t = rec.pop("time", 0)
    stamp = time.strftime("%H:%M:%S", time.localtime(t)) + ".%03d" % int(t * 1000 % 1000)
    event = rec.pop("event", "?")
    rest = " ".join("%s=%s" % (k, v if isinstance(v, str) else json.dumps(v)) for k, v in rec.items())
    return "%s %s %s" % (stamp, event, rest)


def add_commands(sub):
    def device(s, timeout=30.0):
        s.add_argument("pk")
        s.add_argument("dn")
        s.add_argument("--timeout", type=float, default=timeout, help="seconds to wait (default %g)" % timeout)

    s = sub.add_parser("picture", help="trigger a picture; prints where it was stored")
    device(s)
    s.add_argument("--out", help="copy the picture to this file")
    s.set_defaults(fn=cmd_picture)

    s = sub.add_parser("alarm", help="alarm flows: wait for one, answer one, set event limits")
    s.add_argument("pk")
    s.add_argument("dn")
    q = s.add_subparsers(dest="action", metavar="ACTION")
    q.required = True
    r = q.add_parser("wait", help="next AlarmEvent / IntelligentAlarm with its stored picture")
    r.add_argument("--kind", choices=("any", "alarm", "intelligent"), default="any")
    r.add_argument("--timeout", type=float, default=60.0)
    r = q.add_parser("url", help="answer an alarm picture id with a signed upload URL")
    r.add_argument("pic_id")
    r.add_argument("--event-type", type=int, default=1)
    r.add_argument("--timeout", type=float, default=30.0)
    r.add_argument("--out", help="copy the picture to this file")
    r = q.add_parser("limit", help="send event limits (and answer later requests with them)")
    r.add_argument("--single", type=int, required=True, help="ms between intelligent alarms, -1 unlimited")
    r.add_argument("--batch", type=int, required=True)
    s.set_defaults(fn=cmd_alarm)

    s = sub.add_parser("objects", help="a device's stored objects")
    s.add_argument("pk")
    s.add_argument("dn")
    q = s.add_subparsers(dest="action", metavar="ACTION")
    q.required = True
    q.add_parser("list", help="one 'time size key path' line per object")
    r = q.add_parser("fetch", help="path, size and MD5 of one object (KEY with or without PK/DN/)")
    r.add_argument("key")
    r.add_argument("--out", help="copy it to this file")
    s.set_defaults(fn=cmd_objects)

    s = sub.add_parser("file", help="file transfer invocation with signed URLs of the object store")
    s.add_argument("pk")
    s.add_argument("dn")
    s.add_argument("direction", choices=("download", "upload"))
    s.add_argument("names", nargs="+", metavar="NAME", help="download: stored keys; upload: file names")
    s.add_argument("--file-type", type=int, default=0, help="fileType of every entry")
    s.add_argument("--lifetime", type=int, default=storage.URL_LIFETIME_S)
    s.set_defaults(fn=cmd_file)

    s = sub.add_parser("store", help="the object store: faults, log, credentials, signed URLs")
    q = s.add_subparsers(dest="action", metavar="ACTION")
    q.required = True
    r = q.add_parser("fault", help="the next requests stall, drop or get an error status")
    r.add_argument("mode", help="stall, drop, garbage, interim, interim-stall, no-position or an HTTP status 400..599")
    r.add_argument("--count", type=int, default=1)
    r.add_argument("--seconds", type=float, help="how long a stall lasts (default 120)")
    q.add_parser("clear", help="forget pending faults")
    q.add_parser("faults", help="pending faults")
    r = q.add_parser("log", help="the store's requests, one a line")
    r.add_argument("--follow", action="store_true")
    r.add_argument("--json", action="store_true")
    r = q.add_parser("credentials", help="a credential set as the agent answers it (JSON)")
    r.add_argument("pk")
    r.add_argument("dn")
    r.add_argument("--active-time", type=int, default=storage.ACTIVE_TIME_S)
    r = q.add_parser("url", help="a pre-signed URL for KEY")
    r.add_argument("key")
    r.add_argument("--method", choices=("PUT", "GET"), default="PUT")
    r.add_argument("--lifetime", type=int, default=storage.URL_LIFETIME_S)
    s.set_defaults(fn=cmd_store)
