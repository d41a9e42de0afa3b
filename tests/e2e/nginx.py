"""Debian's nginx as a real web server for tests and benchmarks.

`Nginx(root)` starts one nginx in the foreground on 127.0.0.1, serving `root`
over http and https on two free ports above 1024. Its configuration, pid file,
logs, temporary paths and TLS material all live in a temporary folder of its
own; nothing of the system's nginx set-up is read or needed. The https server
presents a certificate for 127.0.0.1 and localhost signed by a CA made here
with openssl (`ca_pem`, `ca_der`). `stop()` ends it and removes the folder.

`Unavailable` is raised when nginx or openssl is missing or nginx does not
start; tests turn it into a skip.
"""
import grp
import os
import pwd
import shutil
import socket
import subprocess
import tempfile
import time

LOG_FORMAT = "'$scheme\\t$request_method\\t$uri\\t$status\\t$http_range\\t$body_bytes_sent'"

CONFIG = """worker_processes 1;
pid {work}/nginx.pid;
error_log {work}/error.log warn;
{user}
events {{ worker_connections 64; }}
http {{
    log_format rr {log_format};
    access_log {work}/access.log rr;
    client_body_temp_path {work}/body;
    proxy_temp_path {work}/proxy;
    fastcgi_temp_path {work}/fastcgi;
    uwsgi_temp_path {work}/uwsgi;
    scgi_temp_path {work}/scgi;
    default_type application/octet-stream;
    sendfile on;
    server {{
        listen 127.0.0.1:{http_port};
        root {root};
    }}
    server {{
        listen 127.0.0.1:{https_port} ssl;
        ssl_certificate {work}/server.pem;
        ssl_certificate_key {work}/server.key;
        root {root};
    }}
}}
"""


class Unavailable(Exception):
    """nginx cannot serve here; the message says why."""


def _program(name, fallback):
    found = shutil.which(name)
    if found is None and os.access(fallback, os.X_OK):
        found = fallback
    if found is None:
        raise Unavailable("%s is not installed (tools/install-deps.sh installs it)" % name)
    return found


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _make_certificates(openssl, work):
    """A CA and a server certificate for 127.0.0.1 and localhost signed by it."""

    def run(*args):
        proc = subprocess.run([openssl] + list(args), cwd=work, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT)
        if proc.returncode != 0:
            raise Unavailable("openssl %s failed: %s" % (args[0], proc.stdout.decode().strip()))

    run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
        "-days", "2", "-subj", "/CN=RiveRoravav test CA",
        "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    run("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr",
        "-subj", "/CN=127.0.0.1")
    with open(os.path.join(work, "server.ext"), "w") as f:
        f.write("basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature,"
                "keyEncipherment\nextendedKeyUsage=serverAuth\n"
                # Wine's check of the name looks at DNS entries only.
                "subjectAltName=IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost\n")
    run("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
        "-CAcreateserial", "-days", "2", "-sha256", "-extfile", "server.ext", "-out", "server.pem")
    run("x509", "-in", "ca.pem", "-outform", "DER", "-out", "ca.der")


def _user_line():
    # Workers of a master running as root would drop to nobody and could not
    # read the test's private temporary folders.
    if os.geteuid() != 0:
        return ""
    return "user %s %s;" % (pwd.getpwuid(os.getuid()).pw_name, grp.getgrgid(os.getgid()).gr_name)


class Nginx:
    def __init__(self, root):
        self.root = os.path.abspath(root)
        nginx = _program("nginx", "/usr/sbin/nginx")
        openssl = _program("openssl", "/usr/bin/openssl")
        self.work = tempfile.mkdtemp(prefix="RrNginx_")
        self.proc = None
        try:
            _make_certificates(openssl, self.work)
            for _ in range(3):
                if self._start(nginx):
                    return
            raise Unavailable("nginx did not start: " + self.error_log())
        except BaseException:
            self.stop()
            raise

    @property
    def ca_pem(self):
        return os.path.join(self.work, "ca.pem")

    @property
    def ca_der(self):
        return os.path.join(self.work, "ca.der")

    def _start(self, nginx):
        """One attempt on two fresh ports; False when a port was taken meanwhile."""
        self.http_port, self.https_port = _free_port(), _free_port()
        conf = os.path.join(self.work, "nginx.conf")
        with open(conf, "w") as f:
            f.write(CONFIG.format(work=self.work, root=self.root, user=_user_line(),
                                  log_format=LOG_FORMAT, http_port=self.http_port,
                                  https_port=self.https_port))
        self.proc = subprocess.Popen(
            [nginx, "-p", self.work, "-c", conf, "-e", os.path.join(self.work, "error.log"),
             "-g", "daemon off;"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                if "Address already in use" in self.error_log():
                    return False
                raise Unavailable("nginx did not start: " + self.error_log())
            if all(self._listening(p) for p in (self.http_port, self.https_port)):
                return True
            time.sleep(0.05)
        raise Unavailable("nginx did not listen within 15 s: " + self.error_log())

    @staticmethod
    def _listening(port):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            return False

    def error_log(self):
        try:
            with open(os.path.join(self.work, "error.log"), errors="replace") as f:
                return f.read().strip() or "(error log empty)"
        except OSError:
            return "(no error log)"

    def url(self, path, https=False):
        scheme, port = ("https", self.https_port) if https else ("http", self.http_port)
        return "%s://127.0.0.1:%d/%s" % (scheme, port, path.lstrip("/"))

    def access_log(self):
        """(scheme, method, path, status, Range header or "", body bytes sent) per
        request, in order."""
        try:
            with open(os.path.join(self.work, "access.log")) as f:
                lines = f.read().splitlines()
        except OSError:
            return []
        out = []
        for line in lines:
            scheme, method, path, status, rng, sent = line.split("\t")
            out.append((scheme, method, path, int(status), "" if rng == "-" else rng, int(sent)))
        return out

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        shutil.rmtree(self.work, ignore_errors=True)
