"""Firmware and configuration pushes of the local cloud: the file is served
by the HTTPS service and the device is told where it is, how large it is and
what its digests are. The device answers with progress reports on
"/ota/device/progress/<pk>/<dn>" ("step" 0..100, or -1 failed, -2 download,
-3 verification, -4 write failed).
"""

import json

from .https_service import FILES_PREFIX, digests


def upgrade_message(version, url, data, md5=None, sha256=None):
    """The upgrade announcement; md5 / sha256 default to the file's own (a
    test may give wrong ones)."""
    from .platform import next_id

    d = digests(data)
    body = {
        "code": "1000",
        "id": next_id(),
        "message": "success",
        "data": {
            "version": version,
            "url": url,
            "size": d["size"],
            "md5": md5 if md5 is not None else d["md5"],
            "sha256": sha256 if sha256 is not None else d["sha256"],
            "signMethod": "SHA256",
            "sign": sha256 if sha256 is not None else d["sha256"],
        },
    }
    return json.dumps(body, separators=(",", ":"))


def upgrade_topic(pk, dn):
    return "/ota/device/upgrade/%s/%s" % (pk, dn)


def progress_topic(pk, dn):
    return "/ota/device/progress/%s/%s" % (pk, dn)


def file_name(version, suffix="bin"):
    safe = "".join(c if c.isalnum() or c in "-_." else "_" for c in version)
    return "fw-%s.%s" % (safe.strip(".") or "image", suffix)


def push_firmware(platform, base_url, store, pk, dn, data, version, md5=None, sha256=None):
    """Stores the image with store(name, data), announces it to the device
    and returns (url, digests). base_url is "https://host:port"."""
    name = file_name(version)
    store(name, data)
    url = base_url + FILES_PREFIX + name
    platform.publish(upgrade_topic(pk, dn), upgrade_message(version, url, data, md5, sha256))
    return url, digests(data)


def config_push_message(config_id, url, data, sign=None):
    from .platform import next_id

    d = digests(data)
    params = {
        "configId": config_id,
        "configSize": d["size"],
        "getType": "file",
        "sign": sign if sign is not None else d["sha256"],
        "signMethod": "Sha256",
        "url": url,
    }
    return json.dumps(
        {"id": next_id(), "version": "1.0", "params": params, "method": "thing.config.push"},
        separators=(",", ":"),
    )


def push_config(platform, base_url, store, pk, dn, data, config_id, sign=None):
    name = "config-%s.json" % "".join(c if c.isalnum() else "_" for c in config_id)
    store(name, data)
    url = base_url + FILES_PREFIX + name
    platform.publish("/sys/%s/%s/thing/config/push" % (pk, dn), config_push_message(config_id, url, data, sign))
    return url, digests(data)
