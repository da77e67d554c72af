"""Command line of the local cloud. Output meant for scripts is one
key=value or one record per line; errors go to stderr.

Exit codes: 0 done, 1 the cloud could not do it (not running, broker error),
2 bad usage or input, 3 nothing came within the time-out.
"""

import argparse
import json
import os
import signal
import sys
import time

from . import console, identity, ota_cli, record_cli, storage_cli, web
from .cloud import Cloud, CloudError
from .clihelp import EXIT_ERROR, EXIT_OK, EXIT_TIMEOUT, EXIT_USAGE, UsageError  # noqa: F401  (re-exported)
from .clihelp import body_arg as _body_arg
from .clihelp import err as _err
from .clihelp import json_arg as _json_arg
from .clihelp import known_device as _known_device
from .clihelp import out as _out
from .clihelp import platform_client as _platform
from .clihelp import print_reply as _print_reply
from .clihelp import print_status as _print_status


# ---- commands ---------------------------------------------------------------


def cmd_up(cloud, a):
    if a.port is not None and not (0 <= a.port <= 65535):
        raise UsageError("--port must lie in 0..65535")
    _print_status(cloud.up(a.port))
    # The web console comes up with the cloud; without it the cloud still works.
    try:
        _out("web_url=%s" % web.ensure_daemon(cloud))
    except CloudError as e:
        _err(str(e))
    return EXIT_OK


def cmd_down(cloud, a):
    from .https_service import stop_daemon

    stop_daemon(cloud)
    web.stop_daemon(cloud)
    was = cloud.down()
    _out("stopped" if was else "not running")
    return EXIT_OK


def cmd_status(cloud, a):
    st = cloud.status()
    _print_status(st)
    procs = cloud.processes()
    running = all(procs.values())
    state = "running" if running else ("degraded" if any(procs.values()) else "stopped")
    _out("state=%s" % state)
    if state == "degraded":
        _out("down=%s" % ",".join(sorted(k for k, v in procs.items() if not v)))
    return EXIT_OK if running else EXIT_ERROR


def cmd_ca_path(cloud, a):
    if not os.path.exists(cloud.ca_path):
        _err("no CA yet in %s: run 'devcloud up'" % cloud.home)
        return EXIT_ERROR
    _out(cloud.ca_path)
    return EXIT_OK


def cmd_device(cloud, a):
    if a.action == "add":
        try:
            identity.check_identity(a.pk, a.dn, a.ds)
        except identity.IdentityError as e:
            raise UsageError(str(e))
        d = cloud.add_device(a.pk, a.dn, a.ds)
        _out("pk=%s" % d.product_key)
        _out("dn=%s" % d.device_name)
        _out("user=%s" % d.user)
        _out("password=%s" % d.password)
        return EXIT_OK
    if a.action == "remove":
        if not cloud.remove_device(a.pk, a.dn):
            _err("device %s/%s is not registered" % (a.pk, a.dn))
            return EXIT_ERROR
        _out("removed %s/%s" % (a.pk, a.dn))
        return EXIT_OK
    for d in cloud.devices():
        _out("%s %s" % (d.product_key, d.device_name))
    return EXIT_OK


def cmd_call(cloud, a):
    _known_device(cloud, a.pk, a.dn)
    _check_service(a.service)
    params = _json_arg(a.params, "params")
    with _platform(cloud) as p:
        reply = p.call(a.pk, a.dn, a.service, params, a.timeout)
    return _print_reply(reply, "call of %s" % a.service, a.timeout)


def cmd_rrpc(cloud, a):
    _known_device(cloud, a.pk, a.dn)
    _check_service(a.service)
    params = _json_arg(a.params, "params")
    with _platform(cloud) as p:
        reply = p.rrpc(a.pk, a.dn, a.service, params, a.timeout)
    return _print_reply(reply, "RRPC %s" % a.service, a.timeout)


def cmd_set(cloud, a):
    _known_device(cloud, a.pk, a.dn)
    params = _json_arg(a.params, "params")
    with _platform(cloud) as p:
        reply = p.set_property(a.pk, a.dn, params, a.timeout)
    return _print_reply(reply, "property set", a.timeout)


def cmd_send(cloud, a):
    from .platform import check_suffix

    _known_device(cloud, a.pk, a.dn)
    try:
        suffix = check_suffix(a.suffix)
    except ValueError as e:
        raise UsageError(str(e))
    payload = _body_arg(a.payload, "payload") if a.raw else _json_arg(a.payload, "payload")
    with _platform(cloud) as p:
        topic = p.send(a.pk, a.dn, suffix, payload)
    _out("sent %s" % topic)
    return EXIT_OK


def _check_service(name):
    if not name or any(c in name for c in "/+#") or any(not (32 < ord(c) < 127) for c in name):
        raise UsageError("service name %r must be one topic level of printable ASCII" % name)


def cmd_watch(cloud, a):
    from . import topics
    from .platform import BrokerLog, format_line, json_line

    if (a.pk is None) != (a.dn is None):
        raise UsageError("watch takes both PK and DN, or neither")
    if a.pk is not None:
        try:
            identity.check_names(a.pk, a.dn)
        except identity.IdentityError as e:
            raise UsageError(str(e))
    user = identity.user_name(a.pk, a.dn) if a.pk else None
    pending = list(a.until or [])
    count = 0
    deadline = time.monotonic() + a.timeout if a.timeout else None

    def show(line):
        nonlocal count
        _out(line)
        count += 1
        for u in list(pending):
            if u in line:
                pending.remove(u)

    def done():
        if a.until and not pending:
            return True
        return a.count is not None and count >= a.count

    with _platform(cloud, history=False) as p:
        p.subscribe_devices()
        broker = None if a.no_broker else BrokerLog(cloud.log_path)
        # Scripts wait for this line before they make the device talk.
        _err("watching %s (Ctrl-C to stop)" % ("%s/%s" % (a.pk, a.dn) if a.pk else "all devices"))
        while not done():
            if deadline is not None and time.monotonic() >= deadline:
                if a.until or a.count is not None:
                    what = ("'%s'" % "', '".join(pending)) if pending else "%d messages" % a.count
                    _err("watch: time-out before %s" % what)
                    return EXIT_TIMEOUT
                return EXIT_OK
            if p.lost:
                _err("watch: lost the broker")
                return EXIT_ERROR
            m = p.pop(0.2)
            if m is not None:
                k = m.kind
                if a.pk and (k.product_key != a.pk or k.device_name != a.dn):
                    continue
                if not a.all and k.direction != topics.UP:
                    continue
                show(json_line(m) if a.json else format_line(m))
            if broker is not None:
                for note in broker.poll():
                    if user and note.user not in (user, None):
                        continue
                    if a.json:
                        show(json.dumps({"time": round(note.time, 3), "direction": "broker",
                                         "user": note.user, "text": note.text}))  # fmt: skip
                    else:
                        show(note.line())
    return EXIT_OK


def cmd_agent(cloud, a):
    from . import agent

    return agent.main(cloud.home)


def cmd_relayd(cloud, a):
    from . import relayd
    from .cloud import HOST

    return relayd.main(cloud.home, HOST, a.rtmp_port, a.http_port, cloud.path("relay.ready"))


# ---- parser -----------------------------------------------------------------


def _add_lifecycle(sub):
    s = sub.add_parser("up", help="start broker and agent; prints port= and ca= lines")
    s.add_argument("--port", type=int, default=None, help="broker port (default 8883, 0: any free)")
    s.set_defaults(fn=cmd_up)

    s = sub.add_parser("down", help="stop everything 'up' started")
    s.set_defaults(fn=cmd_down)

    s = sub.add_parser("status", help="print state; exit 0 only when running")
    s.set_defaults(fn=cmd_status)

    s = sub.add_parser("ca-path", help="print the CA certificate file the device must trust")
    s.set_defaults(fn=cmd_ca_path)


def _add_device(sub):
    s = sub.add_parser("device", help="device registry")
    dsub = s.add_subparsers(dest="action", metavar="ACTION")
    dsub.required = True
    d = dsub.add_parser("add", help="register PK DN DS (takes effect at once)")
    d.add_argument("pk")
    d.add_argument("dn")
    d.add_argument("ds")
    d = dsub.add_parser("remove", help="unregister PK DN")
    d.add_argument("pk")
    d.add_argument("dn")
    dsub.add_parser("list", help="print 'PK DN' per registered device")
    s.set_defaults(fn=cmd_device)


def _add_watch(sub):
    s = sub.add_parser("watch", help="print what devices send, one message a line")
    s.add_argument("pk", nargs="?")
    s.add_argument("dn", nargs="?")
    s.add_argument("--all", action="store_true", help="also show platform-to-device messages")
    s.add_argument("--json", action="store_true", help="one JSON record a line")
    s.add_argument("--count", type=int, help="exit 0 after this many lines")
    s.add_argument(
        "--until",
        action="append",
        metavar="TEXT",
        help="exit 0 once a line containing TEXT was printed (repeatable: all of them)",
    )
    s.add_argument("--timeout", type=float, help="stop after this many seconds (exit 3 if "
                   "--count/--until are not met)")  # fmt: skip
    s.add_argument("--no-broker", action="store_true", help="hide the broker's refusals")
    s.set_defaults(fn=cmd_watch)


def _add_messages(sub):
    for name, fn, helptext in (
        ("call", cmd_call, "thing-model service call; prints the reply"),
        ("rrpc", cmd_rrpc, "service call over RRPC; prints the reply"),
    ):
        s = sub.add_parser(name, help=helptext)
        s.add_argument("pk")
        s.add_argument("dn")
        s.add_argument("service")
        s.add_argument("params", help="JSON params, @FILE or - (standard input)")
        s.add_argument("--timeout", type=float, default=5.0)
        s.set_defaults(fn=fn)

    s = sub.add_parser("set", help="property set; prints the reply")
    s.add_argument("pk")
    s.add_argument("dn")
    s.add_argument("params", help="JSON params")
    s.add_argument("--timeout", type=float, default=5.0)
    s.set_defaults(fn=cmd_set)

    s = sub.add_parser("send", help="message on an SDK topic, e.g. /vision/biz/event/downstream")
    s.add_argument("pk")
    s.add_argument("dn")
    s.add_argument("suffix", help="topic after /sys/PK/DN")
    s.add_argument("payload", help="JSON payload, @FILE or - (standard input)")
    s.add_argument("--raw", action="store_true", help="send the payload even if it is not JSON")
    s.set_defaults(fn=cmd_send)


def _add_daemons(sub):
    """The processes 'up' starts run the same command line, unlisted."""
    s = sub.add_parser("agent", help=argparse.SUPPRESS)
    s.set_defaults(fn=cmd_agent)

    s = sub.add_parser("relayd", help=argparse.SUPPRESS)
    s.add_argument("--rtmp-port", type=int, required=True)
    s.add_argument("--http-port", type=int, required=True)
    s.set_defaults(fn=cmd_relayd)


def build_parser():
    p = argparse.ArgumentParser(
        prog="devcloud",
        description="Local cloud for the camera device: MQTT broker over TLS, device "
        "registry, platform agent and platform commands.",
    )
    p.add_argument("--home", help="state directory (default $DEVCLOUD_HOME or ./.devcloud)")
    sub = p.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True
    for add in (_add_lifecycle, _add_device, _add_watch, _add_messages, _add_daemons,
                console.add_commands, storage_cli.add_commands, ota_cli.add_commands,
                record_cli.add_commands, web.add_commands):  # fmt: skip
        add(sub)
    return p


def _terminate(signum, frame):
    raise SystemExit(EXIT_OK)


def main(argv=None):
    args = build_parser().parse_args(argv)
    if args.command not in ("agent", "relayd"):
        signal.signal(signal.SIGTERM, _terminate)
    cloud = Cloud(args.home)
    try:
        return args.fn(cloud, args)
    except UsageError as e:
        _err(str(e))
        return EXIT_USAGE
    except CloudError as e:
        _err(str(e))
        return EXIT_ERROR
    except KeyboardInterrupt:
        return EXIT_OK
    except BrokenPipeError:
        # The reader went away (watch | head): not an error of ours.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_OK
