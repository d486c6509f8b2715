#!/usr/bin/env python3
"""QuilloMark's mail proxy side by side with HAProxy (TCP mode) and stunnel
(client mode), in one run on loopback, against the same test upstream
(bench/proxy_peers.py), in three modes: plain clients to a plain upstream
("plain"), plain clients to an implicit-TLS upstream ("tls"), and clients
that speak implicit TLS to the proxy, which speaks TLS to the upstream
("tls2": QuilloMark's implicit-TLS ports, HAProxy with "ssl crt", stunnel
with a server section in front of a client section per port):

  bulk        one download from the upstream through a proxy port
              (1 GiB plain, 256 MiB with TLS), and the proxy's CPU per GiB
  latency     small round trips on one connection: median and p99 added
              over the same round trips made directly to the upstream
  sessions    connect, greeting, QUIT, reply, close: one after another, and
              96 clients at once (32 per port), as sessions per second, the
              proxy's CPU per session, clients closed before their greeting
              (refusals) and TLS sessions the upstream saw resumed; in
              mode tls2 once more with clients that offer their last TLS
              session again, and how many of those resumed
  idle        resident memory of a fresh proxy, proportional memory (PSS) per
              idle client with 96 clients (32 per port), and the wake-ups per
              second those idle clients cause, over a quiet window

Each repetition starts every proxy afresh and lets them take turns on every
workload, in an order that rotates, so that a change in the machine's load
meets all of them alike. Printed: the median over the repetitions, the spread
(half the range, in percent of the median) and the ratios against HAProxy and
stunnel, with the targets QuilloMark aims at (ratios against HAProxy, in mode
tls2 against stunnel).

One command does everything: it installs HAProxy and stunnel4 when they are
missing (scripts/install-deps bench, as root), brings the release build in
build/release up to date, and runs the measurements in a private network
namespace (as root), where QuilloMark's single-instance socket and the ports
meet nobody else's.

Usage: bench/proxy_compare.py [--quick] [--modes MODE,...] [--repeat N] [--binary PATH] [--json FILE]
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from proxy_peers import (MODES, REPO, HAProxy, QuilloMark, Stunnel, Upstream, client_tls,  # noqa: E402
                         cpu_seconds, ensure_binary, free_port, private_kb, pss_kb, rss_kb, upstream_tls, wakeups,
                         wakeups_between)
import proxy_load as load  # noqa: E402

PER_PORT = 32

FULL = {"bulk": {"plain": 1 << 30, "tls": 256 << 20, "tls2": 256 << 20}, "round_trips": 8000,
        "session_seconds": 3.0, "idle_seconds": 10.0}
QUICK = {"bulk": {"plain": 64 << 20, "tls": 32 << 20, "tls2": 32 << 20}, "round_trips": 1000,
         "session_seconds": 1.0, "idle_seconds": 2.0}

# The proxy whose figures QuilloMark's targets are set against, per mode.
REFERENCE = {"plain": "HAProxy", "tls": "HAProxy", "tls2": "stunnel"}


# --- one run ----------------------------------------------------------------------

class Results:
    """Values per mode, path and figure, one per repetition."""

    def __init__(self):
        self.values = {}

    def add(self, mode, path, figure, value):
        self.values.setdefault(mode, {}).setdefault(path, {}).setdefault(figure, []).append(value)

    def get(self, mode, path, figure):
        return self.values.get(mode, {}).get(path, {}).get(figure, [])


def start_peers(mode, binary, upstream):
    cert = (upstream.cert, upstream.key) if client_tls(mode) else ()
    peers = [QuilloMark(binary, mode, upstream.ports["QuilloMark/" + mode]),
             HAProxy(mode, upstream.ports["HAProxy/" + mode], *cert)]
    if upstream_tls(mode):
        peers.append(Stunnel(mode, upstream.ports["stunnel/" + mode], *cert))
    return peers


def path_tls(mode, name):
    """Whether the clients speak TLS on this path: to every proxy in mode
    tls2, and on the direct path whenever the upstream does."""
    return client_tls(mode) or (name == "direct" and upstream_tls(mode))


def rotated(items, rep):
    k = rep % len(items)
    return items[k:] + items[:k]


def measure_idle(mode, peers, sizes, results):
    """All proxies are idle at once here: the quiet windows are shared."""
    window = sizes["idle_seconds"]
    for p in peers:
        # Code a first connection pages in is no cost of each idle client.
        for port in p.ports.values():
            load.one_session(port, client_tls(mode))
    time.sleep(0.5)
    base = {}
    for p in peers:
        results.add(mode, p.name, "idle_rss_kb", rss_kb(p.pid))
        results.add(mode, p.name, "threads_idle", len(os.listdir("/proc/%d/task" % p.pid)))
        base[p.name] = (pss_kb(p.pid), wakeups(p.pid), private_kb(p.pid))
    time.sleep(window)
    quiet = {p.name: wakeups_between(base[p.name][1], wakeups(p.pid)) / window for p in peers}
    held = []
    try:
        for p in peers:
            held += load.idle_clients(list(p.ports.values()), PER_PORT, client_tls(mode))
        time.sleep(1.0)
        counts = {}
        for p in peers:
            results.add(mode, p.name, "pss_per_client_kb", (pss_kb(p.pid) - base[p.name][0]) / (3.0 * PER_PORT))
            results.add(mode, p.name, "private_per_client_kb",
                        (private_kb(p.pid) - base[p.name][2]) / (3.0 * PER_PORT))
            results.add(mode, p.name, "threads_96", len(os.listdir("/proc/%d/task" % p.pid)))
            counts[p.name] = wakeups(p.pid)
        time.sleep(window)
        for p in peers:
            busy = wakeups_between(counts[p.name], wakeups(p.pid)) / window
            results.add(mode, p.name, "wakeups_per_s", max(0.0, busy - quiet[p.name]))
            results.add(mode, p.name, "wakeups_quiet_per_s", quiet[p.name])
    finally:
        for s in held:
            s.close()
    time.sleep(1.0)  # sessions end as the upstream sees the clients go


def measure_bulk(mode, peers, upstream, sizes, rep, results):
    size = sizes["bulk"][mode]
    paths = [(p.name, p.ports["POP3"], p.pid) for p in peers] + [("direct", upstream.ports["direct/" + mode], None)]
    for name, port, pid in rotated(paths, rep):
        before = cpu_seconds(pid) if pid else 0.0
        seconds = load.bulk_seconds(port, size, tls=path_tls(mode, name))
        results.add(mode, name, "bulk_MBps", size / seconds / 1e6)
        if pid:
            results.add(mode, name, "cpu_s_per_GiB", (cpu_seconds(pid) - before) / (size / float(1 << 30)))


def measure_latency(mode, peers, upstream, sizes, rep, results, blocks=4):
    """The paths take turns in blocks, so that the direct figure subtracted
    from each proxy's was taken under the same load."""
    paths = [(p.name, p.ports["IMAP4"]) for p in peers] + [("direct", upstream.ports["direct/" + mode])]
    times = {name: [] for name, _ in paths}
    for _ in range(blocks):
        for name, port in rotated(paths, rep):
            times[name] += load.round_trips_us(port, sizes["round_trips"] // blocks,
                                               tls=path_tls(mode, name))
    direct = load.percentiles(times.pop("direct"))
    results.add(mode, "direct", "rtt_median_us", direct[0])
    results.add(mode, "direct", "rtt_p99_us", direct[1])
    for name, trips in times.items():
        med, p99 = load.percentiles(trips)
        results.add(mode, name, "added_median_us", med - direct[0])
        results.add(mode, name, "added_p99_us", p99 - direct[1])


def session_kinds(mode):
    """"seq": one session after another; "conc": 96 clients at once; with
    "r", clients that speak TLS offer their last session again."""
    return ("seq", "conc", "seqr", "concr") if client_tls(mode) else ("seq", "conc")


def seeded_tickets(kind, ports):
    """For the kinds that resume, Tickets holding one session per port, so
    that the first clients resume too; taken before anything is counted."""
    if not kind.endswith("r"):
        return None
    tickets = load.Tickets()
    for port in ports:
        load.one_session(port, True, tickets)
    tickets.handshakes = tickets.resumed = 0
    return tickets


def run_sessions(kind, ports, per_port, seconds, tls, tickets):
    if kind.startswith("seq"):
        return load.sessions_sequential(ports, seconds, tls, tickets)
    return load.sessions_concurrent(ports, per_port, seconds, tls=tls, tickets=tickets)


def measure_direct_sessions(mode, upstream, seconds, results, kind):
    """The same sessions without a proxy: what the clients and the upstream
    manage on their own. In mode tls the proxies' concurrent clients speak no
    TLS, so no direct figure matches theirs."""
    if kind.startswith("conc") and mode == "tls":
        return
    ports = [upstream.ports["direct/" + mode]]
    count = run_sessions(kind, ports, 3 * PER_PORT, seconds, path_tls(mode, "direct"), seeded_tickets(kind, ports))
    results.add(mode, "direct", kind + "_rate", count.rate)


def measure_sessions(mode, peers, upstream, sizes, rep, results, kind):
    seconds = sizes["session_seconds"]
    for p in rotated(peers + [None], rep):
        if p is None:
            measure_direct_sessions(mode, upstream, seconds, results, kind)
            continue
        ports = list(p.ports.values())
        tickets = seeded_tickets(kind, ports)
        before_stats = upstream.stats()[p.name + "/" + mode]
        before_refused = sum(p.refusals_logged().values()) if isinstance(p, QuilloMark) else 0
        before = cpu_seconds(p.pid)
        count = run_sessions(kind, ports, PER_PORT, seconds, client_tls(mode), tickets)
        cpu = cpu_seconds(p.pid) - before
        time.sleep(0.3)  # the last sessions' ends reach the upstream's counters
        after_stats = upstream.stats()[p.name + "/" + mode]
        results.add(mode, p.name, kind + "_rate", count.rate)
        results.add(mode, p.name, kind + "_cpu_us", 1e6 * cpu / max(1, count.sessions))
        results.add(mode, p.name, kind + "_refused", count.refused)
        results.add(mode, p.name, kind + "_failed", count.failed)
        if isinstance(p, QuilloMark):
            after_refused = sum(p.refusals_logged().values())
            results.add(mode, p.name, kind + "_refused_logged", after_refused - before_refused)
        if upstream_tls(mode):
            connections = after_stats["connections"] - before_stats["connections"]
            resumed = after_stats["resumed"] - before_stats["resumed"]
            results.add(mode, p.name, kind + "_resumed_pct", 100.0 * resumed / max(1, connections))
        if tickets is not None:
            results.add(mode, p.name, kind + "_client_resumed_pct",
                        100.0 * tickets.resumed / max(1, tickets.handshakes))


def run(args):
    sizes = QUICK if args.quick else FULL
    results = Results()
    work = tempfile.mkdtemp(prefix="qmcompare")
    listeners = []
    # The STATS command needs one plain port, whatever the modes.
    listeners.append(("stats", free_port(), False))
    for mode in args.modes:
        for name in ("direct", "QuilloMark", "HAProxy") + (("stunnel",) if upstream_tls(mode) else ()):
            listeners.append((name + "/" + mode, free_port(), upstream_tls(mode)))
    upstream = Upstream(work, listeners)
    try:
        for mode in args.modes:
            for rep in range(args.repeat):
                log("%s, repetition %d of %d" % (mode, rep + 1, args.repeat))
                peers = start_peers(mode, args.binary, upstream)
                try:
                    time.sleep(1.0)  # start-up settles before memory is read
                    measure_idle(mode, peers, sizes, results)
                    measure_bulk(mode, peers, upstream, sizes, rep, results)
                    measure_latency(mode, peers, upstream, sizes, rep, results)
                    for kind in session_kinds(mode):
                        measure_sessions(mode, peers, upstream, sizes, rep, results, kind)
                finally:
                    for p in peers:
                        p.stop()
    finally:
        upstream.stop()
        shutil.rmtree(work, ignore_errors=True)
    return results


# --- the table ----------------------------------------------------------------------

# figure, label, unit format, higher is better, target for QuilloMark:
# ("ratio", mode -> bound of the ratio against REFERENCE[mode]) or ("value",
# mode -> bound of QuilloMark's own median); the bound is a least when higher
# is better, else a most. Zero wake-ups allow half a wake-up per second of
# noise. With TLS on both sides an idle client holds two TLS connections,
# 48 KB each at most.
FIGURES = [
    ("bulk_MBps", "bulk throughput MB/s", "%.0f", True, ("ratio", {"plain": 1.0, "tls": 1.0, "tls2": 1.0})),
    ("cpu_s_per_GiB", "relay CPU s per GiB", "%.2f", False, None),
    ("added_median_us", "added latency median us", "%.1f", False, ("ratio", {"plain": 1.0, "tls": 1.0})),
    ("added_p99_us", "added latency p99 us", "%.1f", False, None),
    ("rtt_median_us", "round trip median us (direct)", "%.1f", False, None),
    ("rtt_p99_us", "round trip p99 us (direct)", "%.1f", False, None),
    ("seq_rate", "sequential sessions/s", "%.0f", True, ("ratio", {"plain": 1.0, "tls": 0.9, "tls2": 1.0})),
    ("seq_cpu_us", "CPU us per session, sequential", "%.0f", False, ("ratio", {"plain": 1.5, "tls": 1.5})),
    ("seqr_rate", "sequential sessions/s, resuming", "%.0f", True, ("ratio", {"tls2": 1.0})),
    ("seqr_cpu_us", "CPU us per session, seq. resuming", "%.0f", False, None),
    ("conc_rate", "96-concurrent sessions/s", "%.0f", True, ("ratio", {"plain": 1.0, "tls": 0.9, "tls2": 1.0})),
    ("conc_cpu_us", "CPU us per session, 96 at once", "%.0f", False, ("ratio", {"plain": 1.5, "tls": 1.5})),
    ("concr_rate", "96-concurrent sessions/s, resuming", "%.0f", True, ("ratio", {"tls2": 1.0})),
    ("concr_cpu_us", "CPU us per session, 96 resuming", "%.0f", False, None),
    ("conc_refused", "refusals, 96 at once", "%.0f", False, ("value", {"plain": 0, "tls": 0, "tls2": 0})),
    ("conc_refused_logged", "  of them logged 'no avail socket'", "%.0f", False, None),
    ("conc_failed", "failed sessions, 96 at once", "%.0f", False, None),
    ("concr_refused", "refusals, 96 resuming", "%.0f", False, ("value", {"tls2": 0})),
    ("concr_failed", "failed sessions, 96 resuming", "%.0f", False, None),
    ("seq_resumed_pct", "TLS sessions resumed %, sequential", "%.0f", True, ("value", {"tls": 90, "tls2": 90})),
    ("conc_resumed_pct", "TLS sessions resumed %, 96 at once", "%.0f", True, None),
    ("seqr_client_resumed_pct", "clients' TLS resumed %, sequential", "%.0f", True, ("value", {"tls2": 90})),
    ("concr_client_resumed_pct", "clients' TLS resumed %, 96 at once", "%.0f", True, None),
    ("idle_rss_kb", "idle resident KB", "%.0f", False, None),
    ("pss_per_client_kb", "PSS KB per idle client (96)", "%.1f", False,
     ("value", {"plain": 16, "tls": 48, "tls2": 96})),
    ("pss_client_side_kb", "  of it the clients' TLS side", "%.1f", False, ("value", {"tls2": 48})),
    ("private_per_client_kb", "private KB per idle client (96)", "%.1f", False,
     ("value", {"plain": 16, "tls": 48, "tls2": 96})),
    ("private_client_side_kb", "  of it the clients' TLS side", "%.1f", False, ("value", {"tls2": 48})),
    ("wakeups_per_s", "wake-ups/s from 96 idle clients", "%.1f", False,
     ("value", {"plain": 0.5, "tls": 0.5, "tls2": 0.5})),
    ("wakeups_quiet_per_s", "wake-ups/s with no client", "%.1f", False, None),
    ("threads_idle", "threads, no client", "%.0f", False, None),
    ("threads_96", "threads, 96 idle clients", "%.0f", False, None),
]


def cell(values, fmt):
    if not values:
        return "-"
    med = statistics.median(values)
    text = fmt % med
    if len(values) > 1 and med:
        spread = 50.0 * (max(values) - min(values)) / abs(med)
        text += " ±%.0f%%" % spread
    elif len(values) > 1 and max(values) != min(values):
        text += " (%s..%s)" % (fmt % min(values), fmt % max(values))
    return text


def derive(results):
    """What an idle client's TLS towards the proxy costs: its memory with TLS
    on both sides less the same proxy's with plain clients (mode tls), taken
    repetition by repetition, when both modes ran."""
    for path in results.values.get("tls2", {}):
        for figure in ("pss", "private"):
            both = results.get("tls2", path, figure + "_per_client_kb")
            upstream_only = results.get("tls", path, figure + "_per_client_kb")
            for a, b in zip(both, upstream_only):
                results.add("tls2", path, figure + "_client_side_kb", a - b)


def ratio(results, mode, figure, other):
    mine, theirs = results.get(mode, "QuilloMark", figure), results.get(mode, other, figure)
    if not mine or not theirs:
        return None
    theirs_med = statistics.median(theirs)
    if theirs_med <= 0:
        return None  # no ratio of a difference that came out at or below zero
    return statistics.median(mine) / theirs_med


def verdict(results, mode, figure, target):
    if not target:
        return ""
    kind, bounds = target
    bound = bounds.get(mode)
    if bound is None:
        return ""
    higher = next(f[3] for f in FIGURES if f[0] == figure)
    if kind == "ratio":
        r = ratio(results, mode, figure, REFERENCE[mode])
        if r is None:
            return ""
        ok = r >= bound if higher else r <= bound
        return "%s %.2f: %s" % (">=" if higher else "<=", bound, "ok" if ok else "MISSED")
    values = results.get(mode, "QuilloMark", figure)
    if not values:
        return ""
    med = statistics.median(values)
    ok = med >= bound if higher else med <= bound
    return "%s %g: %s" % (">=" if higher else "<=", bound, "ok" if ok else "MISSED")


TITLES = {"plain": "plain upstream (no TLS)", "tls": "tls upstream (implicit TLS)",
          "tls2": "tls2: TLS clients, TLS upstream (implicit TLS on both sides; targets against stunnel)"}


def table(results, modes, repeat):
    lines = []
    for mode in modes:
        paths = ["QuilloMark", "HAProxy"] + (["stunnel"] if upstream_tls(mode) else []) + ["direct"]
        lines.append("")
        lines.append("%s; median ±spread of %d runs" % (TITLES[mode], repeat))
        header = "| %-36s |" % "figure" + "".join(" %-14s |" % p for p in paths)
        header += " QM/HAProxy | QM/stunnel | QuilloMark target   |"
        lines.append(header)
        lines.append("|" + "|".join("-" * (len(part)) for part in header.split("|")[1:-1]) + "|")
        for figure, label, fmt, _higher, target in FIGURES:
            if not any(results.get(mode, p, figure) for p in paths):
                continue
            row = "| %-36s |" % label + "".join(" %-14s |" % cell(results.get(mode, p, figure), fmt) for p in paths)
            for other in ("HAProxy", "stunnel"):
                r = ratio(results, mode, figure, other)
                row += " %-10s |" % ("%.2f" % r if r is not None else "-")
            row += " %-19s |" % verdict(results, mode, figure, target)
            lines.append(row)
    return "\n".join(lines)


# --- set-up -----------------------------------------------------------------------

def log(text):
    print("proxy_compare: " + text, file=sys.stderr, flush=True)


def install_peers():
    if shutil.which("haproxy") and (shutil.which("stunnel4") or shutil.which("stunnel")):
        return
    log("installing HAProxy and stunnel4")
    subprocess.check_call([os.path.join(REPO, "scripts", "install-deps"), "bench"])


def describe_machine(binary):
    def first_line(argv):
        try:
            return subprocess.run(argv, capture_output=True, text=True).stdout.splitlines()[0]
        except (OSError, IndexError):
            return "?"

    def stunnel_version():
        out = subprocess.run([shutil.which("stunnel4") or "stunnel", "-version"], capture_output=True, text=True)
        return next((line for line in (out.stderr + out.stdout).splitlines() if line.startswith("stunnel")), "?")

    commit = first_line(["git", "-C", REPO, "log", "-1", "--format=%h %s"])
    return "\n".join([
        "date: %s" % time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
        "commit: %s" % commit,
        "machine: %d cores, %s, load average at start %s" % (
            os.cpu_count(), os.uname().release, " ".join(open("/proc/loadavg").read().split()[:3])),
        "peers: QuilloMark %s (Release, LOG_LVL 3); %s; %s; %s" % (
            os.path.relpath(binary, REPO), first_line(["haproxy", "-v"]).split(" - ")[0],
            stunnel_version().split(" on ")[0], first_line(["openssl", "version"])),
    ])


def in_namespace():
    """Runs this script again in a private network namespace when that is
    possible (root and unshare); True when it did."""
    if os.environ.get("QM_COMPARE_NAMESPACE") or os.geteuid() != 0 or not shutil.which("unshare"):
        return False
    # Plenty of local ports: the session runs leave many connections in TIME_WAIT.
    inner = ("ip link set lo up && echo '1024 65000' > /proc/sys/net/ipv4/ip_local_port_range && "
             "exec \"$0\" \"$@\"")
    env = dict(os.environ, QM_COMPARE_NAMESPACE="1")
    return subprocess.call(["unshare", "-n", "sh", "-c", inner, sys.executable, os.path.abspath(__file__)]
                           + sys.argv[1:], env=env) or True


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller transfers and shorter windows")
    parser.add_argument("--modes", default=",".join(MODES),
                        help="which of %s to run, comma-separated (default: all)" % ",".join(MODES))
    parser.add_argument("--repeat", type=int, default=3, help="repetitions of every workload (at least 3)")
    parser.add_argument("--binary", help="quillomark to measure (default: build/release/quillomark, built)")
    parser.add_argument("--json", help="also write every value measured to this file")
    args = parser.parse_args()
    if args.repeat < 1:
        parser.error("--repeat must be at least 1")
    chosen = args.modes.split(",")
    if not chosen or set(chosen) - set(MODES):
        parser.error("--modes takes some of " + ",".join(MODES))
    args.modes = [m for m in MODES if m in chosen]
    if not os.environ.get("QM_COMPARE_NAMESPACE"):
        install_peers()
        args.binary = ensure_binary(args.binary)
        if args.json:
            args.json = os.path.abspath(args.json)
        sys.argv = [sys.argv[0]] + ["--binary", args.binary] + (["--quick"] if args.quick else []) + [
            "--modes", ",".join(args.modes), "--repeat", str(args.repeat)] + (
            ["--json", args.json] if args.json else [])
        status = in_namespace()
        if status is not False:
            return 0 if status is True else status
    else:
        args.binary = ensure_binary(args.binary)

    heading = describe_machine(args.binary)
    results = run(args)
    derive(results)
    text = heading + "\n" + ("quick run (smaller sizes, shorter windows)\n" if args.quick else "") + table(
        results, args.modes, args.repeat)
    print(text)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"heading": heading, "quick": args.quick, "values": results.values}, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
