"""The device's topics: which it may read, which it may write, and what a
message on each of them is.

One table serves both the broker's ACL and the way `watch` names messages, so
the two can never disagree about what a device is allowed to send.
"""

DOWN = "down"  # platform -> device: the device may read it
UP = "up"  # device -> platform: the device may write it
BOTH = "both"  # one filter covers requests and their replies

# (prefix template, suffix filter, direction, kind). Prefix templates take the
# product key and device name. Entries are tried in order, so the specific ones
# come before the catch-alls they overlap with.
_SYS = "/sys/{pk}/{dn}/"
TABLE = [
    # Thing model, downstream
    (_SYS, "thing/model/down_raw", DOWN, "raw.down"),
    (_SYS, "thing/model/up_raw_reply", DOWN, "raw.up_reply"),
    (_SYS, "thing/event/property/post_reply", DOWN, "property.post_reply"),
    (_SYS, "thing/event/+/post_reply", DOWN, "event.post_reply"),
    (_SYS, "thing/deviceinfo/update_reply", DOWN, "deviceinfo.update_reply"),
    (_SYS, "thing/deviceinfo/delete_reply", DOWN, "deviceinfo.delete_reply"),
    (_SYS, "thing/dynamicTsl/get_reply", DOWN, "dynamicTsl.get_reply"),
    (_SYS, "rrpc/request/+", DOWN, "rrpc.request"),
    ("/ext/ntp/{pk}/{dn}/", "response", DOWN, "ntp.response"),
    ("/ext/error/{pk}/{dn}", "", DOWN, "cloud.error"),
    (_SYS, "_thing/event/notify", DOWN, "event.notify"),
    ("/ota/device/upgrade/{pk}/{dn}", "", DOWN, "ota.upgrade"),
    # Gateway downstream
    (_SYS, "thing/topo/add/notify", DOWN, "topo.add.notify"),
    (_SYS, "thing/gateway/permit", DOWN, "gateway.permit"),
    (_SYS, "thing/sub/register_reply", DOWN, "sub.register_reply"),
    (_SYS, "thing/sub/unregister_reply", DOWN, "sub.unregister_reply"),
    (_SYS, "thing/topo/add_reply", DOWN, "topo.add_reply"),
    (_SYS, "thing/topo/delete_reply", DOWN, "topo.delete_reply"),
    (_SYS, "thing/topo/get_reply", DOWN, "topo.get_reply"),
    (_SYS, "thing/list/found_reply", DOWN, "list.found_reply"),
    ("/ext/session/{pk}/{dn}/", "combine/login_reply", DOWN, "session.login_reply"),
    ("/ext/session/{pk}/{dn}/", "combine/logout_reply", DOWN, "session.logout_reply"),
    (_SYS, "thing/disable", DOWN, "thing.disable"),
    (_SYS, "thing/enable", DOWN, "thing.enable"),
    (_SYS, "thing/delete", DOWN, "thing.delete"),
    # Thing model, upstream
    (_SYS, "thing/event/property/post", UP, "property.post"),
    (_SYS, "thing/event/+/post", UP, "event.post"),
    (_SYS, "thing/deviceinfo/update", UP, "deviceinfo.update"),
    (_SYS, "thing/deviceinfo/delete", UP, "deviceinfo.delete"),
    (_SYS, "thing/model/up_raw", UP, "raw.up"),
    (_SYS, "thing/dynamicTsl/get", UP, "dynamicTsl.get"),
    (_SYS, "rrpc/response/+", UP, "rrpc.response"),
    (_SYS, "_thing/event/notify_reply", UP, "event.notify_reply"),
    (_SYS, "thing/status/update", UP, "status.update"),
    ("/ext/ntp/{pk}/{dn}/", "request", UP, "ntp.request"),
    ("/ota/device/inform/{pk}/{dn}", "", UP, "ota.inform"),
    ("/ota/device/progress/{pk}/{dn}", "", UP, "ota.progress"),
    # Gateway upstream
    (_SYS, "thing/sub/register", UP, "sub.register"),
    (_SYS, "thing/sub/unregister", UP, "sub.unregister"),
    (_SYS, "thing/topo/add", UP, "topo.add"),
    (_SYS, "thing/topo/delete", UP, "topo.delete"),
    (_SYS, "thing/topo/get", UP, "topo.get"),
    (_SYS, "thing/list/found", UP, "list.found"),
    ("/ext/session/{pk}/{dn}/", "combine/login", UP, "session.login"),
    ("/ext/session/{pk}/{dn}/", "combine/logout", UP, "session.logout"),
    # Calls come down on thing/service/NAME, replies go up on NAME_reply.
    (_SYS, "thing/service/+", BOTH, "service"),
    # Property set/get have two levels under thing/service/, so the filter
    # above does not cover them.
    (_SYS, "thing/service/property/set", DOWN, "property.set"),
    (_SYS, "thing/service/property/set_reply", UP, "property.set_reply"),
    (_SYS, "thing/service/property/get", DOWN, "property.get"),
    (_SYS, "thing/service/property/get_reply", UP, "property.get_reply"),
    # The SDK's own topics: ".../downstream" and ".../invoke" come down (the
    # four filters the device subscribes), everything else under vision/ goes
    # up ("/vision/biz/dev/core/ability/upstream" has five levels).
    (_SYS, "vision/+/+/+/downstream", DOWN, "sdk"),
    (_SYS, "vision/+/+/+/invoke", DOWN, "sdk"),
    (_SYS, "vision/+/+/downstream", DOWN, "sdk"),
    (_SYS, "vision/+/+/invoke", DOWN, "sdk"),
    (_SYS, "vision/#", UP, "sdk"),
]


def filters_for(product_key, device_name, direction):
    """Topic filters of one device in one direction (DOWN or UP); BOTH
    entries belong to either."""
    out = []
    for prefix, suffix, d, _ in TABLE:
        if d == direction or d == BOTH:
            out.append(prefix.format(pk=product_key, dn=device_name) + suffix)
    return out


def acl_lines(product_key, device_name, user):
    """The broker ACL section confining one device to its own topics."""
    read = filters_for(product_key, device_name, DOWN)
    write = filters_for(product_key, device_name, UP)
    lines = ["user %s" % user]
    for f in read:
        lines.append(("topic readwrite %s" if f in write else "topic read %s") % f)
    for f in write:
        if f not in read:
            lines.append("topic write %s" % f)
    return lines


def matches(topic_filter, topic):
    """MQTT filter matching: '+' one level, '#' the rest (also none)."""
    f = topic_filter.split("/")
    t = topic.split("/")
    for i, level in enumerate(f):
        if level == "#":
            return True
        if i >= len(t):
            return False
        if level != "+" and level != t[i]:
            return False
    return len(f) == len(t)


class Kind(object):
    """What a message on a topic is, seen from the platform."""

    __slots__ = ("direction", "kind", "name", "product_key", "device_name")

    def __init__(self, direction, kind, name, product_key, device_name):
        self.direction = direction
        self.kind = kind
        self.name = name  # event id, service name, rrpc id or SDK topic; may be ""
        self.product_key = product_key
        self.device_name = device_name

    def __repr__(self):
        return "Kind(%s, %s, %r, %s/%s)" % (
            self.direction,
            self.kind,
            self.name,
            self.product_key,
            self.device_name,
        )


def _device_of(topic):
    """Product key and device name named by a topic, or (None, None)."""
    levels = topic.split("/")
    if len(levels) >= 4 and levels[0] == "" and levels[1] == "sys":
        return levels[2], levels[3]
    if len(levels) >= 5 and levels[0] == "" and levels[1] == "ext":
        return levels[3], levels[4]
    if len(levels) == 6 and levels[0] == "" and levels[1] == "ota" and levels[2] == "device":
        return levels[4], levels[5]
    return None, None


def classify(topic):
    pk, dn = _device_of(topic)
    if pk is None or not pk or not dn:
        return Kind("?", "other", "", None, None)
    for prefix, suffix, direction, kind in TABLE:
        head = prefix.format(pk=pk, dn=dn)
        if not matches(head + suffix, topic):
            continue
        rest = topic[len(head) :]
        levels = rest.split("/")
        name = ""
        if kind == "service":
            name = levels[-1]
            if name.endswith("_reply"):
                direction = UP
                name = name[: -len("_reply")]
                kind = "service.reply"
            else:
                direction = DOWN
                kind = "service.call"
        elif kind in ("event.post", "event.post_reply"):
            name = levels[2]
        elif kind in ("rrpc.request", "rrpc.response"):
            name = levels[-1]
        elif kind == "sdk":
            name = "/" + rest
        return Kind(direction, kind, name, pk, dn)
    return Kind("?", "other", "", pk, dn)
