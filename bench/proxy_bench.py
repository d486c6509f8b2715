#!/usr/bin/env python3
"""Benchmark of QuilloMark's mail proxy on loopback, with public tools only
(Python 3 and socat). It starts a release build of quillomark in a scratch
directory whose "detect_result.log" points every protocol at the test
upstream of bench/proxy_peers.py, and prints, measured in this one run:

  bulk      1 GiB from the upstream to a client through the POP3 proxy port,
            against the same transfer direct and through socat as the relay
  latency   20,000 small round trips through the proxy: median and p99
            latency added over the same round trips direct
  clients   96 clients at once (32 per protocol): resident memory of the
            proxy per connected client, and a 33rd client of one protocol
            refused

Usage: bench/proxy_bench.py [--binary PATH] [--bulk-bytes N] [--round-trips N]

Without --binary it uses build/release/quillomark, brought up to date first.
Nothing here is a test: the figures depend on the machine; the targets are
printed beside them. bench/proxy_compare.py measures the same proxy beside
HAProxy and stunnel.
"""
import argparse
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from proxy_load import (Refused, bulk_seconds, connect, open_session, percentiles, read_banner,  # noqa: E402
                        round_trips_us)
from proxy_peers import QuilloMark, Upstream, ensure_binary, free_port, rss_kb, stop_process, wait_port  # noqa: E402


def refused_at_once(port):
    """True when the proxy closes a new client before any greeting."""
    with connect(port, timeout=5) as s:
        s.settimeout(2)
        start = time.monotonic()
        try:
            read_banner(s)
        except Refused:
            return True, time.monotonic() - start
        except socket.timeout:
            return False, 2.0
        return False, time.monotonic() - start


def read_exactly(s, n, got=b""):
    got = len(got)
    while got < n:
        data = s.recv(65536)
        if not data:
            raise SystemExit("held connection closed early")
        got += len(data)


def measure_clients(proxy, download):
    """96 clients, each having pulled download bytes; KB resident per client."""
    pid = proxy.pid
    before = rss_kb(pid)
    held = []
    for name in ("SMTP", "POP3", "IMAP4"):
        for _ in range(32):
            held.append(open_session(proxy.ports[name], b"HOLD %d\r\n" % download))
    for s, extra in held:
        read_exactly(s, 3 + download, extra)
    time.sleep(0.5)
    after = rss_kb(pid)
    refused, seconds = refused_at_once(proxy.ports["POP3"])
    for s, _ in held:
        s.close()
    return before, after, (after - before) / 96.0, refused, seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", help="quillomark to measure (default: build/release/quillomark)")
    parser.add_argument("--bulk-bytes", type=int, default=1 << 30)
    parser.add_argument("--round-trips", type=int, default=20000)
    parser.add_argument("--repeat", type=int, default=3, help="bulk runs per path; the median counts")
    args = parser.parse_args()
    if not shutil.which("socat"):
        raise SystemExit("socat is needed (Debian: apt-get install socat)")
    binary = ensure_binary(args.binary)

    work = tempfile.mkdtemp(prefix="qmbench")
    upstream_port = free_port()
    upstream = Upstream(work, [("direct", upstream_port, False)])
    socat = None
    proxy = None
    try:
        socat_port = free_port()
        socat = subprocess.Popen(["socat", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr,fork" % socat_port,
                                  "TCP:127.0.0.1:%d" % upstream_port])
        if not wait_port(socat_port):
            raise SystemExit("socat did not start")

        # Memory first, on a fresh process: later runs would leave freed
        # buffers in its heap that new clients then reuse.
        proxy = QuilloMark(binary, "plain", upstream_port)
        time.sleep(0.3)  # let the start-up settle before memory is read
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
        if socat:
            stop_process(socat)
        upstream.stop()
        shutil.rmtree(work, ignore_errors=True)

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
