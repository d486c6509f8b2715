"""Mail client side of the proxy's integration tests, with Python's own
clients: make a test message, send it over SMTP, fetch messages over POP3
or IMAP4, and print SHA-256 digests of message bodies so that the caller can
compare them byte for byte with what was sent. Servers are always on
127.0.0.1; every socket has a time-out so that a fault fails, never hangs.

  make-message PATH SIZE SUBJECT  write a message of at least SIZE bytes; print its body digest
  smtp PORT USER PASS FROM TO PATH send PATH; print "sent"
  pop3 PORT USER PASS              print "<number> <body digest>" per message
  imap PORT USER PASS              print "<uid> <body digest>" per INBOX message
"""
import hashlib
import imaplib
import poplib
import random
import smtplib
import sys

HOST = "127.0.0.1"
TIMEOUT = 60


def body_digest(message: bytes) -> str:
    head, sep, body = message.partition(b"\r\n\r\n")
    if not sep:
        raise SystemExit("message without a header/body break")
    return hashlib.sha256(body).hexdigest()


def make_message(path, size, subject):
    rng = random.Random(size)
    alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/ .,;:-"
    lines = []
    total = 0
    n = 0
    while total < size:
        n += 1
        # Some lines begin with a dot: the SMTP and POP3 dot-stuffing must undo itself.
        start = "." if n % 97 == 0 else ""
        line = start + "".join(rng.choice(alphabet) for _ in range(rng.randint(1, 300)))
        lines.append(line.encode())
        total += len(line) + 2
    body = b"\r\n".join(lines) + b"\r\n"
    head = ("From: probe@qm.test\r\nTo: probe@qm.test\r\nSubject: %s\r\n"
            "Message-ID: <%s@qm.test>\r\n\r\n" % (subject, subject)).encode()
    with open(path, "wb") as f:
        f.write(head + body)
    print(hashlib.sha256(body).hexdigest())


def smtp(port, user, password, sender, rcpt, path):
    with open(path, "rb") as f:
        message = f.read()
    with smtplib.SMTP(HOST, int(port), local_hostname="client.qm.test", timeout=TIMEOUT) as s:
        s.ehlo()
        s.login(user, password)
        s.sendmail(sender, [rcpt], message)
    print("sent")


def pop3(port, user, password):
    p = poplib.POP3(HOST, int(port), timeout=TIMEOUT)
    p.user(user)
    p.pass_(password)
    count, _ = p.stat()
    for i in range(1, count + 1):
        _, lines, _ = p.retr(i)
        print(i, body_digest(b"\r\n".join(lines) + b"\r\n"))
    p.quit()


def imap(port, user, password):
    m = imaplib.IMAP4(HOST, int(port), timeout=TIMEOUT)
    m.login(user, password)
    m.select("INBOX", readonly=True)
    _, data = m.uid("SEARCH", None, "ALL")
    for uid in data[0].split():
        _, parts = m.uid("FETCH", uid, "(BODY.PEEK[])")
        print(uid.decode(), body_digest(parts[0][1]))
    m.logout()


def main(argv):
    commands = {"make-message": (make_message, 3), "smtp": (smtp, 6), "pop3": (pop3, 3), "imap": (imap, 3)}
    if len(argv) < 2 or argv[1] not in commands or len(argv) - 2 != commands[argv[1]][1]:
        raise SystemExit(__doc__)
    function, _ = commands[argv[1]]
    args = argv[2:]
    if argv[1] == "make-message":
        args = [args[0], int(args[1]), args[2]]
    function(*args)


if __name__ == "__main__":
    main(sys.argv)
