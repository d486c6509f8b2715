#!/usr/bin/env python3
"""Opens COUNT connections to each given port at once and reports how many
read something (a greeting or a refusal) or saw a close within 5 seconds.

usage: burst_clients.py COUNT PORT...
"""
import errno
import selectors
import socket
import sys
import time

LIMIT = 5.0


def main():
    count = int(sys.argv[1])
    ports = [int(p) for p in sys.argv[2:]]
    sel = selectors.DefaultSelector()
    start = time.monotonic()
    pending = {}
    for port in ports:
        for _ in range(count):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setblocking(False)
            rc = s.connect_ex(("127.0.0.1", port))
            if rc not in (0, errno.EINPROGRESS):
                print("connect failed", errno.errorcode.get(rc, rc))
                return 1
            sel.register(s, selectors.EVENT_READ)
            pending[s] = port
    answered = 0
    slowest = 0.0
    while pending and time.monotonic() - start < LIMIT:
        for key, _ in sel.select(timeout=0.1):
            s = key.fileobj
            try:
                s.recv(512)
            except OSError:
                pass  # a reset is an answer as well
            slowest = max(slowest, time.monotonic() - start)
            answered += 1
            sel.unregister(s)
            del pending[s]
    total = count * len(ports)
    print("answered %d of %d; slowest %.2f s" % (answered, total, slowest))
    return 0 if answered == total else 1


if __name__ == "__main__":
    sys.exit(main())
