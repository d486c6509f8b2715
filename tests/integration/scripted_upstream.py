#!/usr/bin/python3
"""Upstream mail servers that misbehave on purpose, for the proxy's
integration tests, where a real server cannot be made to misbehave. Each
listens on 127.0.0.1:PORT until killed.

  slow-smtp PORT DIR GREETING_DELAY DATA_DELAY
      SMTP over TLS from the first byte (a self-signed certificate is made
      in DIR): the greeting comes GREETING_DELAY seconds after the handshake,
      every command is accepted, and the end of the message is answered
      after DATA_DELAY seconds with "554 5.7.1 Message rejected".
  trickle PORT
      Takes a TLS client hello, announces a long handshake record and then
      sends it one byte every half second: every read gets something, the
      handshake never ends.
  late-tls PORT DIR DELAY UPSTREAM_PORT
      A server that is slow but alive: it takes the connection, starts its
      TLS handshake only DELAY seconds later (a self-signed certificate is
      made in DIR), then relays the session to the plain server on
      127.0.0.1:UPSTREAM_PORT.
"""
import os
import select
import socket
import ssl
import subprocess
import sys
import threading
import time


def listen(port):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(16)
    return listener


def serve_forever(listener, handler):
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=guarded, args=(handler, conn), daemon=True).start()


def guarded(handler, conn):
    try:
        handler(conn)
    except (OSError, ssl.SSLError):
        pass
    finally:
        conn.close()


def self_signed(directory):
    cert, key = os.path.join(directory, "slow.crt"), os.path.join(directory, "slow.key")
    if not os.path.exists(cert):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                        "-out", cert, "-subj", "/CN=localhost", "-days", "1"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


def read_line(conn, pending):
    while b"\r\n" not in pending[0]:
        data = conn.recv(65536)
        if not data:
            return None
        pending[0] += data
    line, _, pending[0] = pending[0].partition(b"\r\n")
    return line


def slow_smtp(conn, greeting_delay, data_delay):
    time.sleep(greeting_delay)
    conn.sendall(b"220 slow.qm.test ESMTP\r\n")
    pending = [b""]
    while True:
        line = read_line(conn, pending)
        if line is None:
            return
        verb = line.split(b" ")[0].upper()
        if verb == b"EHLO":
            conn.sendall(b"250-slow.qm.test\r\n250 8BITMIME\r\n")
        elif verb == b"DATA":
            conn.sendall(b"354 End data with <CR><LF>.<CR><LF>\r\n")
            while b"\r\n.\r\n" not in pending[0]:
                data = conn.recv(65536)
                if not data:
                    return
                pending[0] += data
            pending[0] = pending[0].partition(b"\r\n.\r\n")[2]
            time.sleep(data_delay)
            conn.sendall(b"554 5.7.1 Message rejected\r\n")
        elif verb == b"QUIT":
            conn.sendall(b"221 2.0.0 Bye\r\n")
            return
        else:
            conn.sendall(b"250 2.0.0 Ok\r\n")


def trickle(conn):
    conn.recv(65536)  # the client hello
    conn.sendall(b"\x16\x03\x03\x40\x00")
    for _ in range(240):
        time.sleep(0.5)
        conn.sendall(b"\x02")


def late_tls(raw, context, delay, upstream_port):
    time.sleep(delay)
    with context.wrap_socket(raw, server_side=True) as conn, \
            socket.create_connection(("127.0.0.1", upstream_port), timeout=30) as upstream:
        other = {conn: upstream, upstream: conn}
        while True:
            # Records the TLS layer has read already wake no select.
            ready = [conn] if conn.pending() else select.select([conn, upstream], [], [], 60)[0]
            if not ready:
                return
            for source in ready:
                data = source.recv(65536)
                if not data:
                    return
                other[source].sendall(data)


def main(argv):
    if len(argv) == 6 and argv[1] == "slow-smtp":
        port, directory, greeting_delay, data_delay = int(argv[2]), argv[3], float(argv[4]), float(argv[5])
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(*self_signed(directory))

        def handler(raw):
            with context.wrap_socket(raw, server_side=True) as conn:
                slow_smtp(conn, greeting_delay, data_delay)
        serve_forever(listen(port), handler)
    elif len(argv) == 6 and argv[1] == "late-tls":
        port, directory, delay, upstream_port = int(argv[2]), argv[3], float(argv[4]), int(argv[5])
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(*self_signed(directory))
        serve_forever(listen(port), lambda raw: late_tls(raw, context, delay, upstream_port))
    elif len(argv) == 3 and argv[1] == "trickle":
        serve_forever(listen(int(argv[2])), trickle)
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
