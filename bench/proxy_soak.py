#!/usr/bin/env python3
"""Soak benchmark of QuilloMark's mail proxy against the loopback test mail
servers, with public tools only (Python 3, Postfix, Dovecot). It starts the
servers (scripts/mailservers) and a release build of quillomark in scratch
directories, points every protocol at the servers' plain ports through
"detect_result.log", and then, for a set time, keeps 96 clients busy through
the proxy, 32 per protocol:

  SMTP   smtplib sends messages of 2 to 60 KB to the support mailbox
  POP3   poplib fetches a random one of the preloaded messages
  IMAP4  imaplib fetches a random one of the preloaded messages

Every transfer is checked byte for byte: fetched bodies against the digests
of the preloaded messages, and at the end every sent message against what
Postfix delivered. Once a second it samples the proxy's resident memory,
threads and open descriptors, and prints whether they stayed flat while
loaded and came back to their idle values once the clients were gone.

Usage: bench/proxy_soak.py [--seconds N] [--binary PATH]

Without --binary it uses build/release/quillomark, brought up to date first.
Run it where nothing else listens on the mail ports it picks; in a private
network namespace, for example: unshare -n sh -c 'ip link set lo up && bench/proxy_soak.py'.
"""
import argparse
import hashlib
import imaplib
import os
import poplib
import random
import shutil
import socket
import smtplib
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from proxy_peers import QuilloMark, ensure_binary, rss_kb, threads  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST = "127.0.0.1"
CLIENTS_PER_PROTOCOL = 32
PRELOADED = 12
TIMEOUT = 120


def greet_and_leave(port):
    """Connects, reads the server's greeting and leaves."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.recv(512)


def make_message(rng, size, subject):
    lines, total = [], 0
    while total < size:
        # Lines that begin with a dot exercise the dot-stuffing both ways.
        line = ("." if rng.random() < 0.02 else "") + "".join(
            rng.choice("abcdefghijklmnopqrstuvwxyz0123456789 .,-") for _ in range(rng.randint(1, 200)))
        lines.append(line.encode())
        total += len(line) + 2
    body = b"\r\n".join(lines) + b"\r\n"
    head = ("From: soak@qm.test\r\nTo: soak@qm.test\r\nSubject: %s\r\n\r\n" % subject).encode()
    return head + body, hashlib.sha256(body).hexdigest()


def body_digest(message):
    head, sep, body = message.partition(b"\r\n\r\n")
    return hashlib.sha256(body).hexdigest() if sep else "no body"


def sample(pid):
    return rss_kb(pid), threads(pid), len(os.listdir("/proc/%d/fd" % pid))


class Tally:
    def __init__(self):
        self.lock = threading.Lock()
        self.done = {"SMTP": 0, "POP3": 0, "IMAP4": 0}
        self.bytes = 0
        self.errors = {}  # kind -> [count, first example]
        self.sent = {}  # subject -> body digest

    def ok(self, protocol, size):
        with self.lock:
            self.done[protocol] += 1
            self.bytes += size

    def error(self, kind, text):
        with self.lock:
            entry = self.errors.setdefault(kind, [0, text])
            entry[0] += 1


def smtp_client(n, port, env, until, tally):
    rng = random.Random(1000 + n)
    k = 0
    while time.monotonic() < until:
        k += 1
        subject = "soak-%d-%d" % (n, k)
        message, digest = make_message(rng, rng.randint(2000, 60000), subject)
        try:
            with smtplib.SMTP(HOST, port, local_hostname="soak.qm.test", timeout=TIMEOUT) as s:
                s.login(env["PROBE_USER"], env["PROBE_PASS"])
                s.sendmail(env["PROBE_ADDR"], [env["SUPPORT_ADDR"]], message)
            with tally.lock:
                tally.sent[subject] = digest
            tally.ok("SMTP", len(message))
        except Exception as e:  # every failure counts, none stops the run
            tally.error("SMTP " + type(e).__name__, "SMTP client %d: %r" % (n, e))


def pop3_client(n, port, env, digests, until, tally):
    rng = random.Random(2000 + n)
    while time.monotonic() < until:
        number = rng.randint(1, len(digests))
        try:
            p = poplib.POP3(HOST, port, timeout=TIMEOUT)
            p.user(env["PROBE_USER"])
            p.pass_(env["PROBE_PASS"])
            _, lines, size = p.retr(number)
            p.quit()
            got = body_digest(b"\r\n".join(lines) + b"\r\n")
            if got != digests[number - 1]:
                tally.error("POP3 changed", "POP3 message %d differs" % number)
            else:
                tally.ok("POP3", size)
        except Exception as e:
            tally.error("POP3 " + type(e).__name__, "POP3 client %d: %r" % (n, e))


def imap_client(n, port, env, digests, until, tally):
    rng = random.Random(3000 + n)
    while time.monotonic() < until:
        number = rng.randint(1, len(digests))
        try:
            m = imaplib.IMAP4(HOST, port, timeout=TIMEOUT)
            m.login(env["PROBE_USER"], env["PROBE_PASS"])
            m.select("INBOX", readonly=True)
            _, parts = m.fetch(str(number), "(BODY.PEEK[])")
            m.logout()
            if body_digest(parts[0][1]) != digests[number - 1]:
                tally.error("IMAP4 changed", "IMAP4 message %d differs" % number)
            else:
                tally.ok("IMAP4", len(parts[0][1]))
        except Exception as e:
            tally.error("IMAP4 " + type(e).__name__, "IMAP4 client %d: %r" % (n, e))


def start_servers(state):
    script = os.path.join(REPO, "scripts", "mailservers")
    with open(state + ".out", "w") as out:
        if subprocess.call([script, "start", state], stdin=subprocess.DEVNULL, stdout=out, stderr=out) != 0:
            raise SystemExit("scripts/mailservers start failed: see " + state + ".out")
    env = {}
    with open(os.path.join(state, "env")) as f:
        for line in f:
            key, _, value = line.strip().partition("=")
            env[key] = value
    return env


def delivered(maildir):
    found = {}
    for sub in ("new", "cur"):
        path = os.path.join(maildir, sub)
        for name in os.listdir(path):
            with open(os.path.join(path, name), "rb") as f:
                data = f.read().replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
            head = data.partition(b"\r\n\r\n")[0]
            for line in head.split(b"\r\n"):
                if line.startswith(b"Subject: "):
                    found[line[9:].decode()] = body_digest(data)
    return found


def flat(values, allowance):
    """Loaded samples: the last third's median against the first third's."""
    third = max(1, len(values) // 3)
    first, last = statistics.median(values[:third]), statistics.median(values[-third:])
    return first, last, last <= first * (1 + allowance) + 1


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=int, default=60, help="how long the clients keep going")
    parser.add_argument("--binary", help="quillomark to measure (default: build-bench/quillomark)")
    args = parser.parse_args()
    binary = ensure_binary(args.binary)

    work = tempfile.mkdtemp(prefix="qmsoak", dir="/tmp")  # short: Dovecot's sockets live below it
    os.chmod(work, 0o755)
    state = os.path.join(work, "ms")
    proxy = None
    try:
        env = start_servers(state)
        rng = random.Random(7)
        digests = []
        for i in range(PRELOADED):
            message, digest = make_message(rng, rng.randint(1000, 400000), "preloaded-%d" % i)
            with smtplib.SMTP(HOST, int(env["SMTP_PORT"]), timeout=TIMEOUT) as s:
                s.login(env["PROBE_USER"], env["PROBE_PASS"])
                s.sendmail(env["PROBE_ADDR"], [env["PROBE_ADDR"]], message)
            digests.append(digest)
        # Delivery order is the POP3 and IMAP order: wait for each in turn.
        until = time.monotonic() + 30
        while len(os.listdir(os.path.join(env["MAILDIR_PROBE"], "new"))) < PRELOADED:
            if time.monotonic() > until:
                raise SystemExit("the preloaded messages were not delivered")
            time.sleep(0.1)
        probe = poplib.POP3(HOST, int(env["POP3_PORT"]), timeout=TIMEOUT)
        probe.user(env["PROBE_USER"])
        probe.pass_(env["PROBE_PASS"])
        order = [body_digest(b"\r\n".join(probe.retr(i + 1)[1]) + b"\r\n") for i in range(PRELOADED)]
        probe.quit()
        if sorted(order) != sorted(digests):
            raise SystemExit("the preloaded messages came back changed")
        digests = order

        # A log large enough not to be rotated during the run: its refusal
        # lines are counted at the end.
        proxy = QuilloMark(binary, "plain", (int(env["SMTP_PORT"]), int(env["POP3_PORT"]), int(env["IMAP_PORT"])),
                           log_size=1000000)
        ports = proxy.ports
        time.sleep(1)
        pid = proxy.pid
        # One session per port first: its relay loop lives as long as the
        # listener, and is no cost of the load.
        for port in ports.values():
            greet_and_leave(port)
        time.sleep(1)
        idle = sample(pid)

        tally = Tally()
        until = time.monotonic() + args.seconds
        threads = []
        for n in range(CLIENTS_PER_PROTOCOL):
            threads.append(threading.Thread(target=smtp_client, args=(n, ports["SMTP"], env, until, tally)))
            threads.append(threading.Thread(target=pop3_client, args=(n, ports["POP3"], env, digests, until, tally)))
            threads.append(threading.Thread(target=imap_client, args=(n, ports["IMAP4"], env, digests, until, tally)))
        for t in threads:
            t.start()
        samples = []
        warm_up = time.monotonic() + min(10, args.seconds / 5)
        while time.monotonic() < until:
            time.sleep(1)
            if time.monotonic() >= warm_up:
                samples.append(sample(pid))
        for t in threads:
            t.join()
        # Sessions end as their servers close; threads parked for further
        # sessions leave after 10 s without one.
        time.sleep(12)
        after = sample(pid)

        until = time.monotonic() + 30
        missing = dict(tally.sent)
        while missing and time.monotonic() < until:
            for subject, digest in delivered(env["MAILDIR_SUPPORT"]).items():
                if subject in missing:
                    if missing[subject] != digest:
                        tally.error("SMTP changed", "SMTP message %s arrived changed" % subject)
                    del missing[subject]
            time.sleep(0.5)
        for subject in missing:
            tally.error("SMTP lost", "SMTP message %s never arrived" % subject)
        refused = proxy.refusals_logged()
    finally:
        if proxy:
            proxy.stop()
        subprocess.call([os.path.join(REPO, "scripts", "mailservers"), "stop", state],
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(work, ignore_errors=True)

    rss = [s[0] for s in samples]
    thr = [s[1] for s in samples]
    fds = [s[2] for s in samples]
    print("soak: %d s, %d clients through the proxy (%d per protocol), %d samples while loaded"
          % (args.seconds, 3 * CLIENTS_PER_PROTOCOL, CLIENTS_PER_PROTOCOL, len(samples)))
    print("  sessions: SMTP %(SMTP)d, POP3 %(POP3)d, IMAP4 %(IMAP4)d" % tally.done
          + ", %.1f MB moved" % (tally.bytes / 1e6))
    checks = []
    for name, values, allowance, idle_value, after_value in (
            ("resident KB", rss, 0.10, idle[0], after[0]),
            ("threads", thr, 0.10, idle[1], after[1]),
            ("descriptors", fds, 0.10, idle[2], after[2])):
        first, last, ok = flat(values, allowance)
        print("  %-12s idle %7d  loaded first third %8.0f, last third %8.0f, max %7d  after %7d  %s"
              % (name, idle_value, first, last, max(values), after_value, "flat" if ok else "GROWING"))
        checks.append(ok)
    back = after[1] <= idle[1] and after[2] <= idle[2]
    print("  threads and descriptors back to idle once the clients left: %s" % ("yes" if back else "NO"))
    changed = sum(count for kind, (count, _) in tally.errors.items() if kind.endswith(("changed", "lost")))
    print("  transfers byte-exact: %s" % ("all" if changed == 0 else "NO, %d changed or lost" % changed))
    print("  clients closed at once for want of a free slot (of 32): SMTP %(SMTP)d, POP3 %(POP3)d, IMAP4 %(IMAP4)d"
          % refused)
    for kind, (count, example) in sorted(tally.errors.items()):
        print("    %5d x %-22s e.g. %s" % (count, kind, example))
    return 0 if all(checks) and back and changed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
