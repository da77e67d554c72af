"""What every devcloud sub-command shares: exit codes, the usage error,
output lines, body arguments and the device check. The command modules
(cli, console, storage_cli, record_cli, ota_cli) import from here; nothing
here imports them back."""

import json
import os
import sys

from . import identity
from .procs import CloudError, DirWatch

EXIT_OK = 0
EXIT_ERROR = 1
EXIT_USAGE = 2
EXIT_TIMEOUT = 3


class UsageError(Exception):
    pass


def out(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def err(line):
    sys.stderr.write("devcloud: " + line + "\n")
    sys.stderr.flush()


def print_status(st):
    out("home=%s" % st["home"])
    out("host=%s" % st["host"])
    out("port=%s" % (st["port"] or ""))
    out("ca=%s" % st["ca"])
    out("broker_pid=%s" % (st["broker_pid"] or ""))
    out("agent_pid=%s" % (st["agent_pid"] or ""))
    for key in ("relay_pid", "nginx_pid", "rtmp_port", "relay_port", "relay_http_port",
                "nginx_http_port", "store_pid", "store_port", "store_control_port"):
        if key in st:
            out("%s=%s" % (key, st[key] or ""))


def body_arg(text, what):
    """A body given inline, as @FILE, or as - (standard input), so bodies
    longer than a command line fit."""
    if text == "-":
        return sys.stdin.read()
    if text.startswith("@"):
        try:
            with open(text[1:], encoding="utf-8") as f:
                return f.read()
        except (OSError, UnicodeDecodeError) as e:
            raise UsageError("cannot read %s from %s: %s" % (what, text[1:], e))
    return text


def json_arg(text, what):
    text = body_arg(text, what)
    try:
        json.loads(text)
    except RecursionError:
        raise UsageError("%s nests too deeply to be parsed" % what)
    except ValueError as e:
        raise UsageError("%s is not valid JSON (%s): %s" % (what, e, text))
    return text


def known_device(cloud, pk, dn):
    try:
        identity.check_names(pk, dn)
    except identity.IdentityError as e:
        raise UsageError(str(e))
    if cloud.device(pk, dn) is None:
        raise CloudError("device %s/%s is not registered: run 'devcloud device add'" % (pk, dn))


def platform_client(cloud, history=True):
    from .platform import PlatformClient  # late: paho is only needed when talking to the broker

    return PlatformClient.for_cloud(cloud, history=history).connect()


def print_reply(reply, what, timeout):
    if reply is None:
        err("no reply to the %s within %gs" % (what, timeout))
        return EXIT_TIMEOUT
    out(reply.text)
    if reply.json() is None:
        err("the reply is not JSON")
        return EXIT_ERROR
    return EXIT_OK


def follow_lines(path, follow):
    """The complete lines of a log file; with follow, then each line as it
    is appended, until Ctrl-C. FileNotFoundError when there is no file and
    no following."""
    try:
        # Watching starts before the first read, so no append is missed.
        watch = DirWatch(os.path.dirname(path)) if follow else None
    except OSError as e:
        raise CloudError("cannot follow %s: %s" % (path, e))
    pos = 0
    try:
        while True:
            try:
                with open(path, encoding="utf-8", errors="replace") as f:
                    f.seek(pos)
                    for line in f:
                        if not line.endswith("\n"):
                            break
                        pos += len(line.encode("utf-8"))
                        yield line
            except FileNotFoundError:
                if not follow:
                    raise
            if not follow:
                return
            watch.wait()
    finally:
        if watch:
            watch.close()
