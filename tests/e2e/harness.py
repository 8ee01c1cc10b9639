"""A private network for running the ipwhere binary end to end.

Inside a fresh network and mount namespace, the harness brings up loopback,
lays a writable layer over /etc, bind-mounts its own hosts file there,
writes its own name service switch, turns the resolver configuration and
the CA bundle into symbolic links into its own folder (as systems with a
local resolver service link them into /run), and serves HTTPS on
127.0.0.1:443 and [::1]:443 with certificates made by the openssl CLI. Each
service host behaves as the test configures it and every request is logged.
A name server on port 53 can answer chosen names, or never answer, for
hosts left out of the hosts file. Its files are readable by every user, as
the system's are, since a run started as root goes on as nobody. No traffic
leaves loopback.
"""

import atexit
import ctypes
import fcntl
import os
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

# The service hosts compiled into the binary.
V4_PRIMARY = "4.ident.me"
V4_FALLBACK = "4.tnedi.me"
V6_PRIMARY = "6.ident.me"
V6_FALLBACK = "6.tnedi.me"
SERVICE_HOSTS = (V4_PRIMARY, V4_FALLBACK, V6_PRIMARY, V6_FALLBACK)

# Complete answers of the service, one per family, for tests and the demo.
SAMPLE_IPV4 = {"ip": "192.0.2.1", "hostname": "host4.example", "asn": 64500,
               "aso": "Example Net", "continent": "EU", "cc": "GB",
               "country": "United Kingdom", "city": "London",
               "postal": "EC1A", "latitude": 51.5074, "longitude": -0.1278,
               "tz": "Europe/London", "weather": "UKXX0085"}
SAMPLE_IPV6 = {"ip": "2001:db8::1", "hostname": "host6.example",
               "asn": 64501, "aso": "Example Six", "continent": "OC",
               "cc": "AU", "country": "Australia", "city": "Sydney",
               "postal": "2000", "latitude": -33.8688, "longitude": 151.2093,
               "tz": "Australia/Sydney"}

NAMESPACE_MARK = "IPWHERE_E2E_NAMESPACE"

# Port 443 on these addresses never gets as far as HTTPS: a host mapped to
# NO_TLS_* completes the TCP handshake and then stays silent; at FULL_QUEUE_*
# a listener never accepts and its accept queue is full, so the kernel drops
# every SYN, as a broken route does.
NO_TLS_V4, NO_TLS_V6 = "127.0.0.3", "fd00::3"
FULL_QUEUE_V4, FULL_QUEUE_V6 = "127.0.0.4", "fd00::4"
# Where the end-to-end suite runs nginx beside the Python servers.
NGINX_V4, NGINX_V6 = "127.0.0.5", "fd00::5"


def enter_private_namespace():
    """Re-runs this script inside new network and mount namespaces."""
    if os.environ.get(NAMESPACE_MARK) == "1":
        return
    env = dict(os.environ, **{NAMESPACE_MARK: "1"})
    cmd = ["unshare", "--net", "--mount", "--propagation", "private",
           sys.executable] + sys.argv
    os.execvpe("unshare", cmd, env)


def bring_up_loopback():
    SIOCGIFFLAGS, SIOCSIFFLAGS, IFF_UP = 0x8913, 0x8914, 0x1
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        request = struct.pack("16sh", b"lo", 0)
        flags = struct.unpack("16sh", fcntl.ioctl(s, SIOCGIFFLAGS, request))[1]
        fcntl.ioctl(s, SIOCSIFFLAGS, struct.pack("16sh", b"lo", flags | IFF_UP))
    # ::1 is assigned asynchronously once lo is up.
    deadline = time.monotonic() + 5
    while True:
        try:
            with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
                s.bind(("::1", 0))
            return
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


def add_loopback_address(address):
    """Adds an IPv6 address (a /128) to lo; IPv4 has all of 127/8."""
    SIOCSIFADDR = 0x8916
    with socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as s:
        request = struct.pack("16sIi", socket.inet_pton(socket.AF_INET6, address),
                              128, socket.if_nametoindex("lo"))
        fcntl.ioctl(s, SIOCSIFADDR, request)


def listen(address, backlog):
    family = socket.AF_INET6 if ":" in address else socket.AF_INET
    listener = socket.socket(family, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if family == socket.AF_INET6:
        listener.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
    listener.bind((address, 443))
    listener.listen(backlog)
    return listener


def bind_mount(source, target):
    subprocess.run(["mount", "--bind", source, target], check=True)


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Certificates:
    """A test CA and server certificates, made fresh in `directory`."""

    def __init__(self, directory):
        self.dir = directory
        self._make_ca("ca", "ipwhere test CA")
        self._make_ca("rogue", "untrusted test CA")
        self.good = self._make_leaf("good", "ca", SERVICE_HOSTS)
        self.untrusted = self._make_leaf("untrusted", "rogue", SERVICE_HOSTS)
        self.wrong_host = self._make_leaf("wrong_host", "ca", ("other.invalid",))
        self.expired = self._make_expired("expired", "ca", SERVICE_HOSTS)
        self.bundle = os.path.join(directory, "ca.pem")

    def _key(self, name):
        openssl("genpkey", "-algorithm", "EC", "-pkeyopt",
                "ec_paramgen_curve:P-256", "-out", name + ".key", cwd=self.dir)

    def _make_ca(self, name, common_name):
        self._key(name)
        openssl("req", "-x509", "-new", "-key", name + ".key", "-out",
                name + ".pem", "-days", "3", "-subj", "/CN=" + common_name,
                "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=self.dir)

    def _extensions(self, name, hosts):
        path = os.path.join(self.dir, name + ".ext")
        with open(path, "w") as f:
            f.write("subjectAltName=" + ",".join("DNS:" + h for h in hosts) +
                    "\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n")
        return path

    def _make_leaf(self, name, ca, hosts):
        self._key(name)
        openssl("req", "-new", "-key", name + ".key", "-out", name + ".csr",
                "-subj", "/CN=" + hosts[0], cwd=self.dir)
        openssl("x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem",
                "-CAkey", ca + ".key", "-CAcreateserial", "-days", "2",
                "-extfile", self._extensions(name, hosts), "-out",
                name + ".pem", cwd=self.dir)
        return self._context(name)

    def _make_expired(self, name, ca, hosts):
        # `openssl ca` is the CLI's way to set an end date in the past.
        self._key(name)
        openssl("req", "-new", "-key", name + ".key", "-out", name + ".csr",
                "-subj", "/CN=" + hosts[0], cwd=self.dir)
        db = os.path.join(self.dir, "ca-db")
        os.makedirs(db, exist_ok=True)
        open(os.path.join(db, "index.txt"), "w").close()
        config = os.path.join(self.dir, "ca.cnf")
        with open(config, "w") as f:
            f.write("[ca]\ndefault_ca=test\n[test]\n"
                    f"dir={db}\ndatabase={db}/index.txt\nnew_certs_dir={db}\n"
                    "serial=" + db + "/serial\ndefault_md=sha256\n"
                    "policy=any\n[any]\ncommonName=supplied\n")
        with open(os.path.join(db, "serial"), "w") as f:
            f.write("1000\n")
        openssl("ca", "-batch", "-config", config, "-cert", ca + ".pem",
                "-keyfile", ca + ".key", "-in", name + ".csr", "-out",
                name + ".pem", "-startdate", "20200101000000Z", "-enddate",
                "20200102000000Z", "-extfile", self._extensions(name, hosts),
                "-notext", cwd=self.dir)
        return self._context(name)

    def _context(self, name):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(self.dir, name + ".pem"),
                                os.path.join(self.dir, name + ".key"))
        return context


class Behaviour:
    """How one host answers. `mode` is one of:
    "respond": status, headers and body after `delay` seconds;
    "close_delimited": the same without a Content-Length, the body ended by
    closing the connection;
    "chunked": the same with the body in chunks of 64 KiB;
    "close_mid_body": announce the body's length, send half, close;
    "short_body": announce `body` plus extra bytes, send `body`, close;
    "silent_close": close without answering;
    "silent": read the request, never answer, wait for the client to go;
    "trickle": send the head at once, then the body one byte a second;
    "endless_headers": the status line, then header fields without end;
    "endless_trailers": the body in one chunk, the last chunk, then trailer
    fields without end.
    """

    def __init__(self, body=b"", status=200, delay=0.0, headers=None,
                 mode="respond", cert="good"):
        self.body = body.encode() if isinstance(body, str) else body
        self.status = status
        self.delay = delay
        self.headers = headers or {}
        self.mode = mode
        self.cert = cert


class Request:
    def __init__(self, server_name, method, target, version, headers, when):
        self.server_name = server_name
        self.method = method
        self.target = target
        self.version = version
        self.headers = headers  # list of (name, value), in order sent
        self.when = when

    def header(self, name):
        values = [v for k, v in self.headers if k.lower() == name.lower()]
        return values[0] if len(values) == 1 else values or None


REASONS = {200: "OK", 204: "No Content", 301: "Moved Permanently",
           302: "Found", 404: "Not Found", 500: "Internal Server Error",
           503: "Service Unavailable"}


class HttpsServers:
    """HTTPS on 127.0.0.1:443 and [::1]:443, one thread per connection."""

    def __init__(self, certificates):
        self.certs = certificates
        self.lock = threading.Lock()
        self.behaviours = {}
        self.requests = []
        self.handshake_failures = []
        self.connections = []  # server names seen in TLS client hellos
        self.default = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.default.load_cert_chain(os.path.join(certificates.dir, "good.pem"),
                                     os.path.join(certificates.dir, "good.key"))
        self.default.sni_callback = self._choose_certificate
        self.listeners = []
        for address in ("127.0.0.1", "::1"):
            listener = listen(address, 64)
            self.listeners.append(listener)
            threading.Thread(target=self._accept, args=(listener,),
                             daemon=True).start()
        for address in (NO_TLS_V4, NO_TLS_V6):
            listener = listen(address, 64)
            self.listeners.append(listener)
            threading.Thread(target=self._accept, args=(listener, self._no_tls),
                             daemon=True).start()
        for address in (FULL_QUEUE_V4, FULL_QUEUE_V6):
            # With a backlog of 0, one connection that is never accepted
            # fills the queue.
            listener = listen(address, 0)
            filler = socket.create_connection((address, 443))
            self.listeners += [listener, filler]

    def configure(self, behaviours):
        """Sets each host's behaviour; hosts not named answer 404."""
        with self.lock:
            self.behaviours = dict(behaviours)
            self.requests = []
            self.handshake_failures = []
            self.connections = []

    def log(self):
        with self.lock:
            return list(self.requests)

    def _behaviour(self, host):
        with self.lock:
            return self.behaviours.get(host, Behaviour(status=404))

    def _choose_certificate(self, ssl_socket, server_name, _context):
        kind = self._behaviour(server_name).cert
        with self.lock:
            self.connections.append(server_name)
        if kind != "good":
            ssl_socket.context = getattr(self.certs, kind)
        ssl_socket.server_name_seen = server_name

    def _accept(self, listener, serve=None):
        while True:
            try:
                connection, _ = listener.accept()
            except OSError:
                return
            threading.Thread(target=serve or self._serve, args=(connection,),
                             daemon=True).start()

    @staticmethod
    def _wait_for_close(connection):
        try:
            while connection.recv(4096):
                pass
        except OSError:
            pass

    def _no_tls(self, raw):
        raw.settimeout(60)
        with raw:
            self._wait_for_close(raw)

    def _serve(self, raw):
        raw.settimeout(30)
        try:
            tls = self.default.wrap_socket(raw, server_side=True)
        except (ssl.SSLError, OSError) as error:
            with self.lock:
                self.handshake_failures.append(str(error))
            raw.close()
            return
        with tls:
            try:
                self._answer(tls)
            except (ssl.SSLError, OSError):
                pass

    def _answer(self, tls):
        head = b""
        while b"\r\n\r\n" not in head and len(head) < 65536:
            chunk = tls.recv(4096)
            if not chunk:
                return
            head += chunk
        lines = head.split(b"\r\n\r\n", 1)[0].decode("latin-1").split("\r\n")
        method, target, version = lines[0].split(" ", 2)
        headers = [tuple(part.strip() for part in line.split(":", 1))
                   for line in lines[1:]]
        server_name = getattr(tls, "server_name_seen", None)
        with self.lock:
            self.requests.append(Request(server_name, method, target, version,
                                         headers, time.monotonic()))
        behaviour = self._behaviour(server_name)
        if behaviour.delay:
            time.sleep(behaviour.delay)
        if behaviour.mode == "silent_close":
            return
        if behaviour.mode == "silent":
            self._wait_for_close(tls)
            return
        if behaviour.mode.startswith("endless_"):
            self._send_endless_fields(tls, behaviour)
            return
        body = behaviour.body
        length = len(body)
        if behaviour.mode == "short_body":
            length += 100
        elif behaviour.mode == "close_mid_body":
            body = body[:len(body) // 2]
        framing = {"close_delimited": [],
                   "chunked": ["Transfer-Encoding: chunked"]}.get(
                       behaviour.mode, [f"Content-Length: {length}"])
        reply = [f"HTTP/1.1 {behaviour.status} "
                 f"{REASONS.get(behaviour.status, 'Status')}",
                 *framing, "Connection: close"]
        reply += [f"{k}: {v}" for k, v in behaviour.headers.items()]
        head = ("\r\n".join(reply) + "\r\n\r\n").encode()
        if behaviour.mode == "chunked":
            size = 65536
            body = b"".join(f"{len(body[i:i + size]):x}\r\n".encode() +
                            body[i:i + size] + b"\r\n"
                            for i in range(0, len(body), size)) + b"0\r\n\r\n"
        if behaviour.mode == "trickle":
            tls.sendall(head)
            for i in range(len(body)):
                time.sleep(1)
                tls.sendall(body[i:i + 1])
        else:
            tls.sendall(head + body)
        # Orderly shutdown so the client sees the whole answer.
        try:
            tls.unwrap()
        except (ssl.SSLError, OSError):
            pass

    @staticmethod
    def _send_endless_fields(tls, behaviour):
        """Header or trailer fields, as fast as the client takes them, until
        it goes away."""
        head = f"HTTP/1.1 {behaviour.status} OK\r\nConnection: close\r\n"
        start = head.encode()
        if behaviour.mode == "endless_trailers":
            body = behaviour.body
            start += (f"Transfer-Encoding: chunked\r\n\r\n"
                      f"{len(body):x}\r\n").encode() + body + b"\r\n0\r\n"
        field = b"X-Field: " + b"a" * 1000 + b"\r\n"
        tls.sendall(start)
        while True:
            tls.sendall(field * 64)


class NameServer:
    """Reads DNS queries on port 53 (UDP and TCP) of `addresses`. Names in
    `answers` (name to IPv4 or IPv6 address) get their address for a
    query of its type, and an empty answer for the other; other queries are
    never answered, as by a name server that went away behind a VPN.
    names() lists the names asked over UDP."""

    def __init__(self, addresses=("127.0.0.1",), answers=None):
        self.lock = threading.Lock()
        self.asked = []
        self.answers = dict(answers or {})
        self.sockets = []
        for address in addresses:
            udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            udp.bind((address, 53))
            tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            tcp.bind((address, 53))
            tcp.listen(16)
            self.sockets += [udp, tcp]
            threading.Thread(target=self._read, args=(udp,), daemon=True).start()
            threading.Thread(target=self._hold, args=(tcp,), daemon=True).start()

    def names(self):
        with self.lock:
            return list(self.asked)

    def _read(self, udp):
        while True:
            query, client = udp.recvfrom(512)
            labels, i = [], 12  # the question follows the 12-byte header
            while i < len(query) and query[i]:
                labels.append(query[i + 1:i + 1 + query[i]].decode("latin-1"))
                i += 1 + query[i]
            name = ".".join(labels)
            with self.lock:
                self.asked.append(name)
            if name in self.answers and i + 5 <= len(query):
                udp.sendto(self._answer(query[:i + 5], self.answers[name]),
                           client)

    @staticmethod
    def _answer(question, address):
        """The reply to `question` (header and question section)."""
        qtype = struct.unpack(">H", question[-4:-2])[0]
        family = socket.AF_INET6 if ":" in address else socket.AF_INET
        record = b""
        if qtype == (28 if family == socket.AF_INET6 else 1):
            data = socket.inet_pton(family, address)
            record = struct.pack(">HHHIH", 0xC00C, qtype, 1, 60, len(data)) + data
        header = question[:2] + struct.pack(">HHHHH", 0x8180, 1,
                                            1 if record else 0, 0, 0)
        return header + question[12:] + record

    def _hold(self, tcp):
        held = []
        while True:
            held.append(tcp.accept()[0])


class Proxy:
    """A proxy on 127.0.0.1:`port`, one thread per connection, that tunnels
    to the host and port each connection names, found through the hosts
    file; targets() lists what the connections asked for."""

    def __init__(self, port):
        self.lock = threading.Lock()
        self.targets_seen = []
        self.listener = socket.create_server(("127.0.0.1", port))
        threading.Thread(target=self._accept, daemon=True).start()

    def targets(self):
        with self.lock:
            return list(self.targets_seen)

    def close(self):
        # Wakes the accepting thread, which would keep the port otherwise.
        self.listener.shutdown(socket.SHUT_RDWR)
        self.listener.close()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve_client, args=(client,),
                             daemon=True).start()

    def _serve_client(self, client):
        with client:
            try:
                self._serve(client)
            except (OSError, ValueError):
                pass

    def _seen(self, target):
        with self.lock:
            self.targets_seen.append(target)

    def _tunnel(self, client, host, port, established):
        """Connects to host:port, sends `established`, relays both ways."""
        with socket.create_connection((host, port), timeout=30) as server:
            client.sendall(established)
            threading.Thread(target=self._relay, args=(server, client),
                             daemon=True).start()
            self._relay(client, server)

    @staticmethod
    def _relay(source, sink):
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    sink.shutdown(socket.SHUT_WR)
                    return
                sink.sendall(data)
        except OSError:
            pass


class ConnectProxy(Proxy):
    """An HTTP proxy: each CONNECT request is a tunnel; targets() lists the
    "host:port" of each."""

    def _serve(self, client):
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = client.recv(4096)
            if not chunk:
                return
            head += chunk
        method, target = head.split(b" ", 2)[:2]
        target = target.decode("latin-1")
        self._seen(target)
        host, port = target.rsplit(":", 1)
        if method != b"CONNECT":
            client.sendall(b"HTTP/1.1 405 Method Not Allowed\r\n\r\n")
            return
        self._tunnel(client, host, int(port),
                     b"HTTP/1.1 200 Connection established\r\n\r\n")


def receive(connection, size):
    data = b""
    while len(data) < size:
        chunk = connection.recv(size - len(data))
        if not chunk:
            raise ValueError("connection closed")
        data += chunk
    return data


class SocksProxy(Proxy):
    """A SOCKS5 proxy as Tor's (no authentication): CONNECT to an IPv4 or
    IPv6 address or a host name, and Tor's RESOLVE (command 0xF0), which
    answers with an IPv4 address in the bound address. As the names' real
    addresses are loopback ones, which torsocks refuses to connect to, a
    name the hosts file knows gets an address of 0.0.0.0/8 that stands for
    it (as Tor's mapped addresses do), and a CONNECT to that address goes
    to the name. targets() lists "host:port" for each CONNECT and
    "RESOLVE host" for each RESOLVE."""

    def __init__(self, port):
        self.names = {}  # stand-in address to name
        super().__init__(port)

    def _serve(self, client):
        methods = receive(client, receive(client, 2)[1])
        if 0 not in methods:
            client.sendall(b"\x05\xff")
            return
        client.sendall(b"\x05\x00")
        _, command, _, kind = receive(client, 4)
        if kind == 3:
            host = receive(client, receive(client, 1)[0]).decode("latin-1")
        else:
            family = socket.AF_INET6 if kind == 4 else socket.AF_INET
            host = socket.inet_ntop(family, receive(client, 16 if kind == 4 else 4))
        port = struct.unpack(">H", receive(client, 2))[0]

        def reply(code, address="0.0.0.0"):
            client.sendall(bytes([5, code, 0, 1]) +
                           socket.inet_aton(address) + bytes(2))

        if command == 0xF0:
            self._seen("RESOLVE " + host)
            try:
                socket.getaddrinfo(host, None)
            except OSError:
                reply(4)  # host unreachable
                return
            with self.lock:
                address = next((a for a, n in self.names.items() if n == host),
                               f"0.0.0.{len(self.names) + 1}")
                self.names[address] = host
            reply(0, address)
            return
        with self.lock:
            host = self.names.get(host, host)
        self._seen(f"[{host}]:{port}" if ":" in host else f"{host}:{port}")
        if command != 1:
            reply(7)  # command not supported
            return
        try:
            self._tunnel(client, host, port, bytes([5, 0, 0, 1]) + bytes(6))
        except OSError:
            reply(5)  # connection refused


class Network:
    """Sets up the namespace: loopback, name resolution, CA, servers."""

    def __init__(self, full_bundle=False, python_servers=True, layered=True):
        """With full_bundle, the test CA is added to the system's CAs
        instead of replacing them, so certificate loading costs what it
        does on a real machine. Without python_servers, port 443 of
        127.0.0.1 and ::1 stays free (for nginx). Without layered, /etc
        stays the real file system, with the few files replaced mounted
        one by one, for benchmarks: under an overlay each link read in
        the CA directory costs about twice what it does on a machine
        (the resolver configuration can then not be replaced)."""
        enter_private_namespace()
        bring_up_loopback()
        for address in (NO_TLS_V6, FULL_QUEUE_V6, NGINX_V6):
            add_loopback_address(address)
        self.dir = tempfile.mkdtemp(prefix="ipwhere-e2e-")
        # Keys and all: removed when the process ends, passed or failed.
        atexit.register(shutil.rmtree, self.dir, ignore_errors=True)
        # A run as root goes on as nobody, which must read what it reads
        # on a real system: the files named below, and the resolver folder.
        os.chmod(self.dir, 0o711)
        self.certs = Certificates(self.dir)
        if layered:
            overlay_etc(self.dir)
        self.hosts_file = os.path.join(self.dir, "hosts")
        self.map_hosts({})
        bind_mount(self.hosts_file, "/etc/hosts")
        self.resolver_dir = os.path.join(self.dir, "resolver")
        os.mkdir(self.resolver_dir, 0o755)
        self.resolv_file = os.path.join(self.resolver_dir, "resolv.conf")
        self.configure_resolver()
        if layered:
            self.use_name_services("files dns")
            link_over("/etc/resolv.conf", self.resolv_file)
        else:
            services = os.path.join(self.dir, "nsswitch.conf")
            with open(services, "w") as f:
                f.write("hosts: files dns\n")
            os.chmod(services, 0o644)
            bind_mount(services, "/etc/nsswitch.conf")
            bind_mount(self.resolv_file, os.path.realpath("/etc/resolv.conf"))
        bundle = self.certs.bundle
        if full_bundle:
            bundle = os.path.join(self.dir, "full-bundle.pem")
            with open(bundle, "wb") as out:
                for path in (system_ca_bundle(), self.certs.bundle):
                    with open(path, "rb") as f:
                        out.write(f.read())
        os.chmod(bundle, 0o644)
        if layered and system_ca_bundle().startswith("/etc/"):
            link_over(system_ca_bundle(), bundle)
        else:
            bind_mount(bundle, system_ca_bundle())
        self.servers = HttpsServers(self.certs) if python_servers else None

    def map_hosts(self, overrides):
        """IPv4 hosts to 127.0.0.1, IPv6 hosts to ::1, unless overridden;
        a host overridden with None is left out, for the name server."""
        addresses = {V4_PRIMARY: "127.0.0.1", V4_FALLBACK: "127.0.0.1",
                     V6_PRIMARY: "::1", V6_FALLBACK: "::1"}
        addresses.update(overrides)
        # Rewritten in place: the bind mount follows the inode.
        with open(self.hosts_file, "w") as f:
            f.write("127.0.0.1 localhost\n::1 localhost\n")
            for host, address in addresses.items():
                if address is not None:
                    f.write(f"{address} {host}\n")
        os.chmod(self.hosts_file, 0o644)

    def use_name_services(self, sources):
        """The sources of the hosts database in nsswitch.conf."""
        with open("/etc/nsswitch.conf", "w") as f:
            f.write(f"hosts: {sources}\n")

    def configure_resolver(self, nameservers=("127.0.0.1",),
                           options="timeout:1 attempts:1"):
        """The resolver's name servers and options (none: glibc's defaults),
        written as resolver services and DHCP clients write them: a new
        file renamed over the old one."""
        new = self.resolv_file + ".new"
        with open(new, "w") as f:
            f.writelines(f"nameserver {address}\n" for address in nameservers)
            if options:
                f.write(f"options {options}\n")
        os.chmod(new, 0o644)
        os.rename(new, self.resolv_file)


def overlay_etc(directory):
    """A writable layer over /etc, private to this mount namespace, so that
    its files can be replaced by links or written."""
    upper, work = (os.path.join(directory, name) for name in ("etc", "etc-work"))
    os.mkdir(upper)
    os.mkdir(work)
    subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                    f"lowerdir=/etc,upperdir={upper},workdir={work}", "/etc"],
                   check=True)


def link_over(path, target):
    """Replaces `path` (under the /etc layer) by a symbolic link to
    `target`."""
    if os.path.lexists(path):
        os.remove(path)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    os.symlink(target, path)


class Site:
    """What nginx answers for one host's GET /json."""

    def __init__(self, body="", status=200, delay=0.0):
        self.body = body
        self.status = status
        self.delay = delay


class Nginx:
    """nginx serving HTTPS with HTTP/2 and TLS 1.3 only (or the versions
    `protocols` names), one server block a host (`sites`: host name to
    Site), on port 443 of `addresses`, with the test certificate. Each
    request is logged; requests() reads the log."""

    def __init__(self, certificates, sites, addresses, protocols="TLSv1.3"):
        self.protocols = protocols
        self.dir = tempfile.mkdtemp(prefix="nginx-", dir=certificates.dir)
        os.chmod(self.dir, 0o755)
        self.log_path = os.path.join(self.dir, "access.log")
        config = os.path.join(self.dir, "nginx.conf")
        with open(config, "w") as f:
            f.write(self._config(certificates.dir, sites, addresses))
        self.process = subprocess.Popen(
            ["nginx", "-p", self.dir, "-c", config, "-e",
             os.path.join(self.dir, "error.log")], preexec_fn=end_with_parent)
        deadline = time.monotonic() + 10
        for address in addresses:
            while True:
                try:
                    socket.create_connection((address, 443), timeout=1).close()
                    break
                except OSError:
                    if self.process.poll() is not None or \
                            time.monotonic() > deadline:
                        raise RuntimeError("nginx did not start: " +
                                           self.errors())
                    time.sleep(0.02)

    def _config(self, certs, sites, addresses):
        temp = os.path.join(self.dir, "temp")
        # The echo module (Debian's libnginx-mod-http-echo) only for delays.
        delays = any(site.delay for site in sites.values())
        lines = [
            *(["load_module /usr/lib/nginx/modules/ngx_http_echo_module.so;"]
              if delays else []),
            "daemon off;", "worker_processes 1;", "user root;",
            f"pid {self.dir}/nginx.pid;",
            "events { worker_connections 1024; }",
            "http {",
            "  log_format wire '$ssl_server_name|$request|$server_protocol|"
            "$http_user_agent|$status';",
            f"  access_log {self.log_path} wire;",
            *(f"  {kind}_temp_path {temp}-{kind};" for kind in
              ("client_body", "proxy", "fastcgi", "uwsgi", "scgi")),
            f"  ssl_protocols {self.protocols};",
            f"  ssl_certificate {certs}/good.pem;",
            f"  ssl_certificate_key {certs}/good.key;",
            "  default_type application/json;",
        ]
        # From 1.25.1 HTTP/2 has a directive of its own, and the listen
        # parameter is deprecated.
        version = re.search(r"/(\d+)\.(\d+)\.(\d+)", subprocess.run(
            ["nginx", "-v"], capture_output=True, text=True).stderr)
        directive = tuple(map(int, version.groups())) >= (1, 25, 1)
        lines += ["  http2 on;"] if directive else []
        listen = [f"    listen {'[' + a + ']' if ':' in a else a}:443 ssl"
                  f"{'' if directive else ' http2'};" for a in addresses]
        for host, site in sites.items():
            if any(c in site.body for c in "'\\$"):
                raise ValueError("body not quotable for nginx: " + site.body)
            if site.delay:
                answer = f"echo_status {site.status}; echo_sleep {site.delay}; " \
                    f"echo -n '{site.body}';"
            else:
                answer = f"return {site.status} '{site.body}';"
            lines += ["  server {", *listen, f"    server_name {host};",
                      f"    location = /json {{ {answer} }}", "  }"]
        lines.append("}")
        return "\n".join(lines) + "\n"

    def requests(self):
        """(host, request line, protocol, user agent, status) per request."""
        with open(self.log_path) as f:
            return [tuple(line.rstrip("\n").split("|")) for line in f]

    def errors(self):
        try:
            with open(os.path.join(self.dir, "error.log")) as f:
                return f.read()
        except OSError:
            return ""

    def cpu_seconds(self):
        """User + system time of nginx and its worker so far."""
        total = 0
        for pid in [self.process.pid] + children_of(self.process.pid):
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])
        return total / os.sysconf("SC_CLK_TCK")

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.stop()


def end_with_parent():
    """In a child before exec: SIGTERM when the parent dies, so nothing
    outlives a harness that crashed."""
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def children_of(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(child) for child in f.read().split()]
    except OSError:
        return []


def build_measure(directory):
    """bench/measure.cpp built into `directory` (again when it changed):
    wall time, CPU time and peak RSS of the commands it runs."""
    path = os.path.join(directory, "bench-measure")
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                          "..", "bench", "measure.cpp")
    if not os.path.exists(path) or os.path.getmtime(path) < os.path.getmtime(source):
        # Static, so that its own resident size stays small.
        subprocess.run(["c++", "-O2", "-static", "-o", path, source], check=True)
    return path


def system_ca_bundle():
    """The CA bundle libcurl reads by default."""
    try:
        out = subprocess.run(["curl-config", "--ca"], capture_output=True,
                             text=True, check=True).stdout.strip()
        if out:
            return out
    except (OSError, subprocess.CalledProcessError):
        pass
    return "/etc/ssl/certs/ca-certificates.crt"
