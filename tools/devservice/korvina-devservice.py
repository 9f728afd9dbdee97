#!/usr/bin/env python3
"""Development stand-in for everything the launcher talks to, on one HTTPS port of 127.0.0.1.

    korvina-devservice.py --state-dir DIR [--port N] [--tree PUBLISH_DIR] [--ready-file FILE]
                          [--rate KIB] [--installer FILE [--update-once]]
    korvina-devservice.py --state-dir DIR --init-ca      (only make the CA and keys, and exit)

Serves the signed service calls (/api_v2.php: ping, servers, news, updates), the status
endpoints (/serv<N>.txt of the site host, /serv.php?id=<N> of the fallback host), the news
pictures (/news/<N>.png), an installer (/downloads/update_installer.exe) and the file host tree
that korvina-publish made (PUBLISH_DIR/launcher served as /launcher/). A build of the launcher
whose host constants are 127.0.0.1:PORT and whose extra CA is STATE_DIR/ca.pem trusts it.

The CA is made with the openssl program on first use and kept in the state directory, because
the launcher compiles it in: a new CA would need a new build. So is the release key pair
(release.key, the operator's private key for korvina-publish --sign-key, and release.pub, the
hex public key for KORVINA_RELEASE_PUBLIC_KEY); the installer is served with its signature
(/downloads/update_installer.exe.sig); --installer serves FILE instead of a stand-in.
"updates" announces a newer launcher while --announce-update is given or the file
STATE_DIR/announce-update exists (its first line, if any, is the version announced), and with
--update-once only until the installer and its signature have been sent, so that the updated
launcher is not updated again. One log line per request goes to stderr or --log. --rate KIB
sends the bodies under /launcher/filesystem/ and the installer at KIB KiB/s in all (unlimited
by default), so that a download lasts long enough to be watched; each such body then also
gets a "sending PATH SIZE" line when it starts. Runs until killed (SIGTERM or SIGINT end it
cleanly).
"""

import argparse
import hashlib
import http.server
import json
import math
import os
import signal
import socketserver
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import zlib

# The key a launcher signs its service calls with unless built with another
# (KORVINA_SERVICE_KEY); hash = md5(operation + salt + key).
SIGNING_KEY = "Q7mR2xLp9TcW4vNz"
CURRENT_VERSION = "2.0.4.2"
DEFAULT_NEWER_VERSION = "2.0.5.0"
DEFAULT_PORT = 18443

SERVERS = [
    # name, address, port, capacity, typical players
    ("Korvina #1", "127.0.0.1", 7001, 1000, 640),
    ("Korvina #2", "127.0.0.1", 7002, 1000, 380),
    ("Korvina #3", "127.0.0.1", 7003, 500, 120),
    ("Korvina Test", "127.0.0.1", 7004, 100, 8),
]

NEWS = [
    ("Открытие зимнего сезона",
     "На всех серверах выпал снег: включите зимний модпак в настройках лаунчера.", "12.12",
     (38, 120, 220)),
    ("Обновление 2.0: новые фракции",
     "Две новые фракции, переработанная система работ и десятки исправлений.", "05.12",
     (220, 90, 40)),
    ("Турнир гонщиков", "Регистрация на ночные гонки по Сан-Фиерро открыта до пятницы.", "28.11",
     (40, 170, 90)),
    ("Технические работы", "В четверг с 6:00 до 8:00 по Москве сервера будут недоступны.",
     "20.11", (150, 60, 190)),
]

INSTALLER = b"#!/bin/sh\necho 'Korvina Launcher installer (development stand-in)'\n"


# --- certificates ---------------------------------------------------------------------------

def run_openssl(args, cwd):
    result = subprocess.run(["openssl"] + args, cwd=cwd, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        sys.exit("openssl %s failed: %s" % (args[0], result.stderr.strip()))


def ensure_certificates(state_dir):
    """Makes the CA (once) and a server certificate for 127.0.0.1 and localhost signed by it."""
    os.makedirs(state_dir, exist_ok=True)
    ca_cert = os.path.join(state_dir, "ca.pem")
    ca_key = os.path.join(state_dir, "ca.key")
    server_cert = os.path.join(state_dir, "server.pem")
    server_key = os.path.join(state_dir, "server.key")
    if not (os.path.isfile(ca_cert) and os.path.isfile(ca_key)):
        # Written under temporary names and renamed, so a killed run leaves no half CA behind.
        run_openssl(["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "3650",
                     "-subj", "/CN=Korvina Launcher development CA",
                     "-addext", "basicConstraints=critical,CA:TRUE",
                     "-addext", "keyUsage=critical,keyCertSign,cRLSign",
                     "-keyout", "ca.key.new", "-out", "ca.pem.new"], state_dir)
        os.replace(os.path.join(state_dir, "ca.key.new"), ca_key)
        os.replace(os.path.join(state_dir, "ca.pem.new"), ca_cert)
        for stale in (server_cert, server_key):
            if os.path.exists(stale):
                os.remove(stale)
    if not (os.path.isfile(server_cert) and os.path.isfile(server_key)
            and os.path.getmtime(server_cert) >= os.path.getmtime(ca_cert)):
        with open(os.path.join(state_dir, "server.ext"), "w") as ext:
            ext.write("basicConstraints=CA:FALSE\n"
                      "keyUsage=critical,digitalSignature,keyEncipherment\n"
                      "extendedKeyUsage=serverAuth\n"
                      "subjectAltName=IP:127.0.0.1,DNS:localhost\n")
        run_openssl(["req", "-new", "-newkey", "rsa:2048", "-nodes", "-sha256",
                     "-subj", "/CN=127.0.0.1", "-keyout", "server.key.new",
                     "-out", "server.csr"], state_dir)
        run_openssl(["x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                     "-set_serial", str(int.from_bytes(os.urandom(8), "big")), "-sha256",
                     "-days", "825", "-extfile", "server.ext", "-out", "server.pem.new"],
                    state_dir)
        os.replace(os.path.join(state_dir, "server.key.new"), server_key)
        os.replace(os.path.join(state_dir, "server.pem.new"), server_cert)
    return ca_cert, server_cert, server_key


def ensure_release_key(state_dir):
    """Makes the release key pair (once); returns the private key's path."""
    key = os.path.join(state_dir, "release.key")
    public = os.path.join(state_dir, "release.pub")
    if not os.path.isfile(key):
        run_openssl(["genpkey", "-algorithm", "ed25519", "-out", "release.key.new"], state_dir)
        os.replace(os.path.join(state_dir, "release.key.new"), key)
    if not os.path.isfile(public) or os.path.getmtime(public) < os.path.getmtime(key):
        der = subprocess.run(["openssl", "pkey", "-in", key, "-pubout", "-outform", "DER"],
                             stdout=subprocess.PIPE, check=True).stdout
        with open(public + ".new", "w") as f:
            f.write(der[-32:].hex() + "\n")  # the raw key ends the DER form
        os.replace(public + ".new", public)
    return key


def sign_file(key, data):
    """The raw Ed25519 signature of data by the private key file key."""
    with tempfile.NamedTemporaryFile() as message:
        message.write(data)
        message.flush()
        return subprocess.run(["openssl", "pkeyutl", "-sign", "-rawin", "-inkey", key,
                               "-in", message.name], stdout=subprocess.PIPE, check=True).stdout


# --- answers --------------------------------------------------------------------------------

def signature(operation, salt, key=SIGNING_KEY):
    return hashlib.md5((operation + salt + key).encode("utf-8")).hexdigest()


def parse_query(query):
    """Key/value pairs as the launcher encodes them: "%XX" escapes, and "+" is a plain "+"."""
    params = {}
    for pair in query.split("&"):
        if not pair:
            continue
        key, _, value = pair.partition("=")
        params.setdefault(urllib.parse.unquote(key), urllib.parse.unquote(value))
    return params


def player_count(index, now):
    """Players of server index at time now: drifts smoothly, so every poll shows a change."""
    _, _, _, capacity, typical = SERVERS[index]
    swing = max(2, typical // 4)
    value = typical + swing * math.sin(now / 17.0 + index * 1.7) + (int(now) * 7 + index) % 5
    return max(0, min(capacity, int(value))), capacity


def png(width, height, colour, seed):
    """A small PNG with a diagonal stripe pattern in the news item's colour."""
    r, g, b = colour
    rows = []
    for y in range(height):
        row = bytearray([0])
        for x in range(width):
            stripe = ((x + y + seed * 11) // 12) % 2
            shade = 0.55 + 0.45 * (1 - y / height) - 0.15 * stripe
            row += bytes((int(r * shade), int(g * shade), int(b * shade)))
        rows.append(bytes(row))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xffffffff))

    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))


class RateLimit:
    """One budget of bytes per second shared by every connection: each chunk is given the next
    free slot of the budget, and time left idle is not saved up for a later burst."""

    chunk = 16 * 1024  # small enough for a steady progress bar at a few hundred KiB/s

    def __init__(self, bytes_per_second):
        self.rate = float(bytes_per_second)
        self.lock = threading.Lock()
        self.next = time.monotonic()

    def take(self, count):
        with self.lock:
            now = time.monotonic()
            self.next = max(now, self.next) + count / self.rate
            wait = self.next - now
        if wait > 0:
            time.sleep(wait)


class Service:
    def __init__(self, options):
        self.options = options
        self.tree = options.tree
        self.pictures = [png(180, 120, item[3], i) for i, item in enumerate(NEWS)]
        self.installer = INSTALLER
        self.installer_was_sent = False
        if options.installer:
            with open(options.installer, "rb") as f:
                self.installer = f.read()
        self.release_key = ensure_release_key(options.state_dir)
        self.installer_signatures = {}
        self.log_lock = threading.Lock()
        self.log = open(options.log, "a", buffering=1) if options.log else sys.stderr
        self.limit = RateLimit(options.rate * 1024) if options.rate > 0 else None

    def installer_signature(self):
        """The installer's signature as the version announced now, as korvina-publish sign
        makes it: over that version and the installer's SHA-256."""
        version = self.announced_update() or DEFAULT_NEWER_VERSION
        if version not in self.installer_signatures:
            message = ("korvina-installer-v1\n%s\n%s\n" % (
                version, hashlib.sha256(self.installer).hexdigest())).encode("utf-8")
            self.installer_signatures[version] = sign_file(self.release_key, message)
        return self.installer_signatures[version]

    def installer_sent(self):
        self.installer_was_sent = True

    def announced_update(self):
        if self.options.update_once and self.installer_was_sent:
            return None
        if self.options.announce_update:
            return self.options.announce_update
        switch = os.path.join(self.options.state_dir, "announce-update")
        if not os.path.exists(switch):
            return None
        try:
            with open(switch) as f:
                return f.readline().strip() or DEFAULT_NEWER_VERSION
        except OSError:
            return DEFAULT_NEWER_VERSION

    def api(self, params, base):
        operation = params.get("data", "")
        salt = params.get("sig", "")
        if not operation or params.get("hash", "") != signature(
                operation, salt, self.options.service_key):
            return 403, "application/json", b'{"error":"bad signature"}'
        if operation == "ping":
            answer = {"status": "ok"}
        elif operation == "servers":
            answer = [{"new_name": name, "addr": addr, "port": port}
                      for name, addr, port, _, _ in SERVERS]
        elif operation == "news":
            answer = [{"caption": caption, "text": text, "date": date,
                       "link": base + "/news/%d" % (i + 1),
                       "image": base + "/news/%d.png" % (i + 1)}
                      for i, (caption, text, date, _) in enumerate(NEWS)]
        elif operation == "updates":
            newer = self.announced_update()
            if newer:
                answer = {"act": "update", "latest_version": newer,
                          "download_url": base + "/downloads/update_installer.exe"}
            else:
                answer = {"act": "none", "latest_version": CURRENT_VERSION}
        else:
            return 400, "application/json", b'{"error":"unknown operation"}'
        return 200, "application/json", json.dumps(answer, ensure_ascii=False).encode("utf-8")

    def status(self, number):
        if not 1 <= number <= len(SERVERS):
            return 404, "text/plain", b"no such server\n"
        players, capacity = player_count(number - 1, time.time())
        return 200, "text/plain", ("%d/%d" % (players, capacity)).encode("ascii")

    def tree_file(self, path):
        """The file below the publish tree that path names, or None."""
        if not self.tree:
            return None
        # Resolved anew for every request: a publication switches the link to another release.
        root = os.path.realpath(os.path.join(self.tree, "launcher"))
        relative = urllib.parse.unquote(path[len("/launcher/"):])
        candidate = os.path.realpath(os.path.join(root, relative))
        if not candidate.startswith(root + os.sep) or not os.path.isfile(candidate):
            return None
        return candidate

    def write_log(self, line):
        with self.log_lock:
            self.log.write(line + "\n")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "KorvinaDevService/1"
    timeout = 30  # a client that stops talking frees its thread

    def do_GET(self):
        service = self.server.service
        url = urllib.parse.urlsplit(self.path)
        host = self.headers.get("Host") or "127.0.0.1:%d" % self.server.server_address[1]
        base = "https://" + host
        path = url.path
        if path == "/api_v2.php":
            self.answer(*service.api(parse_query(url.query), base))
        elif path == "/serv.php":
            number = parse_query(url.query).get("id", "")
            self.answer(*service.status(int(number) if number.isdigit() else 0))
        elif path.startswith("/serv") and path.endswith(".txt") and path[5:-4].isdigit():
            self.answer(*service.status(int(path[5:-4])))
        elif path.startswith("/news/") and path.endswith(".png") and path[6:-4].isdigit():
            number = int(path[6:-4])
            if 1 <= number <= len(service.pictures):
                self.answer(200, "image/png", service.pictures[number - 1])
            else:
                self.answer(404, "text/plain", b"no such picture\n")
        elif path == "/downloads/update_installer.exe":
            self.answer(200, "application/octet-stream", service.installer, limited=True)
        elif path == "/downloads/update_installer.exe.sig":
            # Fetched after the installer: the last of an update.
            self.answer(200, "application/octet-stream", service.installer_signature())
            service.installer_sent()
        elif path.startswith("/launcher/"):
            found = service.tree_file(path)
            if found:
                self.send_file(found, limited=path.startswith("/launcher/filesystem/"))
            else:
                self.answer(404, "text/plain", b"not published\n")
        elif path == "/":
            self.answer(200, "text/plain; charset=utf-8",
                        "Korvina Launcher development service\n".encode("utf-8"))
        else:
            self.answer(404, "text/plain", b"not found\n")

    def answer(self, code, content_type, body, limited=False):
        self.send_response(code)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        limit = self.body_limit(limited, len(body))
        step = limit.chunk if limit else max(len(body), 1)
        for offset in range(0, len(body), step):
            self.write_chunk(body[offset:offset + step], limit)

    def send_file(self, path, limited=False):
        with open(path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(size))
            self.end_headers()
            limit = self.body_limit(limited, size)
            while True:
                chunk = f.read(limit.chunk if limit else 1 << 16)
                if not chunk:
                    break
                self.write_chunk(chunk, limit)

    def body_limit(self, limited, size):
        """The rate limit for a body, if any; a limited body's start is logged, so a watcher of
        the log knows a transfer is under way before its line is written at the end."""
        limit = self.server.service.limit if limited else None
        if limit:
            self.server.service.write_log("%s %s sending %s %d" % (
                time.strftime("%H:%M:%S"), self.client_address[0], self.path, size))
        return limit

    def write_chunk(self, chunk, limit):
        if limit:
            limit.take(len(chunk))
        self.wfile.write(chunk)
        self.sent += len(chunk)

    def handle_one_request(self):
        self.code = None
        self.sent = 0
        super().handle_one_request()
        # Logged after the body went out, so the line carries the bytes actually sent.
        if self.code is not None:
            self.server.service.write_log("%s %s %s %s %s %s" % (
                time.strftime("%H:%M:%S"), self.client_address[0], self.command or "-",
                getattr(self, "path", "-"), self.code, self.sent))

    def log_request(self, code="-", size="-"):
        self.code = code.value if hasattr(code, "value") else code

    def log_error(self, format, *args):
        self.server.service.write_log("%s %s error %s" % (
            time.strftime("%H:%M:%S"), self.client_address[0], format % args))

    def log_message(self, format, *args):
        pass  # log_request and log_error write the lines


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, service, context):
        self.service = service
        self.context = context
        super().__init__(address, Handler)

    def get_request(self):
        # The handshake runs on the request's own thread, so one slow client cannot hold up
        # the accept loop.
        sock, address = self.socket.accept()
        return self.context.wrap_socket(sock, server_side=True,
                                        do_handshake_on_connect=False), address

    def handle_error(self, request, client_address):
        # Clients that hang up mid-answer (the launcher aborts stalled transfers) are routine.
        error = sys.exc_info()[1]
        self.service.write_log("%s %s error %s" % (time.strftime("%H:%M:%S"),
                                                   client_address[0], error))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--state-dir", required=True, help="CA, certificates and switches")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT)
    parser.add_argument("--tree", help="korvina-publish output directory (holds launcher/)")
    parser.add_argument("--ready-file", help="written with the port once the service listens")
    parser.add_argument("--log", help="request log file (default: stderr)")
    parser.add_argument("--announce-update", metavar="VERSION", nargs="?",
                        const=DEFAULT_NEWER_VERSION,
                        help="make \"updates\" announce VERSION (default %s)" % DEFAULT_NEWER_VERSION)
    parser.add_argument("--rate", type=float, default=0, metavar="KIB",
                        help="send file bodies and the installer at KIB KiB/s in all "
                             "(default 0: unlimited)")
    parser.add_argument("--installer", help="the installer to serve (default: a stand-in)")
    parser.add_argument("--update-once", action="store_true",
                        help="announce no update once the installer's signature was sent")
    parser.add_argument("--init-ca", action="store_true", help="only make the CA and the release key pair, print the CA's path")
    parser.add_argument("--service-key", default=SIGNING_KEY,
                        help="the key shared with the launcher (its KORVINA_SERVICE_KEY)")
    options = parser.parse_args()

    ca_cert, server_cert, server_key = ensure_certificates(options.state_dir)
    ensure_release_key(options.state_dir)
    if options.init_ca:
        print(ca_cert)
        return 0

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(server_cert, server_key)
    service = Service(options)
    try:
        server = Server(("127.0.0.1", options.port), service, context)
    except OSError as error:
        sys.exit("cannot listen on 127.0.0.1:%d: %s" % (options.port, error))
    port = server.server_address[1]

    def stop(signum, frame):
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    if options.ready_file:
        # Renamed into place, so a script polling for it never reads a half-written port.
        directory = os.path.dirname(os.path.abspath(options.ready_file))
        with tempfile.NamedTemporaryFile("w", dir=directory, delete=False) as ready:
            ready.write("%d\n" % port)
        os.replace(ready.name, options.ready_file)
    service.write_log("%s listening on https://127.0.0.1:%d/" % (time.strftime("%H:%M:%S"), port))
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        server.server_close()
        if options.ready_file and os.path.exists(options.ready_file):
            os.remove(options.ready_file)
    return 0


if __name__ == "__main__":
    sys.exit(main())
