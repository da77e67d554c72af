"""The local object store's rules, shared by the store daemon (stored.py),
the agent (which issues credentials) and the console (which signs upload
URLs and reads objects back).

Nothing here trusts the device: credentials are derived from a master key
kept in the home, so the store recomputes every token, secret and
signature instead of looking anything up that the device could have
influenced.

Two ways to write an object:

- temporary credentials (what the agent hands out on
  /vision/pic/kiv/downstream): `PUT /KEY` (or `POST /KEY?append&position=N`)
  with `Host: BUCKET.ENDPOINT`, `Date`, `Content-Type`,
  `x-kiv-security-token` and `Authorization: KIV ACCESSKEY:SIGNATURE`, where
  SIGNATURE is Base64 of HMAC-SHA1, keyed with the access secret, of

      METHOD \\n \\n CONTENT-TYPE \\n DATE \\n x-kiv-security-token:TOKEN \\n /BUCKET/KEY[?QUERY]

  (KEY raw, i.e. percent-decoded; the query as sent, only for appends);
- a pre-signed URL (what the console puts in "TriggerPicCapture"):
  `https://HOST:PORT/BUCKET/KEY?...&Expires=E&AccessKeyId=A&Signature=S`, S
  the same HMAC over `PUT \\n \\n image/jpeg \\n E \\n /BUCKET/KEY`.
"""

import base64
import email.utils
import hashlib
import hmac
import json
import os
import re
import secrets
import threading
import time
import urllib.parse

BUCKET = "devcloud"
CONTENT_TYPE = "image/jpeg"
ACTIVE_TIME_S = 3600
URL_LIFETIME_S = 600
URL_ACCESS_KEY = "devcloud-url"
DATE_SKEW_S = 900
MAX_KEY = 1024
MAX_BODY = 64 * 1024 * 1024
TOKEN_HEADER = "x-kiv-security-token"
NEXT_POSITION_HEADER = "x-kiv-next-append-position"

_KEY_CHARS = re.compile(r"^[A-Za-z0-9_.\-/=+~@]+$")
_TOKEN_RE = re.compile(r"^([A-Za-z0-9_\-]+)\.([0-9a-f]{64})$")
_AUTH_RE = re.compile(r"^KIV ([^:\s]+):([A-Za-z0-9+/=]+)$")


class StoreError(Exception):
    """A refused request: HTTP status, short code for the log, and why."""

    def __init__(self, status, code, reason):
        Exception.__init__(self, reason)
        self.status = status
        self.code = code
        self.reason = reason


# ---- paths ----------------------------------------------------------------------


def root(home):
    return os.path.join(home, "storage")


def objects_dir(home, bucket=BUCKET):
    return os.path.join(root(home), "objects", bucket)


def log_path(home):
    return os.path.join(root(home), "storage.log")


def device_prefix(pk, dn):
    """Every object of a device lies under this key prefix."""
    return "%s/%s/" % (pk, dn)


def check_key(key):
    """A key that is safe as a relative path: no empty, '.' or '..' parts,
    no control characters, bounded length."""
    if not key or len(key) > MAX_KEY:
        raise StoreError(400, "InvalidKey", "object key empty or longer than %d" % MAX_KEY)
    if not _KEY_CHARS.match(key):
        raise StoreError(400, "InvalidKey", "object key %r has characters outside [A-Za-z0-9_.-/=+~@]" % key[:200])
    parts = key.split("/")
    if any(p in ("", ".", "..") for p in parts):
        raise StoreError(400, "InvalidKey", "object key %r has an empty, '.' or '..' part" % key[:200])
    return key


def object_path(home, key, bucket=BUCKET):
    return os.path.join(objects_dir(home, bucket), *check_key(key).split("/"))


# ---- master key and derived secrets ---------------------------------------------

_master_lock = threading.Lock()


def master_key(home):
    """The store's secret, made on first use; every credential is derived
    from it, so the agent and the store agree without sharing state."""
    path = os.path.join(root(home), "master.key")
    with _master_lock:
        try:
            with open(path, "rb") as f:
                data = f.read()
            if len(data) >= 32:
                return data
        except FileNotFoundError:
            pass
        os.makedirs(root(home), mode=0o700, exist_ok=True)
        data = secrets.token_bytes(32)
        tmp = path + ".%d.tmp" % os.getpid()
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        try:
            # Two processes racing: the first link wins, both read it back.
            os.link(tmp, path)
        except FileExistsError:
            pass
        finally:
            os.unlink(tmp)
        with open(path, "rb") as f:
            return f.read()


def _mac(master, label, text):
    return hmac.new(master, (label + "\n" + text).encode("utf-8"), hashlib.sha256)


def access_secret(master, access_key):
    return base64.b64encode(_mac(master, "secret", access_key).digest()).decode("ascii")


def url_secret(master):
    return access_secret(master, URL_ACCESS_KEY)


def _b64url(data):
    return base64.urlsafe_b64encode(data).decode("ascii").rstrip("=")


def _unb64url(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def make_token(master, claims):
    payload = _b64url(json.dumps(claims, separators=(",", ":"), sort_keys=True).encode("utf-8"))
    return payload + "." + _mac(master, "token", payload).hexdigest()


def read_token(master, token, now=None):
    """The claims of a token this store issued and that has not expired."""
    m = _TOKEN_RE.match(token or "")
    if not m:
        raise StoreError(403, "InvalidToken", "security token is missing or malformed")
    want = _mac(master, "token", m.group(1)).hexdigest()
    if not _same(want, m.group(2)):
        raise StoreError(403, "InvalidToken", "security token was not issued by this store")
    claims = json.loads(_unb64url(m.group(1)).decode("utf-8"))
    if (now if now is not None else time.time()) >= claims["exp"]:
        raise StoreError(403, "ExpiredToken", "security token expired at %d" % claims["exp"])
    return claims


def _same(a, b):
    """Constant-time comparison that also takes text the peer made up
    (compare_digest refuses non-ASCII str)."""
    return hmac.compare_digest(a.encode("utf-8", "surrogatepass"), b.encode("utf-8", "surrogatepass"))


def md5_hex(text):
    return hashlib.md5(text.encode("utf-8")).hexdigest()


def issue_credentials(master, pk, dn, endpoint, active_time=ACTIVE_TIME_S, bucket=BUCKET,
                      content_type=CONTENT_TYPE, now=None):  # fmt: skip
    """The "params" of a credential answer for one device."""
    now = int(now if now is not None else time.time())
    ak = "DCAK" + secrets.token_hex(8).upper()
    prefix = device_prefix(pk, dn)
    claims = {"ak": ak, "pk": pk, "dn": dn, "b": bucket, "e": endpoint, "p": prefix,
              "exp": now + max(int(active_time), 1)}  # fmt: skip
    return {
        "accessKey": ak,
        "accessSecret": access_secret(master, ak),
        "stsToken": make_token(master, claims),
        "endpoint": endpoint,
        "bucketName": bucket,
        "fileNamePrefix": prefix,
        "contentType": content_type,
        "activeTime": int(active_time),
    }


def key_prefix(credentials):
    """What the device puts in front of its object names: the prefix, the
    MD5 of the token in lowercase hex, and '_'."""
    return credentials["fileNamePrefix"] + md5_hex(credentials["stsToken"]) + "_"


# ---- signatures -----------------------------------------------------------------


def string_to_sign(method, content_type, date, token, bucket, target):
    return "%s\n\n%s\n%s\n%s:%s\n/%s%s" % (method, content_type, date, TOKEN_HEADER, token, bucket, target)


def sign(secret, text):
    """Base64 of HMAC-SHA1; a key longer than the block is hashed first by
    HMAC itself, as the standard requires."""
    key = secret.encode("utf-8") if isinstance(secret, str) else secret
    return base64.b64encode(hmac.new(key, text.encode("utf-8"), hashlib.sha1).digest()).decode("ascii")


def authorization(access_key, secret, method, content_type, date, token, bucket, target):
    return "KIV %s:%s" % (access_key, sign(secret, string_to_sign(method, content_type, date, token, bucket, target)))


def url_string_to_sign(method, content_type, expires, bucket, key):
    return "%s\n\n%s\n%d\n/%s/%s" % (method, content_type, expires, bucket, key)


def presign(master, base, key, method="PUT", content_type=CONTENT_TYPE, lifetime=URL_LIFETIME_S,
            extra=None, bucket=BUCKET, now=None):  # fmt: skip
    """A pre-signed URL for one object: base is https://HOST:PORT. `extra`
    query parameters (e.g. eventType, id) come first and are not signed."""
    check_key(key)
    expires = int(now if now is not None else time.time()) + int(lifetime)
    sig = sign(url_secret(master), url_string_to_sign(method, content_type, expires, bucket, key))
    query = list((extra or {}).items())
    query += [("Expires", str(expires)), ("AccessKeyId", URL_ACCESS_KEY), ("Signature", sig)]
    path = "/%s/%s" % (bucket, urllib.parse.quote(key, safe="/"))
    return "%s%s?%s" % (base, path, urllib.parse.urlencode(query))


def http_date(t=None):
    return email.utils.formatdate(t, usegmt=True)


def parse_date(text):
    try:
        dt = email.utils.parsedate_to_datetime(text)
        if dt is None or dt.tzinfo is None:
            return None
        return dt.timestamp()
    except (TypeError, ValueError, IndexError, OverflowError):
        return None


# ---- checking a request -----------------------------------------------------------


class Request(object):
    """What the store needs of one HTTP request."""

    def __init__(self, method, target, headers):
        self.method = method
        self.target = target
        self.headers = headers  # lower-case name -> value
        split = urllib.parse.urlsplit(target)
        self.raw_path = split.path
        self.raw_query = split.query
        self.query = dict(urllib.parse.parse_qsl(split.query, keep_blank_values=True))

    def header(self, name):
        return self.headers.get(name.lower())


class Grant(object):
    """A request the store accepted: where it writes and on whose behalf."""

    def __init__(self, kind, bucket, key, device=None, append=None):
        self.kind = kind  # "sts" or "url"
        self.bucket = bucket
        self.key = key
        self.device = device  # "pk/dn" for credentials
        self.append = append  # position for appends, else None


def _check_control(name, value):
    if value is not None and any(ord(c) < 32 or ord(c) == 127 for c in value):
        raise StoreError(400, "InvalidHeader", "%s carries control characters" % name)


def authorize(master, req, now=None):
    """The Grant of a well-signed request, or StoreError saying what is
    wrong (403 for anything about signatures, tokens and names)."""
    now = time.time() if now is None else now
    for name in ("host", "date", "content-type", TOKEN_HEADER, "authorization"):
        _check_control(name, req.header(name))
    if req.header("authorization") is not None:
        return _authorize_sts(master, req, now)
    if "Signature" in req.query:
        return _authorize_url(master, req, now)
    raise StoreError(403, "AccessDenied", "neither an Authorization header nor a signed URL")


def _decoded_path(req):
    try:
        path = urllib.parse.unquote(req.raw_path, errors="strict")
    except UnicodeDecodeError:
        raise StoreError(400, "InvalidURI", "request target %r decodes to no UTF-8 key" % req.target[:200])
    if not path.startswith("/"):
        raise StoreError(400, "InvalidURI", "request target %r is not a path" % req.target[:200])
    return path


def _authorize_sts(master, req, now):
    m = _AUTH_RE.match(req.header("authorization"))
    if not m:
        raise StoreError(403, "InvalidAuthorization", "Authorization is not 'KIV ACCESSKEY:SIGNATURE'")
    access_key, signature = m.groups()
    token = req.header(TOKEN_HEADER)
    if not token:
        raise StoreError(403, "InvalidToken", "no %s header" % TOKEN_HEADER)
    claims = read_token(master, token, now)
    if claims["ak"] != access_key:
        raise StoreError(403, "InvalidAccessKeyId", "access key %s does not belong to the token" % access_key)
    want_host = "%s.%s" % (claims["b"], claims["e"])
    if req.header("host") != want_host:
        raise StoreError(403, "InvalidHost", "Host %r, expected %r" % (req.header("host"), want_host))
    date = req.header("date")
    when = parse_date(date) if date else None
    if when is None:
        raise StoreError(403, "InvalidDate", "Date %r is missing or not an HTTP date" % date)
    if abs(now - when) > DATE_SKEW_S:
        raise StoreError(403, "RequestTimeTooSkewed", "Date %r is %d s off" % (date, now - when))
    key = _decoded_path(req)[1:]
    append = None
    target = "/" + key
    if req.method == "POST":
        append = _append_position(req)
        target += "?" + req.raw_query
    elif req.raw_query:
        raise StoreError(400, "InvalidArgument", "unexpected query %r" % req.raw_query[:200])
    content_type = req.header("content-type") or ""
    text = string_to_sign(req.method, content_type, date, token, claims["b"], target)
    if not _same(sign(access_secret(master, access_key), text), signature):
        raise StoreError(403, "SignatureDoesNotMatch", "signature does not match; expected string to sign %s"
                         % json.dumps(text))  # fmt: skip
    check_key(key)
    want_prefix = claims["p"] + md5_hex(token) + "_"
    if not key.startswith(want_prefix):
        raise StoreError(403, "AccessDenied", "key %r is outside the token's prefix %r" % (key[:200], want_prefix))
    return Grant("sts", claims["b"], key, device="%s/%s" % (claims["pk"], claims["dn"]), append=append)


def _append_position(req):
    if set(req.query) != {"append", "position"} or req.query["append"] != "":
        raise StoreError(400, "InvalidArgument", "POST takes exactly ?append&position=N")
    pos = req.query["position"]
    if not pos.isdigit():
        raise StoreError(400, "InvalidArgument", "position %r is not a number" % pos[:40])
    return int(pos)


def _authorize_url(master, req, now):
    q = req.query
    path = _decoded_path(req)
    bucket, _, key = path[1:].partition("/")
    check_key(key)
    if q.get("AccessKeyId") != URL_ACCESS_KEY:
        raise StoreError(403, "InvalidAccessKeyId", "AccessKeyId %r unknown" % q.get("AccessKeyId"))
    try:
        expires = int(q.get("Expires", ""))
    except ValueError:
        raise StoreError(403, "AccessDenied", "Expires %r is not a number" % q.get("Expires"))
    if now >= expires:
        raise StoreError(403, "AccessDenied", "URL expired at %d" % expires)
    content_type = req.header("content-type") or ""
    text = url_string_to_sign(req.method, content_type, expires, bucket, key)
    if not _same(sign(url_secret(master), text), q.get("Signature", "")):
        raise StoreError(403, "SignatureDoesNotMatch", "URL signature does not match; expected string to sign %s"
                         % json.dumps(text))  # fmt: skip
    return Grant("url", bucket, key)


def setting(home, key):
    """A value of HOME/settings.json, None when absent or unreadable."""
    try:
        with open(os.path.join(home, "settings.json"), encoding="utf-8") as f:
            value = json.load(f)
    except (OSError, ValueError):
        return None
    return value.get(key) if isinstance(value, dict) else None


def update_settings(home, **values):
    path = os.path.join(home, "settings.json")
    try:
        with open(path, encoding="utf-8") as f:
            cur = json.load(f)
    except FileNotFoundError:
        cur = {}
    if not isinstance(cur, dict):
        cur = {}
    cur.update(values)
    tmp = path + ".%d.tmp" % os.getpid()
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(cur, f, indent=1, sort_keys=True)
    os.replace(tmp, path)
    return cur


# ---- log ---------------------------------------------------------------------------


def append_log(home, record):
    """One JSON object a line; a single write, so lines of the store and
    the agent never interleave."""
    record = dict(record)
    record.setdefault("time", round(time.time(), 3))
    line = (json.dumps(record, separators=(",", ":"), sort_keys=False) + "\n").encode("utf-8")
    os.makedirs(root(home), mode=0o700, exist_ok=True)
    fd = os.open(log_path(home), os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    try:
        os.write(fd, line)
    finally:
        os.close(fd)


def read_log(home):
    try:
        with open(log_path(home), encoding="utf-8", errors="replace") as f:
            lines = f.readlines()
    except FileNotFoundError:
        return []
    out = []
    for line in lines:
        try:
            out.append(json.loads(line))
        except ValueError:
            continue
    return out


# ---- objects -------------------------------------------------------------------------


def list_objects(home, prefix="", bucket=BUCKET):
    """(key, size, mtime) of every stored object under the key prefix."""
    base = objects_dir(home, bucket)
    out = []
    for dirpath, _, files in os.walk(base):
        for name in files:
            if name.startswith(".") and name.endswith(".part"):
                continue
            full = os.path.join(dirpath, name)
            key = os.path.relpath(full, base).replace(os.sep, "/")
            if key.startswith(prefix):
                st = os.stat(full)
                out.append((key, st.st_size, st.st_mtime))
    return sorted(out)
