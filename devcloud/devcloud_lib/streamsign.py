"""Signed stream URLs, recomputed on the cloud's side.

The cloud hands the device a URL with a token T; the device appends
"-" + signature to the token's value, where the signature is the lowercase
hex HMAC-SHA256, keyed with the Base64-decoded device secret, of
NAME-PK-DN-T. NAME is the stream name for live and voice URLs and the
query value "session" for playback URLs.
"""

import base64
import binascii
import hashlib
import hmac
import secrets
from urllib.parse import parse_qsl

MAX_KEY = 32


class SignError(ValueError):
    pass


def secret_key(device_secret):
    """The HMAC key of a device secret: its Base64 decoding, 1..32 bytes."""
    text = device_secret.strip()
    if len(text) % 4:
        raise SignError("device secret is not Base64 (length %d is not a multiple of 4)" % len(text))
    try:
        key = base64.b64decode(text, validate=True)
    except (binascii.Error, ValueError):
        raise SignError("device secret is not Base64")
    if not 1 <= len(key) <= MAX_KEY:
        raise SignError("device secret decodes to %d bytes (1..%d allowed)" % (len(key), MAX_KEY))
    return key


def signature(device_secret, name, product_key, device_name, token):
    content = "-".join((name, product_key, device_name, token)).encode("utf-8")
    return hmac.new(secret_key(device_secret), content, hashlib.sha256).hexdigest()


def new_token():
    # No "-": the signed value is split at its last one.
    return secrets.token_hex(12)


def split_signed(value):
    """(token, signature) of a signed token value."""
    token, sep, sign = value.rpartition("-")
    if not sep or not token:
        raise SignError("token %r carries no signature" % value)
    return token, sign


def check(device_secret, name, product_key, device_name, token, signed_value):
    """None when signed_value is token plus its valid signature, else the
    reason it is not."""
    try:
        got_token, sign = split_signed(signed_value)
        if got_token != token:
            return "token %r is not the one issued" % got_token
        want = signature(device_secret, name, product_key, device_name, token)
    except SignError as e:
        return str(e)
    if not hmac.compare_digest(want, sign):
        return "signature %r does not match the device secret (expected %s over %s)" % (
            sign, want, "-".join((name, product_key, device_name, token)))  # fmt: skip
    return None


def query_of(text):
    """The query parameters of an app name, tcUrl or stream name: what
    follows the first "?", up to a "/" that starts a stream name."""
    if "?" not in text:
        return {}
    q = text.split("?", 1)[1].split("/", 1)[0]
    out = {}
    for k, v in parse_qsl(q, keep_blank_values=True):
        out.setdefault(k, v)
    return out
