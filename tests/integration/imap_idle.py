"""An IMAP client that waits in IDLE, as a desktop mail program does between
checks: it logs in, selects INBOX, starts IDLE, stays quiet for QUIET
seconds, then has a mail delivered over SMTP and waits for the server's
EXISTS. It prints how long after the mail reached the Maildir the EXISTS
came ("exists 0.12"), or what happened instead ("closed", "no-exists",
"not-delivered"). Every wait has a bound.

  imap_idle.py IMAP_PORT USER PASS SMTP_PORT ADDRESS MAILDIR QUIET
"""
import imaplib
import os
import smtplib
import sys
import time

HOST = "127.0.0.1"


def mails(maildir):
    return sum(len(os.listdir(os.path.join(maildir, d))) for d in ("new", "cur"))


def main(port, user, password, smtp_port, address, maildir, quiet):
    m = imaplib.IMAP4(HOST, int(port), timeout=30)
    m.login(user, password)
    m.select("INBOX")
    tag = m._new_tag()
    m.send(tag + b" IDLE\r\n")
    if not m.readline().startswith(b"+"):
        raise SystemExit("no IDLE continuation")
    before = mails(maildir)
    time.sleep(float(quiet))
    with smtplib.SMTP(HOST, int(smtp_port), timeout=30) as s:
        s.login(user, password)
        s.sendmail(address, [address], b"Subject: pushed\r\n\r\nnew mail\r\n")
    until = time.monotonic() + 30
    while mails(maildir) == before and time.monotonic() < until:
        time.sleep(0.01)
    if mails(maildir) == before:
        print("not-delivered")
        return
    delivered = time.monotonic()
    m.sock.settimeout(10)
    try:
        while True:
            line = m.readline()
            if not line:
                print("closed")
                return
            if b"EXISTS" in line:
                print("exists %.2f" % (time.monotonic() - delivered))
                return
    except OSError:
        print("no-exists")


if __name__ == "__main__":
    if len(sys.argv) != 8:
        raise SystemExit(__doc__)
    main(*sys.argv[1:])
