#!/usr/bin/env python3
"""The relay's real time-outs, black-box, through the release build.

  quiet   a session per protocol, quiet past the 180 s that once cut quiet
          sessions (--quiet, 200 s), must still carry QUIT and its reply.
  stall   a client that asks for a large download and never reads: QuilloMark
          must give up the send about 180 s after the client stopped taking.
  --full  also keeps a session per protocol quiet until QuilloMark ends it:
          about 10 minutes for SMTP and POP3, 31 for IMAP4 (some 32 minutes
          in all).

Run as root for a private network namespace (as the other proxy scripts).
Nothing here is a test; it prints what it saw beside what is expected.
"""
import argparse
import os
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from proxy_peers import HOST, PROTOCOLS, QuilloMark, Upstream, ensure_binary, free_port  # noqa: E402
from proxy_load import read_banner  # noqa: E402

EXPECTED_QUIET = {"SMTP": 600, "POP3": 600, "IMAP4": 31 * 60}
STALL = 180


def log(text):
    print(text, file=sys.stderr, flush=True)


def session(port, rcvbuf=None):
    s = socket.socket()
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.settimeout(30)
    s.connect((HOST, port))
    read_banner(s)
    return s


def quiet_check(peer, seconds):
    sessions = {name: session(port) for name, port in peer.ports.items()}
    time.sleep(seconds)
    result = {}
    for name, s in sessions.items():
        try:
            s.sendall(b"QUIT\r\n")
            result[name] = s.recv(64).startswith(b"221")
        except OSError:
            result[name] = False
        s.close()
    return result


def stall_check(peer):
    s = session(peer.ports["POP3"], rcvbuf=4096)
    s.sendall(b"BULK 200000000\r\n")
    start = time.monotonic()
    line = "ERROR: send data from SERVER failed(110)"
    while line not in peer.log() and time.monotonic() - start < STALL + 120:
        time.sleep(1)
    s.close()
    return time.monotonic() - start if line in peer.log() else None


def until_closed(peer):
    ended = {}

    def watch(name, port):
        s = session(port)
        s.settimeout(EXPECTED_QUIET[name] + 300)
        start = time.monotonic()
        try:
            s.recv(64)
        except OSError:
            pass
        ended[name] = time.monotonic() - start
        s.close()

    threads = [threading.Thread(target=watch, args=item) for item in peer.ports.items()]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return ended


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", help="quillomark to measure (default: build/release/quillomark, built)")
    parser.add_argument("--quiet", type=float, default=200.0, help="seconds the quiet sessions stay quiet")
    parser.add_argument("--full", action="store_true", help="also wait for the quiet limits themselves")
    args = parser.parse_args()
    if not os.environ.get("QM_QUIET_NAMESPACE") and os.geteuid() == 0:
        binary = ensure_binary(args.binary)
        env = dict(os.environ, QM_QUIET_NAMESPACE="1")
        return subprocess.call(["unshare", "-n", "sh", "-c", "ip link set lo up && exec \"$0\" \"$@\"",
                                sys.executable, os.path.abspath(__file__), "--binary", binary, "--quiet",
                                str(args.quiet)] + (["--full"] if args.full else []), env=env)
    binary = ensure_binary(args.binary)
    scratch = "/tmp/qm-quiet-%d" % os.getpid()
    os.makedirs(scratch, exist_ok=True)
    port = free_port()
    upstream = Upstream(scratch, [("plain", port, False)])
    peer = QuilloMark(binary, "plain", port)
    try:
        results = {}
        threads = [threading.Thread(target=lambda: results.update(quiet=quiet_check(peer, args.quiet))),
                   threading.Thread(target=lambda: results.update(stall=stall_check(peer)))]
        if args.full:
            threads.append(threading.Thread(target=lambda: results.update(full=until_closed(peer))))
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        peer.stop()
        upstream.stop()
    for name in PROTOCOLS:
        print("%-5s quiet %.0f s, then QUIT answered: %s (expected: yes)" %
              (name, args.quiet, "yes" if results["quiet"].get(name) else "NO"))
    stall = results["stall"]
    print("never-reading client cut after %s s (expected about %d)" %
          ("%.0f" % stall if stall is not None else "no cut within %d" % (STALL + 120), STALL))
    for name, seconds in sorted(results.get("full", {}).items()):
        print("%-5s quiet session ended by the proxy after %.0f s (expected about %d)" %
              (name, seconds, EXPECTED_QUIET[name]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
