"""HTTP servers of the test suite and the benchmarks.

Nginx     a real server (nginx-light) with its own generated configuration: root folder, listen
          address and port, access log, no daemon, pid file and temporary files in a folder of
          its own. An optional command prefix (for example ["ip", "netns", "exec", "NAME"]) runs
          it inside a network namespace, where it can listen on port 80 of that namespace's
          loopback. Readiness is the pid file, which nginx writes once it listens, so no
          connection from outside the namespace is needed.
ScriptedServer
          a small server on the loopback that answers each connection the way its request path
          names (GET /BEHAVIOUR...): correct, split and stalled heads, and the misbehaviours a
          download client must survive (see BEHAVIOURS). It records every request it received.

FaultyProxy
          a proxy in front of a server that spoils the first answer for one kind of path once:
          it cuts the connection, stalls, or cuts it and replaces the served file, or answers
          503 with a Retry-After; or it cuts it and then spoils ranges: weak ETags, a 206 with
          another ETag or from another offset, Range ignored, 416 (see PROXY_FAULTS). It logs
          each request's path, Range and If-Range, status and the body bytes it passed on.

Namespace
          a private network namespace whose hosts file maps chosen names to 127.0.0.1, so that an
          unchanged program resolves its fixed download host to a server of the test (run the
          server and the client with `prefix` in front of their command lines); optionally with
          a throwaway CA as the only trusted one, and direct connections to ports 80 and 443
          rejected so that only a proxy gets through.
Tinyproxy a real HTTP proxy (Debian tinyproxy) inside a namespace.
S3Store   a real S3-compatible store (s3rver from the npm registry, pinned by
          tests/harness/s3rver/package-lock.json and installed by install_s3rver) with one bucket,
          and the throwaway credentials the AWS client reaches it with.
certificates
          a throwaway CA and server certificates made with openssl: good, from an unknown CA,
          for another host name, expired.

All are context managers and stop only the processes and threads they started.

Command line, for a scripted server inside a namespace:
    servers.py scripted PORT PATH=BEHAVIOUR...   serve until terminated ("ready" once listening)
    servers.py proxy PORT UPSTREAM FAULT LOG [SERVED REPLACEMENT]   a FaultyProxy, likewise
"""
import os
import pathlib
import re
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time

LOOPBACK = "127.0.0.1"


def free_port(host=LOOPBACK):
    """A TCP port that was free a moment ago."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind((host, 0))
        return probe.getsockname()[1]


# ---------------------------------------------------------------- nginx

NGINX_CONFIGURATION = """\
daemon off;
master_process off;
pid {work}/nginx.pid;
error_log {work}/error.log warn;
events {{ worker_connections 64; }}
http {{
    # The combined format's start, and the Range asked for (partial updates are judged by it).
    log_format velmora '$remote_addr - - [$time_local] "$request" $status $body_bytes_sent '
                       '"$http_range"';
    access_log {access_log} velmora;
    client_body_temp_path {work}/client_body;
    proxy_temp_path {work}/proxy;
    fastcgi_temp_path {work}/fastcgi;
    uwsgi_temp_path {work}/uwsgi;
    scgi_temp_path {work}/scgi;
    default_type application/octet-stream;
    sendfile on;
{server}
}}
"""

NGINX_SERVER = """\
    server {{
        listen {listen}:{port};
{tls}        root {root};
        location / {{ {limit} }}
{redirects}    }}"""

# TLS beside the plain port: on 443 with a certificate and its key.
NGINX_TLS = """\
        listen {listen}:443 ssl;
        ssl_certificate {cert};
        ssl_certificate_key {key};
"""

# A path answered over HTTPS with a redirect to the same path over plain HTTP.
NGINX_REDIRECT_TO_HTTP = """\
        location = {path} {{ if ($scheme = https) {{ return 302 http://$host$request_uri; }} }}
"""


class Nginx:
    """nginx serving the files below `root` on listen:port (port None: a free loopback port), or,
    with `site`, the server block of that file (a site as a release engineer would include it;
    `root` and the port are then the site's own). With `rate` (nginx's limit_rate, "100k") each
    response is sent no faster than that: a slow download. With `tls` (certificate, key) it
    serves the same over TLS on port 443 too; each path of `redirect_to_http` is answered over
    TLS with a redirect to plain HTTP. With `ranges` False it ignores Range (a whole 200)."""

    def __init__(self, root, port=None, listen=LOOPBACK, access_log=None, prefix=(), site=None,
                 rate=None, tls=None, redirect_to_http=(), ranges=True):
        self.root = pathlib.Path(root).resolve()
        self.listen = listen
        self.port = port if port is not None else free_port(listen)
        self.prefix = list(prefix)
        self.work = pathlib.Path(tempfile.mkdtemp(prefix="velmora-nginx-"))
        self.access_log = pathlib.Path(access_log) if access_log else self.work / "access.log"
        self.site = pathlib.Path(site) if site else None
        self.rate = rate
        self.ranges = ranges
        self.tls = tls
        self.redirect_to_http = list(redirect_to_http)
        self.process = None

    def start(self, timeout=15):
        configuration = self.work / "nginx.conf"
        tls = NGINX_TLS.format(listen=self.listen, cert=self.tls[0], key=self.tls[1]) \
            if self.tls else ""
        redirects = "".join(NGINX_REDIRECT_TO_HTTP.format(path=path)
                            for path in self.redirect_to_http)
        server = f"    include {self.site};" if self.site else NGINX_SERVER.format(
            listen=self.listen, port=self.port, root=self.root, tls=tls, redirects=redirects,
            limit=(f"limit_rate {self.rate};" if self.rate else "") +
            ("" if self.ranges else " max_ranges 0;"))
        configuration.write_text(NGINX_CONFIGURATION.format(
            work=self.work, access_log=self.access_log, server=server))
        pid_file = self.work / "nginx.pid"
        self.process = subprocess.Popen(
            self.prefix + ["nginx", "-p", str(self.work), "-c", str(configuration),
                           "-e", str(self.work / "error.log")],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + timeout
        while not pid_file.exists():
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError(f"nginx did not start: {self.error_log()}")
            time.sleep(0.02)
        return self

    def logged(self):
        """Each request as (request line, status, body bytes sent, Range asked for or "-")."""
        found = []
        for line in self.access_log.read_text().splitlines():
            parts = line.split('"')
            status, sent = parts[2].split()
            found.append((parts[1], int(status), int(sent), parts[3]))
        return found

    def error_log(self):
        path = self.work / "error.log"
        text = path.read_text(errors="replace") if path.exists() else ""
        if self.process is not None and self.process.stderr is not None and \
                self.process.poll() is not None:
            text += self.process.stderr.read().decode(errors="replace")
        return text.strip()

    def stop(self):
        if self.process is not None:
            if self.process.poll() is None:
                # The prefix may have forked: signal nginx itself, by the pid it wrote.
                pid_file = self.work / "nginx.pid"
                pid = int(pid_file.read_text()) if pid_file.exists() else self.process.pid
                try:
                    os.kill(pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
                try:
                    self.process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    self.process.kill()
                    self.process.wait()
            if self.process.stderr is not None:
                self.process.stderr.close()
            self.process = None
        shutil.rmtree(self.work, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exception):
        self.stop()


# ---------------------------------------------------------------- scripted server

def response(status="200 OK", fields=(), body=b""):
    head = f"HTTP/1.1 {status}\r\n" + "".join(f"{field}\r\n" for field in fields) + "\r\n"
    return head.encode() + body


def pattern(size, seed=0):
    """`size` bytes that differ from one position to the next and hold no blank line."""
    block = bytes((seed + 7 * index) % 251 for index in range(251 * 4)).replace(b"\r", b"R")
    return (block * (size // len(block) + 1))[:size]


HELLO = response(fields=["Content-Length: 5"], body=b"hello")


def send_pieces(*pieces, pause=0.0):
    """Sends the pieces with a pause between them, then ends the connection normally."""
    def behave(connection):
        for index, piece in enumerate(pieces):
            if index:
                time.sleep(pause)
            connection.sendall(piece)
    return behave


def reset_after(data):
    def behave(connection):
        connection.sendall(data)
        time.sleep(0.2)  # let the bytes leave before the reset overtakes them
        # A zero linger time makes close() send a reset instead of a normal end.
        connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    return behave


def stream(head, size):
    def behave(connection):
        connection.sendall(head)
        block = pattern(1 << 20)
        for sent in range(0, size, len(block)):
            connection.sendall(block[:min(len(block), size - sent)])
    return behave


# Behaviour by name: what the server does after reading the request head.
BEHAVIOURS = {
    "hello": send_pieces(HELLO),
    "split-head": send_pieces(b"HTTP/1.1 2", b"00 OK\r\nContent-Le", b"ngth: 1", b"2\r", b"\n\r",
                              b"\nhello, ", b"world", pause=0.1),
    "stall": send_pieces(b"HTTP/1.1 200 OK\r\nContent-Length: 2000\r\n\r\n" + pattern(1000),
                         pattern(1000, 3), pause=1.0),
    "no-length": send_pieces(response(fields=["Server: scripted"], body=pattern(100_000))),
    "silent": send_pieces(),
    "truncated": send_pieces(response(fields=["Content-Length: 1000"], body=pattern(600))),
    "reset": reset_after(response(fields=["Content-Length: 1000000"], body=pattern(300_000))),
    "not-found": send_pieces(response("404 Not Found", ["Content-Length: 9"], b"not found")),
    "not-http": send_pieces(b"ICY 200 OK\r\nContent-Length: 5\r\n\r\nhello"),
    "garbage": send_pieces(pattern(5000, 11)),
    "endless-head": send_pieces(b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n" + pattern(5000)),
    "too-large": stream(b"HTTP/1.1 200 OK\r\nContent-Length: 51000000\r\n\r\n", 51_000_000),
    # What a server answers when it streams or forwards, which the installer does not handle.
    "chunked": send_pieces(response(fields=["Transfer-Encoding: chunked"],
                                    body=b"5\r\nhello\r\n0\r\n\r\n")),
    "redirect": send_pieces(response("302 Found", ["Location: http://127.0.0.1/elsewhere",
                                                   "Content-Length: 0"])),
    # The request taken, then nothing at all, not even a head: only the client's side can end it.
    "mute": send_pieces(b"", b"", pause=600.0),
    # The head, then nothing: only the client's side can end it.
    "head-stall": send_pieces(response(fields=["Content-Length: 1000000"]), b"", pause=600.0),
    # Half a body, then nothing: only the client's side can end it.
    "hang": send_pieces(response(fields=["Content-Length: 2000000"], body=pattern(100_000)),
                        b"", pause=600.0),
}


class ScriptedServer:
    """Serves BEHAVIOURS on a loopback port; `refused_port` is a port that refuses connections."""

    def __init__(self, behaviours=None, host=LOOPBACK, port=0):
        self.behaviours = dict(BEHAVIOURS if behaviours is None else behaviours)
        self.host = host
        self.requested_port = port
        self.requests = []
        self._lock = threading.Lock()
        self._listener = None
        self._refuser = None
        self._threads = []
        self.port = None
        self.refused_port = None

    def start(self):
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind((self.host, self.requested_port))
        self._listener.listen(16)
        self.port = self._listener.getsockname()[1]
        # Bound but never listening: connections to it are refused, and no one else takes it.
        self._refuser = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._refuser.bind((LOOPBACK, 0))
        self.refused_port = self._refuser.getsockname()[1]
        accepter = threading.Thread(target=self._accept, daemon=True)
        accepter.start()
        self._threads.append(accepter)
        return self

    def stop(self):
        for held in (self._listener, self._refuser):
            if held is not None:
                held.close()
        self._listener = self._refuser = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exception):
        self.stop()

    def _accept(self):
        while True:
            try:
                connection, _ = self._listener.accept()
            except OSError:
                return  # stopped
            worker = threading.Thread(target=self._serve, args=(connection,), daemon=True)
            worker.start()

    def _serve(self, connection):
        with connection:
            request = b""
            while b"\r\n\r\n" not in request:
                piece = connection.recv(4096)
                if not piece:
                    break
                request += piece
            with self._lock:
                self.requests.append(request)
            name = request.split(b" ")[1].lstrip(b"/").decode(errors="replace") \
                if request.count(b" ") >= 2 else ""
            behave = self.behaviours.get(name.split("?")[0])
            try:
                if behave is not None:
                    behave(connection)
            except OSError:
                pass  # the client went away first (a refused or oversized response)


# ---------------------------------------------------------------- a proxy that spoils once

# What the proxy does to the first answer for a path ending in its suffix, once half its body
# has been passed on: "cut" resets the connection, "stall" sends nothing more for ten minutes,
# "change" replaces the served file with another (a new version, a new ETag) and then resets.
# The RANGE_FAULTS cut it too, then spoil how ranges are served, as caches and servers do.
def _etags(replacement):
    return lambda head: re.sub(rb'(?im)^(etag:[ \t]*)"', replacement, head)


RANGE_FAULTS = {
    # name: (what it does to a range request, to every answer's head, to a 206's head)
    "weak-etag": (None, _etags(rb'\1W/"'), None),  # every ETag weak
    "other-etag": (None, None, _etags(rb'\1"other-')),  # a 206 of another version
    "other-offset": (lambda request: re.sub(  # a 206 from half the offset asked for
        rb"(?im)^(range:[ \t]*bytes=)(\d+)-",
        lambda match: match[1] + str(int(match[2]) // 2).encode() + b"-", request), None, None),
    "ignore-range": (lambda request: re.sub(  # Range and If-Range never reach the server
        rb"(?im)^(if-)?range:[^\r]*\r\n", b"", request), None, None),
    "416": ("416", None, None),  # every range refused
}
PROXY_FAULTS = ("cut", "stall", "change", "busy", "mute", "hold") + tuple(RANGE_FAULTS)
# "hold": the cut waits until a file `served` exists (the test changes the server meanwhile).
# "busy": the first answer for the suffix is a 503 asking to be asked again in BUSY_SECONDS.
# "mute": the first request for the suffix is taken and never answered, not even with a head.
BUSY_SECONDS = 3


class FaultyProxy:
    """Listens on `port`, passes every request to 127.0.0.1:`upstream` and its answer back; the
    first answer for a path ending in `suffix` suffers `fault` (PROXY_FAULTS); with "change",
    `replacement` is moved over `served` at that moment; with "hold", the cut waits until a file
    `served` exists (the test changes the server meanwhile). One line per request in `log`:
    path, Range, If-Range (as the client sent them), status, body bytes passed on
    (tab-separated). With `tls` (certificate, key) it speaks TLS to its clients (Python's ssl
    module, OpenSSL), plain HTTP upstream."""

    def __init__(self, port, upstream, fault, log, suffix=".vmpkg", served=None, replacement=None,
                 tls=None):
        self.port, self.upstream, self.fault = port, upstream, fault
        self.context = None
        if tls:
            self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.context.load_cert_chain(*tls)
        self.log = pathlib.Path(log)
        self.suffix, self.served, self.replacement = suffix, served, replacement
        self.spoiled = False
        self._lock = threading.Lock()

    def serve_forever(self):
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((LOOPBACK, self.port))
        listener.listen(16)
        print("ready", flush=True)
        while True:
            client, _ = listener.accept()
            threading.Thread(target=self._pass, args=(client,), daemon=True).start()

    def _pass(self, client):
        if self.context is not None:
            try:
                client = self.context.wrap_socket(client, server_side=True)
            except (ssl.SSLError, OSError):
                client.close()
                return
        with client, socket.create_connection((LOOPBACK, self.upstream)) as server:
            request = b""
            while b"\r\n\r\n" not in request:
                piece = client.recv(65536)
                if not piece:
                    return
                request += piece
            head = request.split(b"\r\n\r\n")[0].decode(errors="replace").split("\r\n")
            path = head[0].split(" ")[1] if head[0].count(" ") >= 2 else ""
            fields = {line.split(":", 1)[0].lower(): line.split(":", 1)[1].strip()
                      for line in head[1:] if ":" in line}
            with self._lock:
                spoil = path.endswith(self.suffix) and not self.spoiled
                self.spoiled = self.spoiled or spoil
            if spoil and self.fault == "mute":  # the request taken, no answer ever
                with self._lock, open(self.log, "a") as log:
                    log.write(f"{path}\t{fields.get('range', '-')}\t"
                              f"{fields.get('if-range', '-')}\t-\t0\n")
                time.sleep(600)
                return
            on_request, on_answer, on_partial = RANGE_FAULTS.get(self.fault, (None,) * 3)
            if not path.endswith(self.suffix):
                on_request = on_answer = on_partial = None
            refusal = None
            if spoil and self.fault == "busy":
                refusal = response("503 Service Unavailable",
                                   [f"Retry-After: {BUSY_SECONDS}", "Content-Length: 0"])
            elif on_request == "416" and "range" in fields:
                refusal = response("416 Range Not Satisfiable", ["Content-Length: 0"])
            elif on_request is not None and "range" in fields:
                request = on_request(request)
            if refusal is not None:
                client.sendall(refusal)
                with self._lock, open(self.log, "a") as log:
                    log.write(f"{path}\t{fields.get('range', '-')}\t{fields.get('if-range', '-')}"
                              f"\t{refusal.split(b' ')[1].decode()}\t0\n")
                return
            server.sendall(request)
            answer = b""
            while b"\r\n\r\n" not in answer:
                piece = server.recv(65536)
                if not piece:
                    break
                answer += piece
            answer_head, _, body = answer.partition(b"\r\n\r\n")
            status = answer_head.split(b" ")[1].decode() if answer_head.count(b" ") else "-"
            length = 0
            for line in answer_head.split(b"\r\n")[1:]:
                if line.lower().startswith(b"content-length:"):
                    length = int(line.split(b":")[1])
            limit = length // 2 if spoil else None
            for rewrite in (on_answer, on_partial if status == "206" else None):
                if rewrite is not None:
                    answer_head = rewrite(answer_head)
            client.sendall(answer_head + b"\r\n\r\n")
            passed = 0
            while True:
                if limit is not None and passed + len(body) >= limit:
                    client.sendall(body[:limit - passed])
                    passed = limit
                    break
                client.sendall(body)
                passed += len(body)
                body = server.recv(65536)
                if not body:
                    break
            with self._lock, open(self.log, "a") as log:
                log.write(f"{path}\t{fields.get('range', '-')}\t{fields.get('if-range', '-')}"
                          f"\t{status}\t{passed}\n")
            if limit is None:
                return
            if self.fault == "stall":
                time.sleep(600)
                return
            if self.fault == "change":
                os.replace(self.replacement, self.served)
            while self.fault == "hold" and not os.path.exists(self.served):
                time.sleep(0.1)
            time.sleep(0.2)  # let the bytes leave before the reset overtakes them
            client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


# ---------------------------------------------------------------- network namespace

class Namespace:
    """A network namespace NAME with its loopback up and `hosts` resolving to 127.0.0.1. With
    `trusted` (a CA certificate) that CA is the only one trusted inside: `ip netns exec` mounts
    /etc/netns/NAME/ssl/certs/ca-certificates.crt over the system's bundle, which curl and Wine's
    crypt32 read. With `proxy_only`, connections to ports 80 and 443 are rejected at once unless
    made by the user nobody (the proxy's). With `unanswered`, connections to them are never
    answered (their SYNs dropped) until `answer()`."""

    def __init__(self, name, hosts=(), trusted=None, proxy_only=False, unanswered=False):
        self.name = name
        self.hosts = list(hosts)
        self.trusted = trusted
        self.proxy_only = proxy_only
        self.unanswered = unanswered
        self.etc = pathlib.Path("/etc/netns") / name

    @property
    def prefix(self):
        return ["ip", "netns", "exec", self.name]

    def start(self):
        self.stop()
        subprocess.run(["ip", "netns", "add", self.name], check=True)
        self.etc.mkdir(parents=True, exist_ok=True)
        (self.etc / "hosts").write_text(
            "127.0.0.1 localhost\n" + "".join(f"127.0.0.1 {host}\n" for host in self.hosts))
        if self.trusted:
            (self.etc / "ssl" / "certs").mkdir(parents=True, exist_ok=True)
            shutil.copyfile(self.trusted, self.etc / "ssl" / "certs" / "ca-certificates.crt")
        subprocess.run(self.prefix + ["ip", "link", "set", "lo", "up"], check=True)
        if self.proxy_only:
            subprocess.run(self.prefix + ["iptables", "-A", "OUTPUT", "-o", "lo", "-p", "tcp",
                                          "-m", "multiport", "--dports", "80,443", "-m", "owner",
                                          "!", "--uid-owner", "nobody", "-j", "REJECT"],
                           check=True)
        if self.unanswered:
            subprocess.run(self.prefix + ["iptables", "-A"] + self.DROPPED, check=True)
        return self

    DROPPED = ["OUTPUT", "-o", "lo", "-p", "tcp", "--syn", "-m", "multiport", "--dports", "80,443",
               "-j", "DROP"]

    def answer(self):
        """Connections are answered again (after `unanswered`)."""
        subprocess.run(self.prefix + ["iptables", "-D"] + self.DROPPED, check=True)

    def stop(self):
        subprocess.run(["ip", "netns", "delete", self.name], stderr=subprocess.DEVNULL)
        shutil.rmtree(self.etc, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exception):
        self.stop()


# ---------------------------------------------------------------- proxy and certificates

TINYPROXY_CONFIGURATION = """\
User nobody
Group nogroup
Port {port}
Listen 127.0.0.1
Timeout 120
PidFile "{work}/tinyproxy.pid"
LogFile "{work}/tinyproxy.log"
LogLevel Connect
MaxClients 20
Allow 127.0.0.1
ConnectPort 443
ConnectPort 80
"""


class Tinyproxy:
    """Debian's tinyproxy on 127.0.0.1:port inside the namespace of `prefix`, as the user nobody
    (the one user a proxy-only namespace lets through). `log()` is what it logged (each
    request and CONNECT)."""

    def __init__(self, port=8888, prefix=()):
        self.port = port
        self.prefix = list(prefix)
        self.work = pathlib.Path(tempfile.mkdtemp(prefix="velmora-proxy-"))
        self.work.chmod(0o777)  # nobody writes its pid and log here
        self.pid = None

    def start(self, timeout=15):
        configuration = self.work / "tinyproxy.conf"
        configuration.write_text(TINYPROXY_CONFIGURATION.format(port=self.port, work=self.work))
        subprocess.run(self.prefix + ["tinyproxy", "-c", str(configuration)], check=True)
        pid_file = self.work / "tinyproxy.pid"
        deadline = time.monotonic() + timeout
        while not (pid_file.exists() and pid_file.read_text().strip()):
            if time.monotonic() > deadline:
                raise RuntimeError(f"tinyproxy did not start: {self.log()}")
            time.sleep(0.05)
        self.pid = int(pid_file.read_text())
        return self

    def log(self):
        path = self.work / "tinyproxy.log"
        return path.read_text(errors="replace") if path.exists() else ""

    def stop(self):
        if self.pid is not None:
            try:
                os.kill(self.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            self.pid = None
        shutil.rmtree(self.work, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exception):
        self.stop()


def certificates(folder, host):
    """A throwaway CA (FOLDER/ca.crt) and server certificates for the kinds a client must take
    or refuse: {"good": (cert, key), "unknown-ca": ..., "other-name": ..., "expired": ...}. The
    unknown CA's own certificate is not kept anywhere a client could trust it."""
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)

    def openssl(*arguments):
        subprocess.run(["openssl", *map(str, arguments)], check=True, capture_output=True)

    for ca in ("ca", "other-ca"):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", folder / f"{ca}.key",
                "-out", folder / f"{ca}.crt", "-subj", f"/CN=Velmora test {ca}", "-days", "30",
                "-addext", "basicConstraints=critical,CA:true",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    kinds = {"good": ("ca", host, 30), "unknown-ca": ("other-ca", host, 30),
             "other-name": ("ca", "other." + host, 30), "expired": ("ca", host, -1)}
    made = {}
    for kind, (ca, name, days) in kinds.items():
        cert, key = folder / f"{kind}.crt", folder / f"{kind}.key"
        extensions = folder / f"{kind}.ext"
        extensions.write_text(f"subjectAltName=DNS:{name}\nextendedKeyUsage=serverAuth\n"
                              "basicConstraints=CA:false\n")
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out",
                folder / f"{kind}.csr", "-subj", f"/CN={name}")
        # -days -1: valid from now until a day ago, expired for any client.
        openssl("x509", "-req", "-in", folder / f"{kind}.csr", "-CA", folder / f"{ca}.crt",
                "-CAkey", folder / f"{ca}.key", "-CAcreateserial", "-days", days, "-extfile",
                extensions, "-out", cert)
        made[kind] = (cert, key)
    return made


S3RVER = pathlib.Path(__file__).resolve().parent / "s3rver"


def install_s3rver(folder):
    """s3rver as tests/harness/s3rver pins it, installed below `folder` from the npm registry
    (again only when the pins changed); returns its program."""
    folder = pathlib.Path(folder)
    program = folder / "node_modules" / "s3rver" / "bin" / "s3rver.js"
    lock = (S3RVER / "package-lock.json").read_bytes()
    if not program.exists() or (folder / "package-lock.json").read_bytes() != lock:
        folder.mkdir(parents=True, exist_ok=True)
        for name in ("package.json", "package-lock.json"):
            shutil.copyfile(S3RVER / name, folder / name)
        subprocess.run(["npm", "ci", "--no-audit", "--no-fund", "--silent"], cwd=folder,
                       check=True, stdout=subprocess.DEVNULL)
    return program


class S3Store:
    """s3rver on 127.0.0.1:`port` (inside the namespace of `prefix`) with the bucket `bucket`,
    its objects in a folder of its own. `environment` reaches it with the AWS client: s3rver's
    throwaway credentials, and no configuration file of the machine's user."""

    def __init__(self, program, bucket="velmora", port=9000, prefix=()):
        self.program, self.bucket, self.port = program, bucket, port
        self.prefix = list(prefix)
        self.work = pathlib.Path(tempfile.mkdtemp(prefix="velmora-store-"))
        self.endpoint = f"http://127.0.0.1:{port}"
        self.environment = {"AWS_ACCESS_KEY_ID": "S3RVER", "AWS_SECRET_ACCESS_KEY": "S3RVER",
                            "AWS_DEFAULT_REGION": "us-east-1", "AWS_EC2_METADATA_DISABLED": "true",
                            "AWS_CONFIG_FILE": str(self.work / "config"),
                            "AWS_SHARED_CREDENTIALS_FILE": str(self.work / "credentials")}
        self.process = None

    def start(self, timeout=30):
        log = self.work / "s3rver.log"
        with open(log, "w") as output:
            self.process = subprocess.Popen(
                self.prefix + ["node", str(self.program), "-d", str(self.work / "data"), "-a",
                               "127.0.0.1", "-p", str(self.port), "--configure-bucket",
                               self.bucket], stdout=output, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + timeout
        while "listening" not in log.read_text(errors="replace"):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError(f"s3rver did not start: {log.read_text(errors='replace')}")
            time.sleep(0.1)
        return self

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=10)
        shutil.rmtree(self.work, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exception):
        self.stop()


class ScriptedProcess:
    """A ScriptedServer in a process of its own, started with `prefix` (a namespace)."""

    def __init__(self, port, behaviours, prefix=()):
        self.command = list(prefix) + [sys.executable, str(pathlib.Path(__file__).resolve()),
                                       "scripted", str(port)] + \
            [f"{path}={behaviour}" for path, behaviour in behaviours.items()]
        self.process = None

    def start(self):
        self.process = subprocess.Popen(self.command, stdout=subprocess.PIPE, text=True)
        if self.process.stdout.readline().strip() != "ready":
            self.stop()
            raise RuntimeError("the scripted server did not start")
        return self

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=10)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exception):
        self.stop()


class ProxyProcess(ScriptedProcess):
    """A FaultyProxy in a process of its own, started with `prefix` (a namespace)."""

    def __init__(self, port, upstream, fault, log, served=None, replacement=None, prefix=(),
                 tls=None):
        self.command = list(prefix) + [sys.executable, str(pathlib.Path(__file__).resolve()),
                                       "proxy", str(port), str(upstream), fault, str(log)] + \
            ([str(served), str(replacement)] if served else ["-", "-"]) + \
            ([str(tls[0]), str(tls[1])] if tls else [])
        self.process = None


def main(argv):
    if len(argv) >= 6 and argv[1] == "proxy":
        # proxy PORT UPSTREAM FAULT LOG [SERVED|- REPLACEMENT|- [CERT KEY]]
        given = len(argv) > 7 and argv[6] != "-"
        FaultyProxy(int(argv[2]), int(argv[3]), argv[4], argv[5],
                    served=argv[6] if given else None, replacement=argv[7] if given else None,
                    tls=argv[8:10] if len(argv) > 9 else None).serve_forever()
        return 0
    if len(argv) < 3 or argv[1] != "scripted":
        print(__doc__, file=sys.stderr)
        return 2
    behaviours = {}
    for pair in argv[3:]:
        path, behaviour = pair.split("=", 1)
        behaviours[path.lstrip("/")] = BEHAVIOURS[behaviour]
    ScriptedServer(behaviours, port=int(argv[2])).start()
    print("ready", flush=True)
    signal.pause()  # until terminated; the sockets go with the process
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
