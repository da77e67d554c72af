"""Command-line verbs of the firmware, configuration and registration
services (added to the main parser by cli.build_parser):

    devcloud firmware push PK DN FILE --version V   serve FILE over HTTPS, announce it
    devcloud config push PK DN FILE --id ID         the same for a configuration file
    devcloud product add PK PRODUCT_SECRET          devices of PK may register themselves
    devcloud https                                  start / show the HTTPS service (port=)

`devcloud watch` shows the device's progress reports ("ota.progress").
"""

import os

from . import https_service, ota
from .cloud import HOST, CloudError


def _out(line):
    print(line, flush=True)


def _read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise CloudError("cannot read %s: %s" % (path, e.strerror))


def _store(cloud):
    def store(name, data):
        d = os.path.join(cloud.home, "files")
        os.makedirs(d, exist_ok=True)
        tmp = os.path.join(d, "." + name + ".tmp")
        with open(tmp, "wb") as f:
            f.write(data)
        os.replace(tmp, os.path.join(d, name))

    return store


def _running(cloud):
    if not cloud.running():
        raise CloudError("the cloud is not running; run 'devcloud up' first")
    return "https://%s:%d" % (HOST, https_service.ensure_daemon(cloud))


def _known(cloud, pk, dn):
    if cloud.device(pk, dn) is None:
        raise CloudError("unknown device %s/%s; add it with 'devcloud device add'" % (pk, dn))


def cmd_https(cloud, a):
    base = _running(cloud)
    _out("https_url=%s" % base)
    _out("https_port=%s" % base.rsplit(":", 1)[1])
    return 0


def cmd_firmware_push(cloud, a):
    from .platform import PlatformClient

    data = _read(a.file)
    _known(cloud, a.pk, a.dn)
    base = _running(cloud)
    with PlatformClient.for_cloud(cloud, history=False).connect() as p:
        url, d = ota.push_firmware(p, base, _store(cloud), a.pk, a.dn, data, a.version)
    _out("url=%s" % url)
    for key in ("size", "md5", "sha256"):
        _out("%s=%s" % (key, d[key]))
    return 0


def cmd_config_push(cloud, a):
    from .platform import PlatformClient

    data = _read(a.file)
    _known(cloud, a.pk, a.dn)
    base = _running(cloud)
    with PlatformClient.for_cloud(cloud, history=False).connect() as p:
        url, d = ota.push_config(p, base, _store(cloud), a.pk, a.dn, data, a.id)
    _out("url=%s" % url)
    _out("sha256=%s" % d["sha256"])
    return 0


def cmd_product_add(cloud, a):
    if not a.pk or not a.product_secret or len(a.product_secret) > 64:
        raise CloudError("product key and a product secret of at most 64 characters required")
    os.makedirs(cloud.home, exist_ok=True)
    https_service.save_product(cloud, a.pk, a.product_secret)
    _out("product=%s" % a.pk)
    return 0


def add_commands(sub):
    s = sub.add_parser("https", help="start the HTTPS service (files, bootstrap, registration)")
    s.set_defaults(fn=cmd_https)

    s = sub.add_parser("firmware", help="firmware pushes over HTTPS")
    fsub = s.add_subparsers(dest="firmware_command", required=True)
    f = fsub.add_parser("push", help="serve FILE and announce it to PK DN")
    f.add_argument("pk")
    f.add_argument("dn")
    f.add_argument("file")
    f.add_argument("--version", required=True)
    f.set_defaults(fn=cmd_firmware_push)

    s = sub.add_parser("config", help="configuration pushes over HTTPS")
    csub = s.add_subparsers(dest="config_command", required=True)
    c = csub.add_parser("push", help="serve FILE and announce it to PK DN")
    c.add_argument("pk")
    c.add_argument("dn")
    c.add_argument("file")
    c.add_argument("--id", required=True)
    c.set_defaults(fn=cmd_config_push)

    s = sub.add_parser("product", help="products whose devices may register themselves")
    psub = s.add_subparsers(dest="product_command", required=True)
    pa = psub.add_parser("add", help="PK PRODUCT_SECRET")
    pa.add_argument("pk")
    pa.add_argument("product_secret")
    pa.set_defaults(fn=cmd_product_add)


__all__ = ["add_commands"]
