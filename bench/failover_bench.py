#!/usr/bin/env python3
"""Fail-over past a silent first server: QuilloMark beside HAProxy.

Two candidates on 127.0.0.1, both the benchmarks' test upstream: the first
drops every packet (an nft rule in this run's own network namespace), the
second answers. For 1, 8 and 32 clients at once, the time from each client's
connect to the upstream's greeting, through QuilloMark (ranked result file:
first, then second) and through HAProxy ("balance first", "timeout connect
10s", "retries 1", "option redispatch"). Then, with the first answering, the
sessions per second through QuilloMark against the direct path.

Targets: at most 0.5 s to the greeting at the median through QuilloMark;
within 10 % of the direct path's session rate while the first answers.

Run as root: it installs HAProxy and nftables when they are missing
(scripts/install-deps bench), builds build/release, and measures in a private
network namespace. Nothing here is a test; the figures depend on the machine.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from proxy_peers import (HOST, REPO, Peer, QuilloMark, Upstream, ensure_binary, free_port,  # noqa: E402
                         quiet_environment)
from proxy_load import connect, read_banner, sessions_sequential  # noqa: E402

CLIENTS = (1, 8, 32)


def log(text):
    print(text, file=sys.stderr, flush=True)


class RankedQuilloMark(QuilloMark):
    """QuilloMark whose result file ranks two plain candidates."""

    def __init__(self, binary, first, second):
        Peer.__init__(self, "plain", first)
        with open(os.path.join(self.dir, "Quillomark.ini"), "w") as f:
            f.write("PORT_SMTP=%(SMTP)d\nPORT_POP3=%(POP3)d\nPORT_IMAP4=%(IMAP4)d\n" % self.ports)
            f.write("LOG_LVL=3\nTEST_INTERNET_SERVER=\"127.0.0.1\"\nTEST_INTERNET_PORT=%d\n"
                    "TEST_INTERNET_RETRY_NUM=0\nTEST_INTERNET_RETRY_INTERVAL=1\n" % free_port())
        stamp = int(time.time())
        with open(os.path.join(self.dir, "detect_result.log"), "w") as f:
            f.write("%d\n%s\n" % (stamp, time.strftime("%Y/%m/%d %H:%M:%S", time.localtime(stamp))))
            for cost, port, code in ((5, first, "first"), (10, second, "second")):
                f.write("%d MAIL 127.0.0.1 %d %d %d %s\n" % (cost, port, port, port, code))
        self.start([binary], env=quiet_environment())


class FailoverHAProxy(Peer):
    name = "HAProxy"

    def __init__(self, first, second):
        super().__init__("plain", first)
        config = ["global", "    maxconn 4096", "defaults", "    mode tcp", "    timeout connect 10s",
                  "    timeout client 1h", "    timeout server 1h", "    retries 1", "    option redispatch",
                  "backend upstream", "    balance first",
                  "    server first %s:%d" % (HOST, first), "    server second %s:%d" % (HOST, second)]
        for name, port in self.ports.items():
            config += ["frontend %s" % name.lower(), "    bind %s:%d" % (HOST, port),
                       "    default_backend upstream"]
        path = os.path.join(self.dir, "haproxy.cfg")
        with open(path, "w") as f:
            f.write("\n".join(config) + "\n")
        self.start(["haproxy", "-db", "-f", path])


def drop(port, on):
    if on:
        subprocess.check_call(["nft", "add table inet qm_failover; add chain inet qm_failover out "
                               "{ type filter hook output priority 0; }; "
                               "add rule inet qm_failover out tcp dport %d drop" % port])
    else:
        subprocess.call(["nft", "delete table inet qm_failover"], stderr=subprocess.DEVNULL)


def to_greeting(port, clients):
    """Seconds from connect to greeting for that many clients at once."""
    times = [None] * clients
    start = threading.Barrier(clients)

    def one(i):
        start.wait()
        t0 = time.perf_counter()
        try:
            with connect(port, timeout=30) as s:
                read_banner(s)
                times[i] = time.perf_counter() - t0
                s.sendall(b"QUIT\r\n")
        except Exception:  # a client that got no greeting counts as failed
            times[i] = None

    threads = [threading.Thread(target=one, args=(i,)) for i in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    return [t for t in times if t is not None]


def run(binary, seconds):
    scratch = os.path.join("/tmp", "qm-failover-%d" % os.getpid())
    os.makedirs(scratch, exist_ok=True)
    first, second = free_port(), free_port()
    upstream = Upstream(scratch, [("first", first, False), ("second", second, False)])
    rows = []
    try:
        quillomark = RankedQuilloMark(binary, first, second)
        haproxy = FailoverHAProxy(first, second)
        try:
            drop(first, True)
            for clients in CLIENTS:
                for peer in (quillomark, haproxy):
                    log("%s, %d clients, first candidate silent" % (peer.name, clients))
                    got = to_greeting(peer.ports["SMTP"], clients)
                    rows.append((peer.name, clients, got))
            drop(first, False)
            log("session rate while the first answers")
            direct = sessions_sequential([first], seconds)
            through = sessions_sequential(list(quillomark.ports.values()), seconds)
            other = sessions_sequential(list(haproxy.ports.values()), seconds)
        finally:
            drop(first, False)
            quillomark.stop()
            haproxy.stop()
    finally:
        upstream.stop()
        shutil.rmtree(scratch, ignore_errors=True)
    return rows, direct, through, other


def report(rows, direct, through, other):
    lines = ["connect to greeting, first candidate dropping packets (seconds)",
             "%-10s %7s %8s %8s %8s %6s" % ("proxy", "clients", "median", "p90", "max", "done")]
    medians = {}
    for name, clients, got in rows:
        got = sorted(got)
        med = statistics.median(got) if got else float("nan")
        p90 = got[int(0.9 * (len(got) - 1))] if got else float("nan")
        medians[(name, clients)] = med
        lines.append("%-10s %7d %8.3f %8.3f %8.3f %3d/%-3d" % (name, clients, med, p90, got[-1] if got else
                                                               float("nan"), len(got), clients))
    lines.append("")
    for clients in CLIENTS:
        q, h = medians[("QuilloMark", clients)], medians[("HAProxy", clients)]
        lines.append("%2d clients: QuilloMark median %.3f s (target <= 0.5: %s), HAProxy/QuilloMark %.1fx" %
                     (clients, q, "met" if q <= 0.5 else "MISSED", h / q if q > 0 else float("nan")))
    rate_direct = direct.sessions / direct.seconds
    rate_through = through.sessions / through.seconds
    rate_other = other.sessions / other.seconds
    ratio = rate_through / rate_direct
    lines.append("sessions/s one after another while the first answers: direct %.0f, QuilloMark %.0f, "
                 "HAProxy %.0f" % (rate_direct, rate_through, rate_other))
    lines.append("QuilloMark/direct %.2f (target >= 0.90: %s), QuilloMark/HAProxy %.2f" %
                 (ratio, "met" if ratio >= 0.9 else "MISSED", rate_through / rate_other))
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", help="quillomark to measure (default: build/release/quillomark, built)")
    parser.add_argument("--seconds", type=float, default=3.0, help="length of each session-rate window")
    args = parser.parse_args()
    if not os.environ.get("QM_FAILOVER_NAMESPACE"):
        if os.geteuid() != 0:
            raise SystemExit("run as root: it needs a network namespace and an nft rule of its own")
        if not shutil.which("haproxy") or not shutil.which("nft"):
            subprocess.check_call([os.path.join(REPO, "scripts", "install-deps"), "bench"])
        binary = ensure_binary(args.binary)
        inner = "ip link set lo up && exec \"$0\" \"$@\""
        env = dict(os.environ, QM_FAILOVER_NAMESPACE="1")
        return subprocess.call(["unshare", "-n", "sh", "-c", inner, sys.executable, os.path.abspath(__file__),
                                "--binary", binary, "--seconds", str(args.seconds)], env=env)
    print(report(*run(ensure_binary(args.binary), args.seconds)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
