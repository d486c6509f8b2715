#!/usr/bin/env python3
"""Oversized data files against the built program: how long the start and the
first clients take, and how much memory the process ever held.

    bench/hostile_files.py [--binary build/asan/quillomark] [--megabytes 20]

Each kind of file (the settings, the candidate list, the automatic result
file) is written MEGABYTES large into a fresh directory, the program is
started there headless, and three SMTP clients connect once it says it has
started. Targets: a start within 5 s, each client answered (greeting,
refusal or close) within 5 s, a peak resident size under 200 MB. Run it in a
private network namespace (unshare -rn) so its ports meet nobody's.
"""
import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def settings(ports):
    return ("PORT_SMTP=%d\nPORT_POP3=%d\nPORT_IMAP4=%d\nLOG_LVL=3\nIS_MANUAL_DETECT=0\n"
            "TEST_INTERNET_SERVER=\"127.0.0.1\"\nTEST_INTERNET_PORT=%d\nTEST_INTERNET_RETRY_NUM=0\n"
            % tuple(ports))


def result_lines(size, port):
    line = "10 MAIL 127.0.0.1 %d %d %d code%%07d\n" % (port, port, port)
    count = size // len(line % 0) + 1
    return "%d\n2026/01/01 00:00:00\n" % int(time.time()) + "".join(line % i for i in range(count))


def list_lines(size, port):
    line = "MAIL 127.0.0.1 %d %d %d code%%07d\n" % (port, port, port)
    count = size // len(line % 0) + 1
    return "2026/01/01 00:00:00\n" + "".join(line % i for i in range(count))


def peak_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return -1


def client_seconds(port):
    start = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
            s.settimeout(60)
            s.recv(512)
    except OSError:
        pass
    return time.monotonic() - start


def run(binary, kind, megabytes):
    ports = [free_port() for _ in range(4)]
    directory = tempfile.mkdtemp(prefix="qm-hostile-")
    size = megabytes * 1024 * 1024
    ini = settings(ports)
    files = {"Quillomark.ini": ini}
    if kind == "settings":
        files["Quillomark.ini"] = ini + "#" * size + "\n"
    elif kind == "list":
        files["Quillomark.conf"] = list_lines(size, ports[3])
    else:
        files["detect_result.log"] = result_lines(size, ports[3])
    for name, text in files.items():
        with open(os.path.join(directory, name), "w") as f:
            f.write(text)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", ASAN_OPTIONS="detect_leaks=0")
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    env["XDG_RUNTIME_DIR"] = directory
    start = time.monotonic()
    proc = subprocess.Popen([binary], cwd=directory, env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    log = os.path.join(directory, "Quillomark.log")
    started = None
    while time.monotonic() - start < 60 and proc.poll() is None:
        try:
            with open(log, errors="replace") as f:
                if "Start using QuilloMark" in f.read():
                    started = time.monotonic() - start
                    break
        except OSError:
            pass  # not there yet, or being rotated
        time.sleep(0.05)
    smtp = ports[0] if kind != "settings" else 2525
    waits = [client_seconds(smtp) for _ in range(3)] if started is not None else []
    peak = peak_kib(proc.pid)
    proc.terminate()
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
    shutil.rmtree(directory, ignore_errors=True)
    return started, waits, peak


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", default=os.path.join(HERE, "..", "build", "asan", "quillomark"))
    parser.add_argument("--megabytes", type=int, default=20)
    args = parser.parse_args()
    ok = True
    print("%-9s %10s %24s %12s" % ("file", "start s", "client waits s", "peak MB"))
    for kind in ("settings", "list", "result"):
        started, waits, peak = run(os.path.abspath(args.binary), kind, args.megabytes)
        good = started is not None and started < 5 and all(w < 5 for w in waits) and 0 < peak < 200 * 1024
        ok = ok and good
        print("%-9s %10s %24s %12.1f %s" % (kind, "%.2f" % started if started is not None else "never",
                                            " ".join("%.2f" % w for w in waits), peak / 1024.0,
                                            "ok" if good else "OVER TARGET"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
