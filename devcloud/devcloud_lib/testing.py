"""A local cloud for end-to-end tests: its own temporary directory, a free
port, and a platform connection that has seen every device message since
start.

    with LocalCloud() as cloud:
        cloud.add_device("pk1", "dn1", "secret")
        ... start the device with -H 127.0.0.1 -P cloud.port -C cloud.ca ...
        m = cloud.wait_for(matching(pk="pk1", method="IpcNvrSDKVersion"), 20)
        reply = cloud.call("pk1", "dn1", "StartPushStreaming", {"PushUrl": "..."})
"""

import shutil
import tempfile

from .cloud import HOST, Cloud
from .platform import PlatformClient
from . import topics


def matching(pk=None, dn=None, kind=None, name=None, method=None, topic=None, direction=topics.UP):
    """A predicate over Message for wait_for; None means any. Direction
    defaults to device-to-platform."""

    def pred(m):
        k = m.kind
        return (
            (direction is None or k.direction == direction)
            and (pk is None or k.product_key == pk)
            and (dn is None or k.device_name == dn)
            and (kind is None or k.kind == kind)
            and (name is None or k.name == name)
            and (topic is None or m.topic == topic)
            and (method is None or m.method == method)
        )

    return pred


class LocalCloud(object):
    def __init__(self, home=None, keep=False):
        self._own_home = home is None
        self._keep = keep
        self._home = home
        self.cloud = None
        self._platforms = []
        self.platform = None

    def start(self):
        if self._own_home:
            self._home = tempfile.mkdtemp(prefix="devcloud-")
        self.cloud = Cloud(self._home)
        try:
            self.cloud.up(port=0)
            self.platform = self.new_platform()
            self.platform.subscribe_devices()
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self):
        for p in self._platforms:
            p.close()
        self._platforms = []
        if self.cloud is not None:
            self.cloud.down()
        if self._own_home and not self._keep and self._home:
            shutil.rmtree(self._home, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # where the device connects

    host = HOST

    @property
    def port(self):
        return self.cloud.port

    @property
    def ca(self):
        return self.cloud.ca_path

    @property
    def home(self):
        return self.cloud.home

    # devices and platform

    def add_device(self, product_key, device_name, device_secret):
        return self.cloud.add_device(product_key, device_name, device_secret)

    def new_platform(self):
        p = PlatformClient.for_cloud(self.cloud).connect()
        self._platforms.append(p)
        return p

    def mark(self):
        return self.platform.mark()

    def wait_for(self, predicate, timeout, after=0):
        """First device message matching predicate (see `matching`), or None."""
        return self.platform.wait_for(predicate, timeout, after)

    def messages(self, after=0):
        return self.platform.messages(after)

    def call(self, pk, dn, service, params, timeout=5.0):
        return self.platform.call(pk, dn, service, params, timeout)

    def rrpc(self, pk, dn, service, params, timeout=5.0):
        return self.platform.rrpc(pk, dn, service, params, timeout)

    def set_property(self, pk, dn, params, timeout=5.0):
        return self.platform.set_property(pk, dn, params, timeout)

    def send(self, pk, dn, suffix, payload):
        return self.platform.send(pk, dn, suffix, payload)

    # the object store (see README, "Object store")

    @property
    def store_port(self):
        return self.cloud.status()["store_port"]

    def store_control(self, method, path, params=None):
        """(HTTP status, JSON) of a call to the store's control endpoint."""
        from .storage_cli import control

        return control(self.cloud, method, path, params)

    def store_fault(self, mode, count=1, seconds=None):
        params = {"mode": str(mode), "count": str(count)}
        if seconds is not None:
            params["seconds"] = str(seconds)
        status, body = self.store_control("POST", "/fault", params)
        if status != 200:
            raise ValueError(body.get("error"))

    def wait_object(self, key, timeout):
        """{"key","path","size","md5"} once the store holds key, else None."""
        from .storage_cli import wait_object

        return wait_object(self.cloud, key, timeout)

    def store_log(self):
        from .storage import read_log

        return read_log(self.home)
