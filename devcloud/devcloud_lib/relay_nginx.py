"""The normal-mode relay: nginx with the RTMP module, run from its own prefix
under HOME/nginx on loopback ports. Every publication is recorded to FLV
under HOME/recordings/nginx; on_publish asks devcloud's relay daemon to
check the signed token; the control module (drop) is open on the nginx
HTTP port for tests and the console."""

import os
import shutil

NGINX = shutil.which("nginx") or "/usr/sbin/nginx"
RTMP_MODULE = "/usr/lib/nginx/modules/ngx_rtmp_module.so"
APP = "live"


def prefix(home):
    return os.path.join(home, "nginx")


def conf_path(home):
    return os.path.join(prefix(home), "nginx.conf")


def record_dir(home):
    return os.path.join(home, "recordings", "nginx")


def write_conf(home, host, rtmp_port, http_port, callback_port):
    p = prefix(home)
    for d in (p, os.path.join(p, "tmp"), record_dir(home)):
        os.makedirs(d, exist_ok=True)
    cb = "http://%s:%d/nginx" % (host, callback_port)
    user = "user root;\n" if os.geteuid() == 0 else ""
    text = """# Written by devcloud up; rewritten on every up.
load_module %(module)s;
%(user)sdaemon off;
master_process on;
worker_processes 1;
pid %(p)s/nginx.pid;
error_log %(p)s/error.log info;
events { worker_connections 256; }
rtmp {
    server {
        listen %(host)s:%(rtmp)d;
        chunk_size 4096;
        notify_method post;
        application %(app)s {
            live on;
            record all;
            record_path %(rec)s;
            record_unique on;
            on_publish %(cb)s/on_publish;
            on_publish_done %(cb)s/on_publish_done;
            on_record_done %(cb)s/on_record_done;
        }
    }
}
http {
    access_log off;
    client_body_temp_path %(p)s/tmp/body;
    server {
        listen %(host)s:%(http)d;
        location /control { rtmp_control all; }
    }
}
""" % {
        "module": RTMP_MODULE, "user": user, "p": p, "host": host, "rtmp": rtmp_port,
        "app": APP, "rec": record_dir(home), "cb": cb, "http": http_port,
    }  # fmt: skip
    path = conf_path(home)
    with open(path + ".new", "w") as f:
        f.write(text)
    os.replace(path + ".new", path)
    return path


def argv(home):
    return [NGINX, "-p", prefix(home) + "/", "-c", conf_path(home), "-e", os.path.join(prefix(home), "error.log")]


def pid_file(home):
    """The pid file nginx writes itself (HOME/nginx.pid is devcloud's)."""
    return os.path.join(prefix(home), "nginx.pid")


def error_log(home):
    return os.path.join(prefix(home), "error.log")
