#!/usr/bin/python3
"""The web console in a real browser, against a running local cloud and the
demo camera:

    run_browser_test.py KESTREL_DEMO SCREENSHOT_DIR

Installs Debian's chromium and the page's npm packages when missing, starts
`devcloud up` in a fresh home, the camera, a direct-to-storage recording and
`devcloud web`, then drives the page with puppeteer-core (browser.js).
Everything it started is stopped on the way out; the screenshots stay.
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
WEB = os.path.dirname(HERE)
DEVCLOUD_DIR = os.path.dirname(WEB)
ROOT = os.path.dirname(DEVCLOUD_DIR)
DEVCLOUD = [sys.executable, os.path.join(DEVCLOUD_DIR, "devcloud")]
CHROMIUM = "/usr/bin/chromium"
PK, DN, DS = "kWebProduct", "web_camera_01", "c2VjcmV0LWtleS13ZWItY29uc29sZQ=="
JPEG = os.path.join(ROOT, "demo", "media", "1.jpg")

sys.path.insert(0, DEVCLOUD_DIR)
from devcloud_lib import storage  # noqa: E402


def log(text):
    print("[web-test] " + text, flush=True)


def ensure_tools():
    if not os.path.exists(CHROMIUM):
        log("installing chromium")
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        subprocess.run(["apt-get", "update", "-qq"], check=True, env=env)
        subprocess.run(["apt-get", "install", "-y", "-qq", "--no-install-recommends", "chromium"],
                       check=True, env=env)  # fmt: skip
    if not os.path.isdir(os.path.join(WEB, "node_modules", "puppeteer-core")) or \
            not os.path.isdir(os.path.join(WEB, "node_modules", "mpegts.js")):
        log("npm install in %s" % WEB)
        subprocess.run(["npm", "install", "--no-audit", "--no-fund"], cwd=WEB, check=True,
                       env=dict(os.environ, PUPPETEER_SKIP_DOWNLOAD="1"))  # fmt: skip


def devcloud(home, *args):
    r = subprocess.run(DEVCLOUD + ["--home", home] + list(args), stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, text=True, timeout=120)  # fmt: skip
    if r.returncode != 0:
        raise RuntimeError("devcloud %s failed (%d): %s%s" % (" ".join(args), r.returncode, r.stdout, r.stderr))
    return dict(line.split("=", 1) for line in r.stdout.splitlines() if "=" in line)


def stop(proc):
    if proc is None or proc.poll() is not None:
        return
    os.killpg(proc.pid, signal.SIGTERM)
    try:
        proc.wait(15)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()


def read_line_with(proc, prefix, timeout):
    """The first line of proc's stdout that starts with prefix."""
    import selectors

    sel = selectors.DefaultSelector()
    sel.register(proc.stdout, selectors.EVENT_READ)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if not sel.select(max(0.0, deadline - time.monotonic())):
            break
        line = proc.stdout.readline()
        if not line:
            break
        if line.startswith(prefix):
            return line[len(prefix):].strip()
    raise RuntimeError("no %s line from %s" % (prefix, proc.args))


def wait_recording(home, timeout):
    """The key of a finished direct-to-storage recording: an FLV object
    whose size stopped changing (the camera appends while it records)."""
    deadline = time.monotonic() + timeout
    last = None
    while time.monotonic() < deadline:
        objs = [(k, s) for k, s, _ in storage.list_objects(home, storage.device_prefix(PK, DN)) if k.endswith(".flv")]
        if objs and objs == last and objs[0][1] > 0:
            return objs[0][0]
        last = objs
        time.sleep(1.0)
    raise RuntimeError("no finished recording in storage within %gs: %s" % (timeout, last))


def check_foreign_requests(url):
    """Another web page, or a rebound DNS name, must not drive the camera
    through the console: each of these is refused with 403."""
    import http.client
    from urllib.parse import urlsplit

    u = urlsplit(url)
    path = "/api/devices/%s/%s/set" % (PK, DN)
    cases = [
        ("POST without the console header", "POST", path, {"Content-Type": "text/plain"}),
        ("POST for another host", "POST", path, {"Host": "rebound.example:%d" % u.port, "X-Devcloud-Console": "1"}),
        ("GET for another host", "GET", "/api/devices", {"Host": "rebound.example:%d" % u.port}),
    ]
    for what, method, target, headers in cases:
        c = http.client.HTTPConnection(u.hostname, u.port, timeout=10)
        c.request(method, target, body=b'{"MicSwitch":0}' if method == "POST" else None, headers=headers)
        status = c.getresponse().status
        c.close()
        if status != 403:
            raise RuntimeError("%s: status %d, not 403" % (what, status))
    log("foreign requests refused (%d cases)" % len(cases))


def main():
    demo_bin, shots = sys.argv[1], sys.argv[2]
    os.makedirs(shots, exist_ok=True)
    ensure_tools()
    state = tempfile.mkdtemp(prefix="kestrel-web-")
    home = os.path.join(state, "cloud")
    demo = web = None
    up = False
    ok = False
    try:
        st = devcloud(home, "up", "--port", "0")
        up = True
        devcloud(home, "device", "add", PK, DN, DS)
        web = subprocess.Popen([sys.executable, "-m", "devcloud_lib.web", "--home", home, "--port", "0"],
                               cwd=DEVCLOUD_DIR, stdout=subprocess.PIPE, stderr=sys.stderr, text=True,
                               start_new_session=True)  # fmt: skip
        url = read_line_with(web, "web_url=", 30)
        log("console at %s" % url)
        check_foreign_requests(url)
        # The console and the watch subscribe before the camera starts, so
        # its first reports (properties, versions) are seen.
        watch = subprocess.Popen(DEVCLOUD + ["--home", home, "watch", PK, DN, "--until", "IpcNvrSDKVersion",
                                             "--timeout", "60", "--no-broker"],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)  # fmt: skip
        if "watching" not in watch.stderr.readline():
            raise RuntimeError("devcloud watch did not start")
        demo_log = open(os.path.join(state, "kestrel_demo.log"), "w")
        demo = subprocess.Popen([demo_bin, "-p", PK, "-n", DN, "-s", DS, "-l", "4", "-H", "127.0.0.1",
                                 "-F", os.path.join(state, "firmware.out"),
                                 "-P", st["port"], "-C", st["ca"], "-S", st["ca"],
                                 "-m", os.path.join(ROOT, "demo", "media")],
                                cwd=state, stdout=demo_log, stderr=subprocess.STDOUT,
                                start_new_session=True)  # fmt: skip
        if watch.wait(90) != 0:
            raise RuntimeError("the camera did not come online (see %s)" % demo_log.name)
        # A short recording straight to storage, for the page to play later.
        devcloud(home, "record", PK, DN, "start", "webrec", "--duration", "4")
        key = wait_recording(home, 60)
        log("recording in storage: %s" % key)
        wav = os.path.join(state, "talk.wav")
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=frequency=440:duration=2",
                        "-ac", "1", "-ar", "8000", wav], check=True, timeout=60)  # fmt: skip
        firmware = os.path.join(state, "firmware.bin")
        with open(firmware, "wb") as f:
            f.write(os.urandom(200 * 1024))
        env = dict(os.environ, CHROMIUM=CHROMIUM, RECORDED="1", PLAYBACK="1", TALK_WAV=wav, FIRMWARE=firmware)
        r = subprocess.run(["node", os.path.join(HERE, "browser.js"), url, shots, JPEG], env=env,
                           cwd=WEB, timeout=600)  # fmt: skip
        ok = r.returncode == 0
    finally:
        stop(web)
        stop(demo)
        if up:
            subprocess.run(DEVCLOUD + ["--home", home, "down"], stdout=subprocess.DEVNULL, timeout=60)
        log("screenshots in %s; state in %s" % (shots, state))
        if ok:
            shutil.rmtree(state, ignore_errors=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
