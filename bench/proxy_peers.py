"""What the proxy benchmarks share: the loopback test upstream, the proxies
they measure (QuilloMark, HAProxy, stunnel) started in scratch directories,
the release build of QuilloMark, and the figures read from /proc.

The test upstream greets every connection like a mail server, with one line
"220 ...", and then takes one command line:

  QUIT     it answers "221 ..." and closes
  BULK n   it sends n bytes and closes
  ECHO     it sends everything back until the client closes
  HOLD n   it answers "OK" and n bytes, then keeps the connection open
  STATS    it answers one JSON line of counters per listening port, and closes

One process serves any number of ports, plain or implicit TLS, so that each
proxy can be given ports of its own and the counters (TLS sessions resumed,
for one) tell the proxies apart.
"""
import asyncio
import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST = "127.0.0.1"
BANNER = b"220 qm-bench upstream ready\r\n"
CHUNK = 1 << 20
PROTOCOLS = ("SMTP", "POP3", "IMAP4")

# How a proxy under test meets its clients and its upstream: "plain" and
# "tls" take plain clients to a plain or an implicit-TLS upstream; "tls2"
# takes clients that speak implicit TLS themselves to an implicit-TLS
# upstream.
MODES = ("plain", "tls", "tls2")


def upstream_tls(mode):
    return mode != "plain"


def client_tls(mode):
    return mode == "tls2"


# --- the test upstream (run in its own process) ------------------------------

class UpstreamSession(asyncio.Protocol):
    """One connection to the upstream; an asyncio protocol rather than streams,
    so that the upstream's own cost per session stays small beside the proxy's."""

    def __init__(self, counters, all_counters):
        self.counters = counters
        self.all_counters = all_counters
        self.transport = None
        self.line = b""
        self.mode = None
        self.left = 0
        self.paused = False

    def connection_made(self, transport):
        self.transport = transport
        sock = transport.get_extra_info("socket")
        if sock is not None:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.counters["connections"] += 1
        tls = transport.get_extra_info("ssl_object")
        if tls is not None and tls.session_reused:
            self.counters["resumed"] += 1
        transport.write(BANNER)

    def data_received(self, data):
        if self.mode == "ECHO":
            self.transport.write(data)
            return
        if self.mode is not None:
            return  # HOLD and BULK take no more input
        self.line += data
        if b"\n" not in self.line:
            if len(self.line) > 1024:
                self.transport.close()
            return
        line, _, rest = self.line.partition(b"\n")
        words = line.split()
        command = words[0].upper() if words else b""
        if command == b"QUIT":
            self.counters["quit"] += 1
            self.transport.write(b"221 bye\r\n")
            self.transport.close()
        elif command == b"BULK":
            self.mode, self.left = "BULK", int(words[1])
            self.pump()
        elif command == b"ECHO":
            self.mode = "ECHO"
            if rest:
                self.transport.write(rest)
        elif command == b"HOLD":
            self.mode = "HOLD"
            self.transport.write(b"OK\n" + b"h" * int(words[1]))
        elif command == b"STATS":
            self.transport.write(json.dumps(self.all_counters).encode() + b"\n")
            self.transport.close()
        else:
            self.transport.write(b"500 unknown\r\n")
            self.transport.close()

    def pump(self):
        if self.transport is None or self.transport.is_closing():
            return
        block = UPSTREAM_BLOCK
        while self.left > 0 and not self.paused:
            n = min(self.left, CHUNK)
            self.transport.write(block[:n])
            self.left -= n
        if self.left == 0:
            self.transport.close()

    def pause_writing(self):
        self.paused = True

    def resume_writing(self):
        self.paused = False
        if self.mode == "BULK":
            # Not from inside the transport's own write callback: a close
            # there would end the connection twice.
            asyncio.get_running_loop().call_soon(self.pump)

    def connection_lost(self, exc):
        self.transport = None


UPSTREAM_BLOCK = memoryview(b"x" * CHUNK)


async def upstream_serve(listeners, cert, key):
    """listeners: (name, port, tls) triples."""
    context = None
    if any(tls for _, _, tls in listeners):
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(cert, key)
    counters = {}
    servers = []
    loop = asyncio.get_running_loop()
    for name, port, tls in listeners:
        c = counters.setdefault(name, {"connections": 0, "resumed": 0, "quit": 0})
        servers.append(await loop.create_server(
            lambda c=c: UpstreamSession(c, counters), HOST, port, ssl=context if tls else None,
            backlog=1024, reuse_address=True))
    await asyncio.gather(*(s.serve_forever() for s in servers))


def upstream_main(argv):
    """python3 proxy_peers.py CERT KEY NAME:PORT:TLS..."""
    cert, key = argv[0], argv[1]
    listeners = []
    for spec in argv[2:]:
        name, port, tls = spec.split(":")
        listeners.append((name, int(port), tls == "1"))
    asyncio.run(upstream_serve(listeners, cert, key))


class Upstream:
    """The test upstream in its own process, with a self-signed certificate
    (P-256, cheap to sign, so that full handshakes load the upstream little)."""

    def __init__(self, directory, listeners):
        self.ports = {name: port for name, port, _ in listeners}
        self.plain_port = next((port for _, port, tls in listeners if not tls), None)
        cert = key = "-"
        # The proxies that end their clients' TLS may present the same
        # certificate: nobody verifies it here.
        self.cert = self.key = None
        if any(tls for _, _, tls in listeners):
            cert = os.path.join(directory, "upstream.crt")
            key = os.path.join(directory, "upstream.key")
            subprocess.check_call(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                   "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                                   "/CN=localhost", "-keyout", key, "-out", cert],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.cert, self.key = cert, key
        specs = ["%s:%d:%d" % (name, port, 1 if tls else 0) for name, port, tls in listeners]
        self.process = subprocess.Popen([sys.executable, os.path.abspath(__file__), cert, key] + specs)
        for port in self.ports.values():
            if not wait_port(port):
                self.stop()
                raise SystemExit("the test upstream did not start")

    def stats(self):
        with socket.create_connection((HOST, self.plain_port), timeout=10) as s:
            s.sendall(b"STATS\r\n")
            data = read_to_close(s)
        return json.loads(data.partition(BANNER)[2])

    def stop(self):
        stop_process(self.process)


# --- helpers ------------------------------------------------------------------

def read_to_close(s, size=65536):
    """Everything the peer sends until it closes."""
    data = b""
    while True:
        more = s.recv(size)
        if not more:
            return data
        data += more


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def wait_port(port, timeout=20.0):
    until = time.monotonic() + timeout
    while time.monotonic() < until:
        try:
            socket.create_connection((HOST, port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


def stop_process(process, seconds=10):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(seconds)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def quiet_environment():
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", LANG="C")
    env.pop("LC_ALL", None)
    return env


def ensure_binary(path=None):
    """The quillomark to measure: path, or the release build in build/release,
    brought up to date first (ccache keeps that cheap)."""
    if path:
        return os.path.abspath(path)
    build = os.path.join(REPO, "build", "release")
    env = dict(os.environ)
    if shutil.which("ccache"):
        env.setdefault("CMAKE_CXX_COMPILER_LAUNCHER", "ccache")
        env.setdefault("CMAKE_C_COMPILER_LAUNCHER", "ccache")
    if not os.path.exists(os.path.join(build, "build.ninja")):
        subprocess.check_call(["cmake", "-S", REPO, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                               "-DQM_BUILD_TESTS=OFF"], env=env, stdout=subprocess.DEVNULL)
    subprocess.check_call(["ninja", "-C", build, "-j2", "quillomark"], env=env, stdout=subprocess.DEVNULL)
    return os.path.join(build, "quillomark")


# --- /proc ----------------------------------------------------------------------

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def proc_field(pid, name, key):
    with open("/proc/%d/%s" % (pid, name)) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def rss_kb(pid):
    return proc_field(pid, "status", "VmRSS")


def pss_kb(pid):
    return proc_field(pid, "smaps_rollup", "Pss")


def private_kb(pid):
    """Pages only this process maps. Unlike PSS it does not move when other
    processes map or drop the same libraries, as tests on a shared machine
    do all the time with Qt's and OpenSSL's."""
    return proc_field(pid, "smaps_rollup", "Private_Clean") + proc_field(pid, "smaps_rollup", "Private_Dirty")


def threads(pid):
    return proc_field(pid, "status", "Threads")


def cpu_seconds(pid):
    """User and system time of the whole process, ended threads included."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def wakeups(pid):
    """Per thread, the times it was put on a CPU: the third field of its
    schedstat (its context switches where schedstat is missing)."""
    counts = {}
    task_dir = "/proc/%d/task" % pid
    for tid in os.listdir(task_dir):
        try:
            with open(os.path.join(task_dir, tid, "schedstat")) as f:
                counts[tid] = int(f.read().split()[2])
        except FileNotFoundError:
            try:
                counts[tid] = (proc_field(pid, "task/%s/status" % tid, "voluntary_ctxt_switches")
                               + proc_field(pid, "task/%s/status" % tid, "nonvoluntary_ctxt_switches"))
            except FileNotFoundError:
                pass  # ended meanwhile
    return counts


def wakeups_between(before, after):
    """Wake-ups between two readings of wakeups(): threads present in both
    count their difference, threads started since count all of theirs. A
    thread that ended meanwhile takes its count with it, so short-lived
    threads are undercounted."""
    return sum(count - before.get(tid, 0) for tid, count in after.items())


# --- the proxies ------------------------------------------------------------------

class Peer:
    """A proxy process listening on one port per mail protocol, all three
    relaying to one upstream port."""

    name = "?"

    def __init__(self, mode, upstream_port):
        self.mode = mode
        self.upstream_port = upstream_port
        self.dir = tempfile.mkdtemp(prefix="qmpeer")
        self.ports = {name: free_port() for name in PROTOCOLS}
        self.process = None
        self.out = None

    def start(self, argv, env=None):
        self.out = open(os.path.join(self.dir, "out.txt"), "w")
        self.process = subprocess.Popen(argv, cwd=self.dir, env=env, stdin=subprocess.DEVNULL,
                                        stdout=self.out, stderr=subprocess.STDOUT)
        for port in self.ports.values():
            if not wait_port(port):
                self.stop()
                raise SystemExit("%s did not listen; its output: %s" % (self.name, self.output()))

    @property
    def pid(self):
        return self.process.pid

    def output(self):
        path = os.path.join(self.dir, "out.txt")
        if not os.path.exists(path):
            return ""
        with open(path, errors="replace") as f:
            return f.read()[-2000:]

    def stop(self):
        if self.process:
            stop_process(self.process)
        if self.out:
            self.out.close()
        shutil.rmtree(self.dir, ignore_errors=True)


class QuilloMark(Peer):
    """quillomark whose result file ranks one candidate, the upstream port for
    all three protocols, plain or implicit TLS. Its clients come in on the
    plain ports, or in mode "tls2" on the implicit-TLS ones (the plain ones
    then listen on ports nobody uses; otherwise the implicit-TLS ones are
    off)."""

    name = "QuilloMark"

    def __init__(self, binary, mode, upstream_port, log_size=None):
        super().__init__(mode, upstream_port)
        plain = {name: free_port() for name in PROTOCOLS} if client_tls(mode) else self.ports
        secure = self.ports if client_tls(mode) else {name: 0 for name in PROTOCOLS}
        with open(os.path.join(self.dir, "Quillomark.ini"), "w") as f:
            f.write("PORT_SMTP=%(SMTP)d\nPORT_POP3=%(POP3)d\nPORT_IMAP4=%(IMAP4)d\n" % plain)
            f.write("PORT_SMTPS=%(SMTP)d\nPORT_POP3S=%(POP3)d\nPORT_IMAP4S=%(IMAP4)d\n" % secure)
            if log_size:
                f.write("LOG_SIZE=%d\n" % log_size)
            # The reachability test of the first detection run goes to a
            # closed local port, and no connection list exists: the run
            # fails at once and writes no result.
            f.write("LOG_LVL=3\nTEST_INTERNET_SERVER=\"127.0.0.1\"\nTEST_INTERNET_PORT=%d\n"
                    "TEST_INTERNET_RETRY_NUM=0\nTEST_INTERNET_RETRY_INTERVAL=1\n" % free_port())
        ports = upstream_port if isinstance(upstream_port, tuple) else (upstream_port,) * 3
        write_result_file(self.dir, "MAIL-SSL" if upstream_tls(mode) else "MAIL", ports, "bench-upstream")
        self.start([binary], env=quiet_environment())

    def log(self):
        text = ""
        for name in ("Quillomark.bak", "Quillomark.log"):
            path = os.path.join(self.dir, name)
            if os.path.exists(path):
                with open(path, errors="replace") as f:
                    text += f.read()
        return text

    def refusals_logged(self):
        """Clients closed at once for want of a free slot, per listener (the
        implicit-TLS ones are named with an "S" after the protocol)."""
        log = self.log()
        names = PROTOCOLS + tuple(name + "S" for name in PROTOCOLS)
        return {name: log.count("ERROR: proxy %s no avail socket" % name) for name in names}


def write_result_file(directory, link_type, ports, code):
    stamp = int(time.time())
    with open(os.path.join(directory, "detect_result.log"), "w") as f:
        f.write("%d\n%s\n" % (stamp, time.strftime("%Y/%m/%d %H:%M:%S", time.localtime(stamp))))
        f.write("10 %s 127.0.0.1 %d %d %d %s\n" % ((link_type,) + tuple(ports) + (code,)))


class HAProxy(Peer):
    """HAProxy in TCP mode, as packaged, with its default threads; the TLS
    upstream is reached with "ssl verify none" (session reuse is its default),
    TLS clients are met with "ssl crt" (session cache and tickets on by
    default)."""

    name = "HAProxy"

    def __init__(self, mode, upstream_port, cert=None, key=None):
        super().__init__(mode, upstream_port)
        tls = " ssl verify none" if upstream_tls(mode) else ""
        bind_tls = ""
        if client_tls(mode):
            pem = os.path.join(self.dir, "server.pem")
            with open(pem, "w") as out, open(cert) as c, open(key) as k:
                out.write(c.read() + k.read())
            bind_tls = " ssl crt %s" % pem
        config = ["global", "    maxconn 4096", "defaults", "    mode tcp", "    timeout connect 5s",
                  "    timeout client 1h", "    timeout server 1h",
                  "backend upstream", "    server up %s:%d%s" % (HOST, upstream_port, tls)]
        for name, port in self.ports.items():
            config += ["frontend %s" % name.lower(), "    bind %s:%d%s" % (HOST, port, bind_tls),
                       "    default_backend upstream"]
        path = os.path.join(self.dir, "haproxy.cfg")
        with open(path, "w") as f:
            f.write("\n".join(config) + "\n")
        self.start(["haproxy", "-db", "-f", path])


class Stunnel(Peer):
    """stunnel in client mode (plain towards the client, TLS towards the
    upstream), logging errors only. In mode "tls2" each port is a server
    section that ends the client's TLS in front of a client section that
    starts the upstream's, the two joined by a loopback port of their own, in
    one process."""

    name = "stunnel"

    def __init__(self, mode, upstream_port, cert=None, key=None):
        super().__init__(mode, upstream_port)
        if not upstream_tls(mode):
            raise ValueError("stunnel relays to TLS upstreams only")
        config = ["foreground = yes", "pid =", "debug = 3", "output = %s" % os.path.join(self.dir, "stunnel.log")]
        for name, port in self.ports.items():
            accept = port
            if client_tls(mode):
                accept = free_port()
                config += ["[%s-in]" % name.lower(), "cert = %s" % cert, "key = %s" % key,
                           "sslVersionMin = TLSv1.2", "accept = %s:%d" % (HOST, port),
                           "connect = %s:%d" % (HOST, accept)]
            config += ["[%s]" % name.lower(), "client = yes", "accept = %s:%d" % (HOST, accept),
                       "connect = %s:%d" % (HOST, upstream_port)]
        path = os.path.join(self.dir, "stunnel.conf")
        with open(path, "w") as f:
            f.write("\n".join(config) + "\n")
        self.start([shutil.which("stunnel4") or "stunnel", path])


if __name__ == "__main__":
    upstream_main(sys.argv[1:])
