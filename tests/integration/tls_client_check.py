"""Connects to a local implicit-TLS POP3 port trusting only the given CA file,
reads the greeting, then reconnects offering the session it was given.

Prints "greeting <first line>" and "reused <True|False>", or
"refused <reason>" when the certificate is not trusted."""
import socket
import ssl
import sys

port, cafile = int(sys.argv[1]), sys.argv[2]
context = ssl.create_default_context(cafile=cafile)
session = None
for attempt in range(2):
    raw = socket.create_connection(("127.0.0.1", port), timeout=20)
    try:
        tls = context.wrap_socket(raw, server_hostname="localhost", session=session)
    except ssl.SSLCertVerificationError as error:
        print("refused", error.verify_message)
        sys.exit(0)
    greeting = tls.recv(512).decode("ascii", "replace").splitlines()[0]
    if attempt == 0:
        print("greeting", greeting)
        print("version", tls.version())
    else:
        print("reused", tls.session_reused)
    session = tls.session
    tls.sendall(b"QUIT\r\n")
    tls.recv(512)
    tls.close()
