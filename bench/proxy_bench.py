#!/usr/bin/env python3
"""Benchmark of QuilloMark's mail proxy on loopback, with public tools only
(Python 3 and socat). It starts a release build of quillomark in a scratch
directory whose "detect_result.log" points every protocol at a local test
upstream, and prints, measured in this one run:

  bulk      1 GiB from the upstream to a client through the POP3 proxy port,
            against the same transfer direct and through socat as the relay
  latency   20,000 small round trips through the proxy: median and p99
            latency added over the same round trips direct
  clients   96 clients at once (32 per protocol): resident memory of the
            proxy per connected client, and a 33rd client of one protocol
            refused

Usage: bench/proxy_bench.py [--binary PATH] [--bulk-bytes N] [--round-trips N]

Without --binary it uses build-bench/quillomark, configuring and building
that release build first when it is missing. Nothing here is a test: the
figures depend on the machine; the targets are printed beside them.
"""
import argparse
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST = "127.0.0.1"
CHUNK = 1 << 20


# --- the test upstream (run in its own process) ------------------------------
#
# Each connection first sends one command line:
#   BULK n   the upstream sends n bytes and closes
#   ECHO     everything is sent back until the client closes
#   HOLD n   the upstream answers "OK\n" and n bytes, then keeps the connection

def serve_connection(conn):
    with conn:
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        line = b""
        while not line.endswith(b"\n"):
            data = conn.recv(64)
            if not data:
                return
            line += data
        line, _, rest = line.partition(b"\n")
        words = line.split()
        if words[0] == b"BULK":
            left = int(words[1])
            block = memoryview(bytearray(b"x" * CHUNK))
            while left > 0:
                n = min(left, CHUNK)
                conn.sendall(block[:n])
                left -= n
        elif words[0] == b"ECHO":
            if rest:
                conn.sendall(rest)
            while True:
                data = conn.recv(65536)
                if not data:
                    return
                conn.sendall(data)
        elif words[0] == b"HOLD":
            conn.sendall(b"OK\n" + b"h" * int(words[1]))
            while conn.recv(65536):
                pass


def upstream_main(port):
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((HOST, port))
    listener.listen(256)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve_connection, args=(conn,), daemon=True).start()


# --- helpers ------------------------------------------------------------------

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


def connect(port):
    s = socket.create_connection((HOST, port), timeout=60)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def bulk_seconds(port, size):
    buffer = bytearray(CHUNK)
    view = memoryview(buffer)
    start = time.perf_counter()
    with connect(port) as s:
        s.sendall(b"BULK %d\n" % size)
        got = 0
        while True:
            n = s.recv_into(view)
            if n == 0:
                break
            got += n
    elapsed = time.perf_counter() - start
    if got != size:
        raise SystemExit("bulk transfer on port %d gave %d of %d bytes" % (port, got, size))
    return elapsed


def round_trips_us(port, count):
    """count timed round trips of 32 bytes on one connection, in microseconds."""
    message = b"a001 NOOP padding to 32 bytes\r\n"
    times = []
    with connect(port) as s:
        s.sendall(b"ECHO\n")
        for i in range(count + 200):
            start = time.perf_counter_ns()
            s.sendall(message)
            got = 0
            while got < len(message):
                data = s.recv(4096)
                if not data:
                    raise SystemExit("echo connection closed")
                got += len(data)
            if i >= 200:  # the first ones warm up caches and the scheduler
                times.append((time.perf_counter_ns() - start) / 1000.0)
    return times


def percentiles(times):
    times = sorted(times)
    return statistics.median(times), times[int(len(times) * 0.99) - 1]


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def refused_at_once(port):
    with socket.create_connection((HOST, port), timeout=5) as s:
        s.settimeout(2)
        start = time.monotonic()
        try:
            data = s.recv(16)
        except ConnectionResetError:
            data = b""
        except socket.timeout:
            return False, 2.0
        return data == b"", time.monotonic() - start


def read_exactly(s, n):
    got = 0
    while got < n:
        data = s.recv(65536)
        if not data:
            raise SystemExit("held connection closed early")
        got += len(data)


# --- the run ------------------------------------------------------------------

class Proxy:
    """A quillomark in a scratch directory, all three protocols pointing at upstream."""

    def __init__(self, binary, upstream_port):
        self.dir = tempfile.mkdtemp(prefix="qmbench")
        self.ports = {"SMTP": free_port(), "POP3": free_port(), "IMAP4": free_port()}
        with open(os.path.join(self.dir, "Quillomark.ini"), "w") as f:
            f.write("PORT_SMTP=%d\nPORT_POP3=%d\nPORT_IMAP4=%d\n" %
                    (self.ports["SMTP"], self.ports["POP3"], self.ports["IMAP4"]))
            # The reachability test of the first detection run goes to a
            # closed local port, and no connection list exists: the run
            # fails at once and writes no result.
            f.write("LOG_LVL=3\nTEST_INTERNET_SERVER=\"127.0.0.1\"\nTEST_INTERNET_PORT=%d\n"
                    "TEST_INTERNET_RETRY_NUM=0\nTEST_INTERNET_RETRY_INTERVAL=1\n" % free_port())
        stamp = int(time.time())
        with open(os.path.join(self.dir, "detect_result.log"), "w") as f:
            f.write("%d\n%s\n" % (stamp, time.strftime("%Y/%m/%d %H:%M:%S", time.localtime(stamp))))
            f.write("10 MAIL 127.0.0.1 %d %d %d bench-upstream\n" % ((upstream_port,) * 3))
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", LANG="C")
        env.pop("LC_ALL", None)
        self.out = open(os.path.join(self.dir, "out.txt"), "w")
        self.process = subprocess.Popen([binary], cwd=self.dir, env=env, stdin=subprocess.DEVNULL,
                                        stdout=self.out, stderr=subprocess.STDOUT)
        for port in self.ports.values():
            if not wait_port(port):
                self.stop()
                raise SystemExit("quillomark did not listen (is another copy running for this user?)")
        time.sleep(0.3)  # let the start-up settle before memory is read

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
        self.out.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def ensure_binary(path):
    if path:
        return os.path.abspath(path)
    build = os.path.join(REPO, "build-bench")
    binary = os.path.join(build, "quillomark")
    if not os.path.exists(binary):
        subprocess.check_call(["cmake", "-S", REPO, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                               "-DQM_BUILD_TESTS=OFF"])
        subprocess.check_call(["ninja", "-C", build, "-j2", "quillomark"])
    return binary


def measure_clients(proxy, download):
    """96 clients, each having pulled download bytes; KB resident per client."""
    pid = proxy.process.pid
    before = rss_kb(pid)
    held = []
    for name in ("SMTP", "POP3", "IMAP4"):
        for _ in range(32):
            s = connect(proxy.ports[name])
            s.sendall(b"HOLD %d\n" % download)
            held.append(s)
    for s in held:
        read_exactly(s, 3 + download)
    time.sleep(0.5)
    after = rss_kb(pid)
    refused, seconds = refused_at_once(proxy.ports["POP3"])
    for s in held:
        s.close()
    return before, after, (after - before) / 96.0, refused, seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", help="quillomark to measure (default: build-bench/quillomark)")
    parser.add_argument("--bulk-bytes", type=int, default=1 << 30)
    parser.add_argument("--round-trips", type=int, default=20000)
    parser.add_argument("--repeat", type=int, default=3, help="bulk runs per path; the median counts")
    parser.add_argument("--upstream", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.upstream:
        upstream_main(args.upstream)
        return
    if not shutil.which("socat"):
        raise SystemExit("socat is needed (Debian: apt-get install socat)")
    binary = ensure_binary(args.binary)

    upstream_port = free_port()
    upstream = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--upstream", str(upstream_port)])
    socat = None
    proxy = None
    try:
        if not wait_port(upstream_port):
            raise SystemExit("the upstream did not start")
        socat_port = free_port()
        socat = subprocess.Popen(["socat", "TCP-LISTEN:%d,bind=%s,reuseaddr,fork" % (socat_port, HOST),
                                  "TCP:%s:%d" % (HOST, upstream_port)])
        if not wait_port(socat_port):
            raise SystemExit("socat did not start")

        # Memory first, on a fresh process: later runs would leave freed
        # buffers in its heap that new clients then reuse.
        proxy = Proxy(binary, upstream_port)
        download = 256 * 1024
        before, after, per_client, refused, refuse_s = measure_clients(proxy, download)

        # Paths take turns, so that a change in the machine's load meets
        # all of them alike.
        paths = {"direct": upstream_port, "socat": socat_port, "proxy": proxy.ports["POP3"]}
        runs = {name: [] for name in paths}
        for _ in range(args.repeat):
            for name, port in paths.items():
                runs[name].append(bulk_seconds(port, args.bulk_bytes))
        rates = {name: args.bulk_bytes / statistics.median(r) / 1e6 for name, r in runs.items()}

        blocks = 4
        trips = {"direct": [], "proxy": []}
        for _ in range(blocks):
            trips["direct"] += round_trips_us(upstream_port, args.round_trips // blocks)
            trips["proxy"] += round_trips_us(proxy.ports["IMAP4"], args.round_trips // blocks)
        direct_med, direct_p99 = percentiles(trips["direct"])
        proxy_med, proxy_p99 = percentiles(trips["proxy"])
    finally:
        if proxy:
            proxy.stop()
        for helper in (socat, upstream):
            if helper:
                helper.terminate()
                helper.wait()

    added_med = proxy_med - direct_med
    added_p99 = proxy_p99 - direct_p99
    print("bulk: %d bytes from the upstream to the client, median of %d runs" % (args.bulk_bytes, args.repeat))
    for name in ("direct", "socat", "proxy"):
        print("  %-7s %8.0f MB/s" % (name, rates[name]))
    ratio_socat = rates["proxy"] / rates["socat"]
    ratio_direct = rates["proxy"] / rates["direct"]
    print("  proxy/socat  = %.2f  (target >= 1.5)  %s" % (ratio_socat, "ok" if ratio_socat >= 1.5 else "MISSED"))
    print("  proxy/direct = %.2f  (target >= 0.40) %s" % (ratio_direct, "ok" if ratio_direct >= 0.40 else "MISSED"))
    print("latency: %d round trips of 32 bytes on each path, in turns" % args.round_trips)
    print("  direct median %.1f us, p99 %.1f us" % (direct_med, direct_p99))
    print("  proxy  median %.1f us, p99 %.1f us" % (proxy_med, proxy_p99))
    print("  added median %.1f us (target <= 30) %s" % (added_med, "ok" if added_med <= 30 else "MISSED"))
    print("  added p99    %.1f us (target <= 100) %s" % (added_p99, "ok" if added_p99 <= 100 else "MISSED"))
    print("clients: 96 at once (32 per protocol), each after a %d KB download" % (download // 1024))
    print("  resident %d KB idle, %d KB with 96 clients" % (before, after))
    print("  per client %.0f KB (target <= 250) %s" % (per_client, "ok" if per_client <= 250 else "MISSED"))
    print("  33rd POP3 client refused at once: %s (%.3f s)" % ("yes" if refused else "NO", refuse_s))


if __name__ == "__main__":
    main()
