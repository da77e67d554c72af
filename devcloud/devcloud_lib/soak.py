"""A chaos soak: the demo camera against devcloud while a seeded scheduler
drives what a cloud does and injects what goes wrong, sampling the camera's
process every few seconds. Ends with checks, a table, a JSON report and a plot.

    python3 -m devcloud_lib.soak --demo BIN --media DIR [--minutes N] [--seed S]

Everything goes through devcloud's command line (and the peers of chaos.py),
so the soak sees the cloud the way a script does.
"""

import argparse
import glob
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

from . import chaos
from .procs import WaitFailed, wait_exit, wait_for

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DEVCLOUD = ["/usr/bin/python3", os.path.join(ROOT, "devcloud", "devcloud")]
PK, DN, DS = "kSoakProduct", "soak_camera_01", "9f3c1b7e52a04d8e8c6b2f1a7d3e5c90"
SAMPLE_S = 5.0
STORAGE_FAULTS = ("store_", "credentials_bad_endpoint")
STORE_USERS = ("picture", "alarm_picture", "record_start", "record_update", "record_stop")
# Which actions a fault can disturb; faults not named here (the broker's) reach every action.
REACH = {
    "nginx_restart": ("live_normal",),
    "relay_restart": ("live_private", "live_encrypted", "vod_time", "vod_file", "vod_file_unknown", "voice"),
    "store_": STORE_USERS,
    "credentials_bad_endpoint": STORE_USERS,
}
CLK_TCK = os.sysconf("SC_CLK_TCK")
# devcloud's words for "the device never answered" (as opposed to a refusal with a reason).
NO_ANSWER = ("did not publish", "no reply", "no picture arrived", "nothing came", "no answer", "timed out",
             "ffprobe cannot read")


def now():
    return time.time()


class Soak:
    def __init__(self, a):
        self.a = a
        self.state = a.state or tempfile.mkdtemp(prefix="kestrel-soak.")
        self.home = os.path.join(self.state, "cloud")
        self.env = dict(os.environ, DEVCLOUD_HOME=self.home, PYTHONDONTWRITEBYTECODE="1")
        self.actions_rng = random.Random(a.seed)
        self.faults_rng = random.Random(a.seed * 7919 + 1)
        self.events = []  # actions and faults, in order of start
        self.samples = []
        self.lock = threading.Lock()
        self.stop = threading.Event()
        # The sampler runs until sampler_stop, past the load, so that the
        # wind-down can wait on fresh samples; each one is announced.
        self.sampler_stop = threading.Event()
        self.sampled = threading.Condition()
        # Set by SIGINT/SIGTERM: the load ends early and the run still winds
        # down, checks and reports, so no cloud process is left behind.
        self.stop_early = threading.Event()
        self.demo = None
        self.demo_died = None
        self.t0 = now()
        self.cloud = {}
        self.recording = None
        self.rec_n = 0
        self.asked = 0
        self.answered = 0
        self.refused = 0
        self.lost = 0
        self.disturbed = 0
        self.frozen = False
        self.quiet_spells = []  # [start, end] of each storage-quiet spell, seconds

    # ---- devcloud ----------------------------------------------------------------
    def dc(self, *args, timeout=60):
        t = now()
        try:
            p = subprocess.run(DEVCLOUD + list(args), env=self.env, capture_output=True, text=True,
                               timeout=timeout)
            rc, out, err = p.returncode, p.stdout, p.stderr
        except subprocess.TimeoutExpired as e:
            rc, out, err = "timeout", (e.stdout or b"").decode(errors="replace") if isinstance(e.stdout, bytes) \
                else (e.stdout or ""), "no answer in %ss" % timeout
        return rc, out, err, now() - t

    def up(self):
        rc, out, err, _ = self.dc("up", *([] if self.cloud else ["--port", "0"]))
        if rc != 0:
            raise RuntimeError("devcloud up failed: %s %s" % (out, err))
        for line in out.splitlines():
            if "=" in line:
                k, v = line.split("=", 1)
                self.cloud[k] = v

    def pid_of(self, name):
        rc, out, _, _ = self.dc("status")
        for line in out.splitlines():
            if line.startswith(name + "_pid="):
                try:
                    return int(line.split("=", 1)[1])
                except ValueError:
                    return None
        return None

    def settings(self, **values):
        path = os.path.join(self.home, "settings.json")
        try:
            with open(path) as f:
                s = json.load(f)
        except (OSError, ValueError):
            s = {}
        for k, v in values.items():
            if v is None:
                s.pop(k, None)
            else:
                s[k] = v
        tmp = path + ".soak"
        with open(tmp, "w") as f:
            json.dump(s, f)
        os.replace(tmp, path)

    # ---- camera --------------------------------------------------------------------
    def start(self):
        os.makedirs(self.home, exist_ok=True)
        self.up()
        self.dc("device", "add", PK, DN, DS)
        rc, out, err, _ = self.dc("https")
        for line in out.splitlines():
            if "=" in line:
                k, v = line.split("=", 1)
                self.cloud[k] = v
        self.proxy = chaos.CuttingProxy(int(self.cloud["port"]))
        self.silent = chaos.SilentListener(hold=40)
        self.hostile = chaos.HostileRelay(seed=self.a.seed)
        self.watch_log = os.path.join(self.state, "platform.log")
        self.watch = subprocess.Popen(DEVCLOUD + ["watch", PK, DN, "--no-broker"], env=self.env,
                                      stdout=open(self.watch_log, "w"), stderr=subprocess.STDOUT,
                                      start_new_session=True)
        try:
            wait_for("the platform watcher (see %s)" % self.watch_log, lambda: "watching" in open(self.watch_log).read(),
                     10, proc=self.watch, directory=self.state)  # fmt: skip
        except WaitFailed as e:
            raise RuntimeError(str(e))
        self.wav = os.path.join(self.state, "hello.wav")
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=f=440:r=8000", "-t", "2",
                        self.wav], check=True)
        self.fw = os.path.join(self.state, "firmware.bin")
        with open(self.fw, "wb") as f:
            f.write(random.Random(self.a.seed).randbytes(256 * 1024))
        self.cfg = os.path.join(self.state, "config.json")
        with open(self.cfg, "w") as f:
            f.write('{"soak":true,"level":3}\n')
        self.record_names = []
        self.demo_log = os.path.join(self.state, "kestrel_demo.log")
        argv = [self.a.demo, "-p", PK, "-n", DN, "-s", DS, "-l", str(self.a.log_level), "-H", "127.0.0.1",
                "-P", str(self.proxy.port), "-C", self.cloud["ca"], "-S", self.cloud["ca"], "-m", self.a.media,
                "-F", os.path.join(self.state, "fw_written.bin"), "-R", "2000"]
        self.demo = subprocess.Popen(argv, cwd=self.state, stdout=open(self.demo_log, "wb"),
                                     stderr=subprocess.STDOUT, start_new_session=True)
        try:
            wait_for("the camera's version report", lambda: "IpcNvrSDKVersion" in open(self.watch_log).read(), 30,
                     proc=self.demo, directory=self.state)  # fmt: skip
        except WaitFailed as e:
            raise RuntimeError("the camera did not come online (%s); see %s" % (e, self.demo_log))

    def learn_records(self):
        t = int(now())
        rc, out, _, _ = self.dc("records", PK, DN, "list", "--begin", str(t - 86400), "--end", str(t))
        for line in out.splitlines():
            for word in line.split():
                if line.startswith("record ") and word.startswith("FileName="):
                    self.record_names.append(word.split("=", 1)[1])

    # ---- sampling ------------------------------------------------------------------
    def sample(self):
        pid = self.demo.pid
        s = {"t": round(now() - self.t0, 2)}
        try:
            with open("/proc/%d/status" % pid) as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        s["rss_kib"] = int(line.split()[1])
                    elif line.startswith("Threads:"):
                        s["threads"] = int(line.split()[1])
            s["fds"] = len(os.listdir("/proc/%d/fd" % pid))
            with open("/proc/%d/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            s["cpu_ticks"] = int(fields[11]) + int(fields[12])
        except (OSError, ValueError, IndexError):
            s["dead"] = True
        s["log_bytes"] = os.path.getsize(self.demo_log)
        try:
            with open(self.watch_log) as f:
                s["upstream_msgs"] = sum(1 for _ in f)
        except OSError:
            s["upstream_msgs"] = 0
        with self.lock:
            s.update(asked=self.asked, answered=self.answered, refused=self.refused, lost=self.lost)
        prev = self.samples[-1] if self.samples else None
        if prev and "cpu_ticks" in s and "cpu_ticks" in prev:
            s["cpu_pct"] = round(100.0 * (s["cpu_ticks"] - prev["cpu_ticks"]) / CLK_TCK / max(s["t"] - prev["t"], 0.1), 1)
            s["log_kib_per_min"] = round((s["log_bytes"] - prev["log_bytes"]) / 1024.0 * 60 / max(s["t"] - prev["t"], 0.1), 1)
        return s

    def sampler(self):
        while not self.sampler_stop.wait(SAMPLE_S):
            s = self.sample()
            with self.sampled:
                self.samples.append(s)
                self.sampled.notify_all()
            if s.get("dead") and self.demo_died is None:
                self.demo_died = s["t"]
                self.demo.poll()

    def wait_samples(self, ready, timeout):
        """Until ready() holds, judged at each new sample, or timeout."""
        with self.sampled:
            return self.sampled.wait_for(ready, timeout)

    def back_to_idle(self):
        last = self.samples[-1] if self.samples else {}
        return self.demo.poll() is not None or (bool(self.idle) and last.get("fds", 1 << 30) <= self.idle["fds"]
                                                and last.get("threads", 1 << 30) <= self.idle["threads"])  # fmt: skip

    # ---- actions -------------------------------------------------------------------
    def action_table(self):
        t = int(now())
        r = self.actions_rng
        vod_extra = lambda: r.choice([["--pause-at", "1", "--resume-at", "2", "--seek-at", "3:30000"],
                                      ["--speed", "2"], ["--key-only"], ["--speed", "0.5", "--seek-at", "2:10000"]])

        def envelope(service, params):
            return json.dumps({"id": str(r.randrange(10**6, 10**7)), "version": "1.0", "params": params,
                               "method": "thing.service.%s" % service})

        def hostile():
            # Round robin, so every attack runs in a short soak too.
            self.hostile_n = getattr(self, "hostile_n", -1) + 1
            self.hostile.attack = chaos.ATTACKS[self.hostile_n % len(chaos.ATTACKS)]
            url = "rtmp://127.0.0.1:%d/live?token=x&private=%d/hostile%d" % (
                self.hostile.port, r.randrange(2), r.randrange(1000))
            return ["send", PK, DN, "/thing/service/StartPushStreaming",
                    envelope("StartPushStreaming", {"PushUrl": url, "StreamType": 0})], "hostile:" + self.hostile.attack

        def push_to(url_fn, tag):
            def f():
                return ["send", PK, DN, "/thing/service/StartPushStreaming",
                        envelope("StartPushStreaming", {"PushUrl": url_fn(), "StreamType": 0})], tag
            return f

        def record():
            if self.recording is None:
                self.rec_n += 1
                self.recording = "soak%d" % self.rec_n
                return ["record", PK, DN, "start", self.recording, "--duration", "60", "--max-file",
                        str(r.choice([5, 10]))], "record_start"
            if r.random() < 0.5:
                return ["record", PK, DN, "update", self.recording, "--duration", "90"], "record_update"
            rid, self.recording = self.recording, None
            return ["record", PK, DN, "stop", rid], "record_stop"

        secs = lambda: str(r.choice([3, 4, 6]))
        table = [
            (4, lambda: (["live", PK, DN, "--seconds", secs()], "live_normal")),
            (3, lambda: (["live", PK, DN, "--private", "--seconds", secs()], "live_private")),
            (3, lambda: (["live", PK, DN, "--private", "--encrypt", "--seconds", secs()], "live_encrypted")),
            (3, lambda: (["vod", PK, DN, "--begin", str(t - 3600), "--end", str(t), "--seconds", "15"]
                         + vod_extra(), "vod_time")),
            (2, lambda: (["vod", PK, DN, "--file", r.choice(self.record_names or ["none"]), "--seconds", "15"]
                         + vod_extra(), "vod_file")),
            # A name the camera does not have: it must refuse, not publish an empty stream.
            (0.5, lambda: (["vod", PK, DN, "--file", "soak_%d.mp4" % r.randrange(100), "--seconds", "15"],
                           "vod_file_unknown")),
            (2, lambda: (["talk", PK, DN, "--audio", self.wav] + r.choice([[], ["--encrypt"], ["--codec", "pcmu"]]),
                         "voice")),
            (3, lambda: (["picture", PK, DN, "--timeout", "20"], "picture")),
            (2, lambda: (["alarm", PK, DN, "url", "soakpic%d" % r.randrange(10**5), "--event-type",
                          str(r.choice([1, 2, 3])), "--timeout", "20"], "alarm_picture")),
            (3, record),
            (3, lambda: (["set", PK, DN, r.choice(['{"MicSwitch":1}', '{"MicSwitch":0}', '{"Brightness":55}'])],
                         "property_good")),
            (2, lambda: (["set", PK, DN, r.choice(['{"NoSuchThing":1}', '{"MicSwitch":"loud"}', '{"Brightness":[1]}'])],
                         "property_bad")),
            (2, lambda: (["records", PK, DN, r.choice(["list", "times"]), "--begin", str(t - 86400), "--end", str(t)],
                         "records_query")),
            (1, lambda: (["records", PK, DN, "month", time.strftime("%Y%m")], "records_month")),
            (0.4, lambda: (["firmware", "push", PK, DN, self.fw, "--version", "9.%d" % r.randrange(100)],
                           "firmware_push")),
            (0.4, lambda: (["config", "push", PK, DN, self.cfg, "--id", "cfg%d" % r.randrange(1000)], "config_push")),
            (1.5, hostile),
            (0.5, push_to(lambda: "rtmp://127.0.0.1:%d/live?token=x/silent" % self.silent.port, "relay_never_answers")),
            (0.5, push_to(lambda: "rtmp://no-such-relay.invalid:1935/live?token=x/dns", "dns_failing")),
        ]
        return table

    def run_action(self):
        table = self.action_table()
        total = sum(w for w, _ in table)
        x = self.actions_rng.uniform(0, total)
        for w, f in table:
            x -= w
            if x <= 0:
                break
        argv, kind = f()
        if kind in self.a.without:
            return None
        start = now() - self.t0
        with self.lock:
            self.asked += 1
        rc, out, err, took = self.dc(*argv, timeout=60)
        ev = {"type": "action", "kind": kind, "t": round(start, 2), "secs": round(took, 2), "rc": rc,
              "argv": argv[:3] + ["..."] if len(argv) > 3 else argv}
        last = (err.strip().splitlines() or out.strip().splitlines() or [""])[-1]
        ev["reason"] = last[:300]
        if kind == "record_stop" and rc == 0:
            ev["objects"] = [l for l in out.splitlines() if l.startswith("object=")]
        disturbed = self.fault_overlaps(start, start + took, kind)
        with self.lock:
            if rc == 0 and argv[0] == "send":
                # Fire and forget: the camera answers a relay, not the platform.
                ev["outcome"] = "sent"
            elif rc == 0:
                self.answered += 1
                ev["outcome"] = "answered"
            elif disturbed:
                self.disturbed += 1
                ev["outcome"] = "disturbed"
            elif rc in (1, 2) and last and not any(w in last for w in NO_ANSWER):
                self.refused += 1
                ev["outcome"] = "refused"
            else:
                self.lost += 1
                ev["outcome"] = "lost"
            if rc != 0 and disturbed:
                ev["during_fault"] = disturbed
            self.events.append(ev)
        return ev

    # ---- faults --------------------------------------------------------------------
    def fault_overlaps(self, a, b, kind):
        """The faults whose window overlaps [a, b] and that can reach an action of this kind."""
        out = []
        with self.lock:
            for e in self.events:
                if e["type"] == "fault" and e["t"] <= b and e["t"] + e.get("window", 30) >= a:
                    reach = next((v for k, v in REACH.items() if e["kind"].startswith(k)), None)
                    if reach is None or kind in reach:
                        out.append(e["kind"])
        return out

    def fault_table(self):
        r = self.faults_rng

        def broker_kill():
            pid = self.pid_of("broker")
            if pid:
                os.kill(pid, signal.SIGKILL)
            d = r.uniform(1, 4)
            time.sleep(d)
            self.up()
            return {"down_s": round(d, 1), "window": d + 20}

        def broker_freeze():
            pid = self.pid_of("broker")
            d = r.uniform(self.a.keepalive_s * 1.2, self.a.keepalive_s * 1.6)
            if pid:
                os.kill(pid, signal.SIGSTOP)
                self.frozen = pid
                self.stop.wait(d)
                os.kill(pid, signal.SIGCONT)
                self.frozen = False
            return {"frozen_s": round(d, 1), "window": d + 30}

        def mqtt_cut():
            return {"connections": self.proxy.cut(), "window": 20}

        def nginx_restart():
            pid = self.pid_of("nginx")
            if pid:
                os.kill(pid, signal.SIGTERM)
                if not wait_exit(pid, 10):
                    raise RuntimeError("nginx (pid %d) still runs 10 s after SIGTERM" % pid)
            self.up()
            return {"window": 20}

        def relay_restart():
            pid = self.pid_of("relay")
            if pid:
                os.kill(pid, signal.SIGKILL)
                if not wait_exit(pid, 10):
                    raise RuntimeError("the relay (pid %d) still runs 10 s after SIGKILL" % pid)
            self.up()
            return {"window": 20}

        def store(mode):
            def f():
                n = r.randint(1, 3)
                args = ["store", "fault", mode, "--count", str(n)]
                if "stall" in mode:
                    args += ["--seconds", str(r.choice([5, 10, 20]))]
                rc, _, err, _ = self.dc(*args)
                return {"count": n, "rc": rc, "window": 40}
            return f

        def bad_endpoint():
            self.settings(storage_endpoint=r.choice(["127.0.0.1:1", "256.1.1.1:443", "no-such-store.invalid:443"]))
            self.stop.wait(r.uniform(10, 25))
            self.settings(storage_endpoint=None)
            return {"window": 45}

        return [
            (1, broker_kill, "broker_kill"),
            (0.6, broker_freeze, "broker_freeze"),
            (2, mqtt_cut, "mqtt_cut"),
            (1.5, nginx_restart, "nginx_restart"),
            (1, relay_restart, "relay_restart"),
            (1, store("403"), "store_403"),
            (1, store("409"), "store_409"),
            (1, store("500"), "store_500"),
            (1, store("drop"), "store_drop"),
            (1, store("stall"), "store_stall"),
            (0.7, store("garbage"), "store_garbage"),
            (0.7, store("interim-stall"), "store_interim_stall"),
            (0.7, store("no-position"), "store_no_position"),
            (1, bad_endpoint, "credentials_bad_endpoint"),
        ]

    def storage_quiet(self, t):
        """Whether t (seconds since the start of the load) lies in the
        storage-quiet half of its cycle. Armed store faults wait for the next
        upload, so without quiet spells every upload meets one and a soak
        never shows that pictures and recordings still get through."""
        cycle = self.a.storage_cycle
        return cycle > 0 and (t - self.t_load) % cycle >= cycle / 2

    def faulter(self):
        table = self.fault_table()
        quiet_table = [row for row in table if not row[2].startswith(STORAGE_FAULTS)]
        was_quiet = False
        while not self.stop.wait(self.faults_rng.uniform(*self.a.fault_gap)):
            t = now() - self.t0
            quiet = self.storage_quiet(t)
            if quiet and not was_quiet:
                # Faults armed and not yet met are dropped: the spell is quiet from here on.
                self.dc("store", "clear")
                with self.lock:
                    self.quiet_spells.append([round(t, 2), None])
            elif was_quiet and not quiet:
                with self.lock:
                    self.quiet_spells[-1][1] = round(t, 2)
            was_quiet = quiet
            rows = quiet_table if quiet else table
            x = self.faults_rng.uniform(0, sum(w for w, _, _ in rows))
            for w, f, kind in rows:
                x -= w
                if x <= 0:
                    break
            ev = {"type": "fault", "kind": kind, "t": round(now() - self.t0, 2), "window": 60}
            with self.lock:
                self.events.append(ev)
            try:
                ev.update(f())
            except Exception as e:  # a fault that could not be injected is recorded, not fatal
                ev["error"] = repr(e)

    # ---- the run -------------------------------------------------------------------
    def quiesce(self):
        if self.frozen:
            os.kill(self.frozen, signal.SIGCONT)
        self.dc("store", "clear")
        self.settings(storage_endpoint=None)
        if self.recording:
            self.dc("record", PK, DN, "stop", self.recording)
            self.recording = None
        self.up()

    def run(self):
        self.start()
        self.t_online = now() - self.t0
        self.learn_records()
        threading.Thread(target=self.sampler, daemon=True).start()
        # Idle level: a few samples before the first command.
        self.wait_samples(lambda: len(self.samples) >= 3, 3 * SAMPLE_S + 10)
        idle = [s for s in self.samples if not s.get("dead")]
        self.idle = {"fds": max(s["fds"] for s in idle), "threads": max(s["threads"] for s in idle)} if idle else {}
        self.t_load = now() - self.t0
        end = now() + self.a.minutes * 60
        fth = threading.Thread(target=self.faulter, daemon=True)
        fth.start()
        while now() < end and self.demo.poll() is None and not self.stop_early.is_set():
            ev = self.run_action()
            if ev is None:
                continue
            print("%7.1f s  %-22s %-9s %5.1f s  %s" % (ev["t"], ev["kind"], ev["outcome"], ev["secs"],
                                                      ev["reason"][:60] if ev["rc"] else ""), flush=True)
            self.stop_early.wait(self.actions_rng.uniform(0.5, 3.0))
        self.stop.set()
        fth.join(timeout=120)
        self.stop.clear()
        self.t_load_end = now() - self.t0
        if self.quiet_spells and self.quiet_spells[-1][1] is None:
            self.quiet_spells[-1][1] = round(self.t_load_end, 2)
        self.quiesce()
        # Back to idle: sessions end, connections close; wait for it, bounded,
        # then for one sample more.
        self.wait_samples(self.back_to_idle, 90)
        n = len(self.samples)
        self.wait_samples(lambda: len(self.samples) > n, SAMPLE_S + 10)
        self.stop.set()
        self.sampler_stop.set()
        final = self.sample()
        self.samples.append(final)
        # Stop the camera the way an operator does and see that it goes.
        self.exit_status = None
        if self.demo.poll() is None:
            self.demo.send_signal(signal.SIGTERM)
            try:
                self.exit_status = self.demo.wait(15)
            except subprocess.TimeoutExpired:
                self.demo.kill()
                self.exit_status = "hung"
        else:
            self.exit_status = self.demo.returncode
        return final

    def teardown(self):
        self.sampler_stop.set()
        for p in (self.demo, getattr(self, "watch", None)):
            if p is not None and p.poll() is None:
                p.kill()
                p.wait()
        self.dc("down")

    # ---- checks and report -----------------------------------------------------------
    def decode_objects(self):
        base = os.path.join(self.home, "storage", "objects", "devcloud", PK, DN)
        results = []
        for path in sorted(glob.glob(os.path.join(base, "**", "*"), recursive=True)):
            if not os.path.isfile(path) or path.endswith(".jpg") or "/files/" in path:
                continue
            p = subprocess.run(["ffmpeg", "-v", "error", "-xerror", "-i", path, "-f", "null", "-"],
                               capture_output=True, text=True)
            results.append({"object": os.path.relpath(path, base), "size": os.path.getsize(path),
                            "ok": p.returncode == 0, "error": p.stderr.strip()[:300]})
        return results

    def checks(self, final):
        a = self.a
        res = []
        alive = self.demo_died is None and self.exit_status == 0
        res.append(("camera never died", alive, "died at %s s" % self.demo_died if self.demo_died is not None
                    else "exit status on SIGTERM: %s" % self.exit_status))
        res.append(("no command lost", self.lost == 0,
                    "asked %d: answered %d, refused %d, sent to a relay %d, disturbed by faults %d, lost %d"
                    % (self.asked, self.answered, self.refused,
                       self.asked - self.answered - self.refused - self.disturbed - self.lost,
                       self.disturbed, self.lost)))
        objs = self.decode_objects()
        bad = [o for o in objs if not o["ok"]]
        res.append(("stored recordings decode", not bad,
                    "%d objects, %d do not decode%s" % (len(objs), len(bad),
                                                       (": " + bad[0]["object"]) if bad else "")))
        self.objects = objs
        # What the quiet spells are for: uploads get through once the store behaves.
        ups = [e for e in self.events if e["type"] == "action" and e["kind"] in ("picture", "alarm_picture")
               and self.storage_quiet(e["t"]) and not self.fault_overlaps(e["t"], e["t"] + e["secs"], e["kind"])]
        stored = sum(1 for e in ups if e["outcome"] == "answered")
        long_run = self.t_load_end - self.t_load >= 600
        res.append(("uploads in quiet spells", stored == len(ups) and (not long_run or (stored and objs)),
                    "%d of %d pictures stored, %d recording objects, %d spells%s"
                    % (stored, len(ups), len(objs), len(self.quiet_spells),
                       "" if not long_run or (stored and objs) else " (a long run must store both)")))
        fd_ok = final.get("fds", 1 << 30) <= self.idle.get("fds", 0) + a.fd_slack
        res.append(("descriptors back to idle", fd_ok, "idle %s, end %s" % (self.idle.get("fds"), final.get("fds"))))
        th_ok = final.get("threads", 1 << 30) <= self.idle.get("threads", 0)
        res.append(("threads back to idle", th_ok,
                    "idle %s, end %s" % (self.idle.get("threads"), final.get("threads"))))
        warm = self.t_load + min(300.0, 0.4 * (self.t_load_end - self.t_load))
        loaded = [s for s in self.samples if "rss_kib" in s and s["t"] <= self.t_load_end + 1]
        after = [s for s in loaded if s["t"] >= warm]
        growth = 0.0
        if len(after) >= 2:
            first = sorted(s["rss_kib"] for s in after[:3])[len(after[:3]) // 2]
            last = sorted(s["rss_kib"] for s in after[-3:])[len(after[-3:]) // 2]
            growth = (last - first) / 1024.0
        res.append(("memory growth after warm-up", growth <= a.max_growth_mib,
                    "%.2f MiB from %.0f s to %.0f s (limit %.1f)" % (growth, warm, self.t_load_end, a.max_growth_mib)))
        span_min = max((self.t_load_end - self.t_load) / 60.0, 1e-3)
        start_log = next((s["log_bytes"] for s in self.samples if s["t"] >= self.t_load), 0)
        end_log = next((s["log_bytes"] for s in reversed(self.samples) if s["t"] <= self.t_load_end + SAMPLE_S), 0)
        per_min = (end_log - start_log) / 1024.0 / 1024.0 / span_min
        res.append(("log volume per minute", per_min <= a.max_log_mib,
                    "%.3f MiB/min at level %d (limit %.1f)" % (per_min, a.log_level, a.max_log_mib)))
        return res

    def report(self, final, checks):
        faults = {}
        for e in self.events:
            if e["type"] == "fault":
                faults[e["kind"]] = faults.get(e["kind"], 0) + 1
        actions = {}
        for e in self.events:
            if e["type"] == "action":
                d = actions.setdefault(e["kind"], {})
                d[e["outcome"]] = d.get(e["outcome"], 0) + 1
        hostile = [{"t": round(t - self.t0, 1), "attack": k, "bytes": b, "outcome": o}
                   for t, k, b, o in self.hostile.log]
        rep = {"seed": self.a.seed, "minutes": self.a.minutes, "stopped_early": self.stop_early.is_set(),
               "state": self.state,
               "demo_log": self.demo_log, "idle": self.idle, "final": final,
               "checks": [{"name": n, "ok": ok, "detail": d} for n, ok, d in checks],
               "faults_by_kind": faults, "storage_quiet_spells": self.quiet_spells, "faults_total": sum(faults.values()), "actions_by_kind": actions,
               "hostile_relay": hostile, "objects": self.objects, "samples": self.samples, "events": self.events}
        path = os.path.join(self.state, "soak-report.json")
        with open(path, "w") as f:
            json.dump(rep, f, indent=1)
        print()
        print("%-30s %-5s %s" % ("check", "", "figures"))
        for n, ok, d in checks:
            print("%-30s %-5s %s" % (n, "ok" if ok else "FAIL", d))
        print("faults injected: %d (%s)" % (sum(faults.values()),
                                           ", ".join("%s %d" % kv for kv in sorted(faults.items()))))
        print("actions: %s" % ", ".join("%s %s" % (k, "/".join("%s:%d" % kv for kv in sorted(v.items())))
                                        for k, v in sorted(actions.items())))
        plot = self.plot(os.path.join(self.state, "soak-plot.png"))
        print("camera log: %s" % self.demo_log)
        print("report: %s" % path)
        print("plot: %s" % (plot or "not drawn (python3-matplotlib missing)"))
        return all(ok for _, ok, _ in checks)

    def plot(self, path):
        try:
            import matplotlib
            matplotlib.use("Agg")
            import matplotlib.pyplot as plt
        except ImportError:
            return None
        s = [x for x in self.samples if "rss_kib" in x]
        t = [x["t"] for x in s]
        rows = [("RSS (MiB)", [x["rss_kib"] / 1024.0 for x in s]), ("descriptors", [x["fds"] for x in s]),
                ("threads", [x["threads"] for x in s]), ("CPU %", [x.get("cpu_pct", 0) for x in s]),
                ("log KiB/min", [x.get("log_kib_per_min", 0) for x in s])]
        fig, axes = plt.subplots(len(rows), 1, figsize=(11, 10), sharex=True)
        faults = [e for e in self.events if e["type"] == "fault"]
        kinds = sorted({e["kind"] for e in faults})
        cmap = plt.get_cmap("tab20")
        colour = {k: cmap(i % 20) for i, k in enumerate(kinds)}
        for ax, (label, ys) in zip(axes, rows):
            ax.plot(t, ys, color="black", linewidth=1)
            ax.set_ylabel(label)
            for e in faults:
                ax.axvline(e["t"], color=colour[e["kind"]], alpha=0.6, linewidth=0.8)
            for a, b in self.quiet_spells:
                ax.axvspan(a, b, color="green", alpha=0.06)
            ax.grid(alpha=0.3)
        from matplotlib.lines import Line2D
        axes[0].legend([Line2D([0], [0], color=colour[k]) for k in kinds], kinds, fontsize=6, ncol=4,
                       loc="upper left")
        axes[-1].set_xlabel("seconds (seed %d; vertical lines: faults; green: no store faults)" % self.a.seed)
        fig.suptitle("kestrel soak: %d min, %d faults" % (self.a.minutes, len(faults)))
        fig.tight_layout()
        fig.savefig(path, dpi=90)
        plt.close(fig)
        return path


def main(argv=None):
    p = argparse.ArgumentParser(prog="soak")
    p.add_argument("--demo", required=True)
    p.add_argument("--media", required=True)
    p.add_argument("--minutes", type=float, default=10.0)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--state", help="state directory (default: a new one under $TMPDIR)")
    p.add_argument("--log-level", type=int, default=5)
    p.add_argument("--keepalive-s", type=float, default=30.0, help="the camera's MQTT keep-alive")
    p.add_argument("--fault-gap", type=float, nargs=2, default=(5.0, 12.0), metavar=("MIN", "MAX"))
    p.add_argument("--storage-cycle", type=float, default=180.0,
                   help="seconds of a storage cycle: store faults in its first half, none in the second (0: always)")
    p.add_argument("--max-growth-mib", type=float, default=2.0)
    p.add_argument("--max-log-mib", type=float, default=1.0, help="MiB of log per minute")
    p.add_argument("--fd-slack", type=int, default=0)
    p.add_argument("--without", action="append", default=[], metavar="KIND",
                   help="leave this action kind out (repeatable)")
    a = p.parse_args(argv)
    soak = Soak(a)

    def stop_early(signum, _frame):
        if soak.stop_early.is_set():
            raise KeyboardInterrupt  # a second signal: tear down at once
        print("soak: %s, ending the load early" % signal.Signals(signum).name, flush=True)
        soak.stop_early.set()

    signal.signal(signal.SIGINT, stop_early)
    signal.signal(signal.SIGTERM, stop_early)
    print("soak: state in %s, seed %d, %g min" % (soak.state, a.seed, a.minutes), flush=True)
    try:
        final = soak.run()
        checks = soak.checks(final)
    finally:
        soak.teardown()
    ok = soak.report(final, checks)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
