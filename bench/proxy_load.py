"""The client side of the proxy benchmarks: the workloads that run against
the test upstream of proxy_peers, directly or through a proxy. Every one
first reads the upstream's greeting line, as a mail client does. With tls
the clients speak implicit TLS (verifying nothing: the figures are about
cost, not trust); given Tickets, they offer the last session they were given
on that port again, as a mail client does when it reconnects."""
import errno
import select
import socket
import ssl
import statistics
import time

from proxy_peers import BANNER, CHUNK, HOST, read_to_close

TIMEOUT = 60
_CLIENT_TLS = ssl.create_default_context()
_CLIENT_TLS.check_hostname = False
_CLIENT_TLS.verify_mode = ssl.CERT_NONE


class Refused(Exception):
    """The connection ended before the greeting arrived."""


class Tickets:
    """The latest TLS session per port, offered on the next connection there,
    and how many of the handshakes that offered one resumed it."""

    def __init__(self):
        self.by_port = {}
        self.handshakes = 0
        self.resumed = 0

    def offer(self, port):
        return self.by_port.get(port)

    def keep(self, port, s):
        """After the greeting: by then a TLS 1.3 server has sent its tickets."""
        self.handshakes += 1
        self.resumed += 1 if s.session_reused else 0
        if s.session is not None and s.session.has_ticket:
            self.by_port[port] = s.session


def connect(port, tls=False, timeout=TIMEOUT, tickets=None):
    s = socket.create_connection((HOST, port), timeout=timeout)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    if not tls:
        return s
    try:
        return _CLIENT_TLS.wrap_socket(s, session=tickets.offer(port) if tickets else None)
    except (ssl.SSLEOFError, ConnectionResetError) as e:
        s.close()
        raise Refused() from e  # closed during the handshake: no greeting either


def read_banner(s):
    """Reads the greeting; anything that came with it is returned."""
    data = b""
    while b"\n" not in data:
        try:
            more = s.recv(256)
        except ConnectionResetError:
            more = b""
        if not more:
            raise Refused()
        data += more
    if not data.startswith(BANNER):
        raise SystemExit("unexpected greeting %r" % data[:80])
    return data[len(BANNER):]


def open_session(port, command, tls=False):
    s = connect(port, tls)
    try:
        extra = read_banner(s)
        s.sendall(command)
    except BaseException:
        s.close()
        raise
    return s, extra


def bulk_seconds(port, size, tls=False):
    """Seconds for size bytes from the upstream to this client."""
    view = memoryview(bytearray(CHUNK))
    start = time.perf_counter()
    s, got = open_session(port, b"BULK %d\r\n" % size, tls)
    got = len(got)
    with s:
        while True:
            n = s.recv_into(view)
            if n == 0:
                break
            got += n
    elapsed = time.perf_counter() - start
    if got != size:
        raise SystemExit("bulk transfer on port %d gave %d of %d bytes" % (port, got, size))
    return elapsed


def round_trips_us(port, count, tls=False, warm_up=200):
    """count timed round trips of 32 bytes on one connection, in microseconds."""
    message = b"a001 NOOP padding to 32 bytes\r\n"
    times = []
    s, _ = open_session(port, b"ECHO\r\n", tls)
    with s:
        for i in range(count + warm_up):
            start = time.perf_counter_ns()
            s.sendall(message)
            got = 0
            while got < len(message):
                data = s.recv(4096)
                if not data:
                    raise SystemExit("echo connection closed")
                got += len(data)
            if i >= warm_up:  # the first ones warm up caches and the scheduler
                times.append((time.perf_counter_ns() - start) / 1000.0)
    return times


def percentiles(times):
    times = sorted(times)
    return statistics.median(times), times[max(0, int(len(times) * 0.99) - 1)]


class SessionCount:
    def __init__(self):
        self.sessions = 0
        self.refused = 0
        self.failed = 0
        self.seconds = 0.0

    @property
    def rate(self):
        return self.sessions / self.seconds if self.seconds else 0.0


def one_session(port, tls=False, tickets=None):
    """connect, greeting, QUIT, reply, close; True when the reply came."""
    s = connect(port, tls, timeout=10, tickets=tickets)
    with s:
        read_banner(s)
        if tickets is not None:
            tickets.keep(port, s)
        s.sendall(b"QUIT\r\n")
        reply = read_to_close(s, 256)
    return reply.startswith(b"221")


def sessions_sequential(ports, seconds, tls=False, tickets=None):
    """Sessions one after another for the given time, the ports in turn."""
    count = SessionCount()
    start = time.perf_counter()
    until = start + seconds
    i = 0
    while time.perf_counter() < until:
        try:
            if one_session(ports[i % len(ports)], tls, tickets):
                count.sessions += 1
            else:
                count.failed += 1
        except Refused:
            count.refused += 1
        except OSError:
            count.failed += 1
        i += 1
    count.seconds = time.perf_counter() - start
    return count


class _Client:
    """One of the concurrent clients and how far its session has come:
    "connecting" and "handshake" (TLS only), "greeting", "reply"."""

    __slots__ = ("sock", "port", "state", "received", "started")

    def __init__(self, sock, port, state):
        self.sock, self.port, self.state = sock, port, state
        self.received = b""
        self.started = time.monotonic()


def _read_ready(sock):
    """What a ready socket holds: bytes, b"" at the peer's end, or None when a
    TLS socket had only records of its own (tickets, say)."""
    try:
        data = sock.recv(4096)
        while data and isinstance(sock, ssl.SSLSocket) and sock.pending():
            data += sock.recv(4096)
        return data
    except (ssl.SSLWantReadError, ssl.SSLWantWriteError, BlockingIOError):
        return None
    except (ConnectionResetError, ConnectionRefusedError, ssl.SSLError):
        return b""


def sessions_concurrent(ports, per_port, seconds, stall=10.0, tls=False, tickets=None):
    """per_port clients on each port, each starting its next session as soon
    as one ends, for the given time; one thread, non-blocking sockets, so
    that the clients cost little beside the proxy."""
    count = SessionCount()
    poller = select.epoll()
    clients = {}  # fd -> _Client

    def begin(port):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        result = s.connect_ex((HOST, port))
        if result not in (0, errno.EINPROGRESS):
            s.close()
            count.failed += 1
            return False
        poller.register(s.fileno(), select.EPOLLOUT if tls else select.EPOLLIN)
        clients[s.fileno()] = _Client(s, port, "connecting" if tls else "greeting")
        return True

    def end(fd, outcome):
        client = clients.pop(fd)
        poller.unregister(fd)
        client.sock.close()
        setattr(count, outcome, getattr(count, outcome) + 1)
        if time.perf_counter() < until:
            begin(client.port)

    def handshake(fd, client):
        """Moves the TLS handshake on; True once it is done."""
        if client.state == "connecting":
            if client.sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR):
                end(fd, "refused")
                return False
            client.sock = _CLIENT_TLS.wrap_socket(client.sock, do_handshake_on_connect=False,
                                                  session=tickets.offer(client.port) if tickets else None)
            client.state = "handshake"
        try:
            client.sock.do_handshake()
        except ssl.SSLWantReadError:
            poller.modify(fd, select.EPOLLIN)
            return False
        except ssl.SSLWantWriteError:
            poller.modify(fd, select.EPOLLOUT)
            return False
        except (ssl.SSLEOFError, ConnectionResetError, ConnectionRefusedError, BrokenPipeError):
            end(fd, "refused")
            return False
        except OSError:
            end(fd, "failed")
            return False
        client.state = "greeting"
        poller.modify(fd, select.EPOLLIN)
        return True

    def advance(fd, client):
        if client.state in ("connecting", "handshake") and not handshake(fd, client):
            return
        data = _read_ready(client.sock)
        if data is None:
            return
        if client.state == "greeting":
            if not data:
                end(fd, "refused")
                return
            client.received += data
            if b"\n" in client.received:
                if tickets is not None:
                    tickets.keep(client.port, client.sock)
                client.state, client.received = "reply", b""
                client.sock.send(b"QUIT\r\n")
        elif data:
            client.received += data
        else:
            end(fd, "sessions" if client.received.startswith(b"221") else "failed")

    start = time.perf_counter()
    until = start + seconds
    for port in ports:
        for _ in range(per_port):
            begin(port)
    while clients:
        for fd, _ in poller.poll(0.5):
            client = clients.get(fd)
            if client is not None:
                advance(fd, client)
        now = time.monotonic()
        for fd in [fd for fd, c in clients.items() if now - c.started > stall]:
            end(fd, "failed")
    count.seconds = time.perf_counter() - start
    poller.close()
    return count


def idle_clients(ports, per_port, tls=False):
    """per_port connected clients on each port, each past its greeting."""
    held = []
    try:
        for port in ports:
            for _ in range(per_port):
                s = connect(port, tls)
                held.append(s)
        for s in held:
            read_banner(s)
    except BaseException:
        for s in held:
            s.close()
        raise
    return held
