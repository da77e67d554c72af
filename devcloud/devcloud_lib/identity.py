"""Device identities and the credentials the platform expects of them."""

import hashlib
import hmac
import re

# Limits of the device's own identity buffers: a longer value could never
# log in, so it is refused when the device is registered, not at login.
PRODUCT_KEY_MAX = 20
DEVICE_NAME_MAX = 32
DEVICE_SECRET_MAX = 64

# The fixed signing timestamp every device uses.
SIGN_TIMESTAMP = "2524608000000"

# Product keys and device names become topic levels, the broker user name
# "DN&PK" and lines of the broker's password and ACL files, so anything that
# is special in one of those ('/', '+', '#', '&', ':', blanks) is refused.
_NAME_RE = re.compile(r"^[A-Za-z0-9_.@-]+$")
_SECRET_RE = re.compile(r"^[\x21-\x7e]+$")


class IdentityError(ValueError):
    """A product key, device name or device secret that cannot be used."""


def _check(label, value, limit, pattern, allowed):
    if not isinstance(value, str) or not value:
        raise IdentityError("%s must not be empty" % label)
    if len(value) > limit:
        raise IdentityError("%s '%s' is longer than %d characters" % (label, value, limit))
    if not pattern.match(value):
        raise IdentityError("%s '%s' may only contain %s" % (label, value, allowed))


def check_names(product_key, device_name):
    _check("product key", product_key, PRODUCT_KEY_MAX, _NAME_RE, "letters, digits and _ . @ -")
    _check("device name", device_name, DEVICE_NAME_MAX, _NAME_RE, "letters, digits and _ . @ -")


def check_identity(product_key, device_name, device_secret):
    check_names(product_key, device_name)
    # Never echo a secret back in an error message.
    if not isinstance(device_secret, str) or not device_secret:
        raise IdentityError("device secret must not be empty")
    if len(device_secret) > DEVICE_SECRET_MAX:
        raise IdentityError("device secret is longer than %d characters" % DEVICE_SECRET_MAX)
    if not _SECRET_RE.match(device_secret):
        raise IdentityError("device secret may only contain printable characters without blanks")


def user_name(product_key, device_name):
    return "%s&%s" % (device_name, product_key)


def sign_source(product_key, device_name):
    return "clientId%s.%sdeviceName%sproductKey%stimestamp%s" % (
        product_key,
        device_name,
        device_name,
        product_key,
        SIGN_TIMESTAMP,
    )


def password(product_key, device_name, device_secret):
    """Lowercase hex HMAC-SHA1 of the signing source, keyed with the secret."""
    source = sign_source(product_key, device_name).encode("ascii")
    return hmac.new(device_secret.encode("ascii"), source, hashlib.sha1).hexdigest()
