#!/usr/bin/python3
"""A TLS server on 127.0.0.1 that completes every handshake and then says
nothing, until the client goes away.

    detect_silent_tls.py PORT CERT KEY
"""
import socket
import ssl
import sys
import threading


def hold(conn):
    try:
        while conn.recv(4096):
            pass
    except OSError:
        pass
    finally:
        conn.close()


def main():
    port, cert, key = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(8)
    while True:
        raw, _ = listener.accept()
        try:
            conn = context.wrap_socket(raw, server_side=True)
        except (OSError, ssl.SSLError):
            raw.close()
            continue
        threading.Thread(target=hold, args=(conn,), daemon=True).start()


if __name__ == "__main__":
    main()
