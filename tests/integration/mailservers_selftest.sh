#!/usr/bin/env bash
# Checks the loopback mail-server fixture (scripts/mailservers) end to end with
# independent clients (curl and Python's mail modules), so that integration
# tests failing against it point at QuilloMark rather than at the fixture.
#
#   tests/integration/mailservers_selftest.sh        (as root; exit 0 = all passed)
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
FIXTURE=$ROOT/scripts/mailservers
PY=/usr/bin/python3
CURL=(curl -sS --max-time 10)

passed=0
failed=0
ok() { passed=$((passed + 1)); echo "ok - $*"; }
not_ok() { failed=$((failed + 1)); echo "not ok - $*"; }
# check NAME COMMAND... : one test step; the command's output is shown on failure.
check() {
    local name=$1 out
    shift
    local t=$SECONDS
    if out=$("$@" 2>&1); then
        ok "$name$( ((SECONDS - t > 1)) && echo " (slow: $((SECONDS - t)) s)")"
    else
        not_ok "$name"
        printf '%s\n' "$out" | sed 's/^/    /'
    fi
}

# The outer environment must not pin the fixture's ports.
unset SMTP_PORT SMTPS_PORT POP3_PORT POP3S_PORT IMAP_PORT IMAPS_PORT

D=$(mktemp -d /tmp/qmXXXX)
D2=$(mktemp -d /tmp/qmXXXX)
cleanup() {
    "$FIXTURE" stop "$D2" >/dev/null 2>&1
    "$FIXTURE" stop "$D" >/dev/null 2>&1
    rm -rf "$D" "$D2"
}
trap cleanup EXIT

t0=$(date +%s%N)
if ! "$FIXTURE" start "$D" >"$D.start.out" 2>&1; then
    cat "$D.start.out"
    rm -f "$D.start.out"
    not_ok "fixture starts"
    echo "0 passed, 1 failed"
    exit 1
fi
rm -f "$D.start.out"
start_ms=$((($(date +%s%N) - t0) / 1000000))
ok "fixture starts (${start_ms} ms)"

# shellcheck disable=SC1091
. "$D/env"
export SMTP_PORT SMTPS_PORT POP3_PORT POP3S_PORT IMAP_PORT IMAPS_PORT \
    PROBE_USER PROBE_PASS PROBE_ADDR SUPPORT_USER SUPPORT_PASS SUPPORT_ADDR \
    MAILDIR_PROBE MAILDIR_SUPPORT TLS_CERT MAIL_HOST

env_complete() {
    local v
    for v in MAIL_HOST MAIL_DOMAIN SMTP_PORT SMTPS_PORT POP3_PORT POP3S_PORT IMAP_PORT \
        IMAPS_PORT PROBE_USER PROBE_PASS PROBE_ADDR SUPPORT_USER SUPPORT_PASS \
        SUPPORT_ADDR MAILDIR_PROBE MAILDIR_SUPPORT TLS_CERT POSTFIX_LOG DOVECOT_LOG \
        MAILSERVERS_DIR; do
        [[ -n ${!v:-} ]] || { echo "missing $v"; return 1; }
    done
    [[ $MAIL_HOST == 127.0.0.1 && -d $MAILDIR_PROBE/new && -s $TLS_CERT ]]
}
check "env file names every value" env_complete

# Reads the kernel's socket tables (no iproute2 needed): every fixture port
# must listen, and only on 127.0.0.1.
only_loopback() {
    "$PY" - "$SMTP_PORT" "$SMTPS_PORT" "$POP3_PORT" "$POP3S_PORT" "$IMAP_PORT" "$IMAPS_PORT" <<'PYEOF'
import sys
ports = {int(p) for p in sys.argv[1:]}
seen, bad = set(), []
for table in ("/proc/net/tcp", "/proc/net/tcp6"):
    try:
        rows = open(table).read().splitlines()[1:]
    except OSError:
        continue
    for row in rows:
        f = row.split()
        addr, port = f[1].split(":")
        if f[3] != "0A" or int(port, 16) not in ports:
            continue
        if addr == "0100007F":
            seen.add(int(port, 16))
        else:
            bad.append(f"{table} {addr}:{int(port, 16)}")
missing = ports - seen
if bad or missing:
    print("listening elsewhere:", bad, "not listening:", sorted(missing))
    sys.exit(1)
PYEOF
}
check "every port listens on 127.0.0.1 only" only_loopback

MSG=$D/msg.txt
token_a=token-a-$RANDOM$RANDOM
token_b=token-b-$RANDOM$RANDOM
make_msg() {
    printf 'From: <%s>\r\nTo: <%s>\r\nSubject: %s\r\n\r\nfirst line\r\n.leading dot\r\nlast line %s\r\n' \
        "$1" "$2" "$3" "$3" >"$MSG"
}

# waits until a Maildir holds a message with the token (delivery is async)
delivered() {
    local box=$1 token=$2 _
    for _ in $(seq 100); do
        grep -qs -- "$token" "$box"/new/* "$box"/cur/* && return 0
        sleep 0.05
    done
    echo "no message with $token in $box"
    return 1
}

smtp_plain() {
    make_msg "$PROBE_ADDR" "$SUPPORT_ADDR" "$token_a"
    "${CURL[@]}" "smtp://127.0.0.1:$SMTP_PORT/selftest.qm.test" --user "$PROBE_USER:$PROBE_PASS" \
        --login-options AUTH=LOGIN --mail-from "$PROBE_ADDR" --mail-rcpt "$SUPPORT_ADDR" -T "$MSG" &&
        delivered "$MAILDIR_SUPPORT" "$token_a"
}
check "curl smtp:// AUTH LOGIN on the plain port delivers" smtp_plain

smtp_tls() {
    make_msg "$SUPPORT_ADDR" "$PROBE_ADDR" "$token_b"
    "${CURL[@]}" -k "smtps://127.0.0.1:$SMTPS_PORT/selftest.qm.test" --user "$SUPPORT_USER:$SUPPORT_PASS" \
        --login-options AUTH=LOGIN --mail-from "$SUPPORT_ADDR" --mail-rcpt "$PROBE_ADDR" -T "$MSG" &&
        delivered "$MAILDIR_PROBE" "$token_b"
}
check "curl smtps:// AUTH LOGIN on the implicit-TLS port delivers" smtp_tls

# fetch_has URL USER PASS TOKEN [curl options]
fetch_has() {
    local url=$1 user=$2 pass=$3 token=$4 out
    shift 4
    out=$("${CURL[@]}" "$@" "$url" --user "$user:$pass") || return 1
    grep -q -- "$token" <<<"$out" || { echo "$out"; return 1; }
}
check "curl pop3:// RETR gets the plain-port mail" \
    fetch_has "pop3://127.0.0.1:$POP3_PORT/1" "$SUPPORT_USER" "$SUPPORT_PASS" "last line $token_a"
check "curl pop3s:// RETR gets the TLS-port mail" \
    fetch_has "pop3s://127.0.0.1:$POP3S_PORT/1" "$PROBE_USER" "$PROBE_PASS" "last line $token_b" -k
check "curl imap:// SEARCH lists the message" \
    fetch_has "imap://127.0.0.1:$IMAP_PORT/INBOX" "$SUPPORT_USER" "$SUPPORT_PASS" "^\* SEARCH 1" -X 'SEARCH ALL'
check "curl imaps:// SEARCH lists the message" \
    fetch_has "imaps://127.0.0.1:$IMAPS_PORT/INBOX" "$PROBE_USER" "$PROBE_PASS" "^\* SEARCH 1" -k -X 'SEARCH ALL'
check "curl imap:// fetches the message by UID" \
    fetch_has "imap://127.0.0.1:$IMAP_PORT/INBOX;UID=1" "$SUPPORT_USER" "$SUPPORT_PASS" "last line $token_a"

# refused CODE VERBOSE_PATTERN curl-args... : curl must fail with CODE and the
# server's reply must match the pattern
refused() {
    local code=$1 pattern=$2 out rc=0
    shift 2
    out=$("${CURL[@]}" -v "$@" 2>&1) || rc=$?
    [[ $rc -eq $code ]] || { echo "curl exit $rc, wanted $code"; echo "$out"; return 1; }
    grep -qE -- "$pattern" <<<"$out" || { echo "$out"; return 1; }
}
check "wrong password over SMTP is refused with 535" \
    refused 67 '^< 535 ' "smtp://127.0.0.1:$SMTP_PORT/selftest.qm.test" --user "$PROBE_USER:wrong" \
    --login-options AUTH=LOGIN --mail-from "$PROBE_ADDR" --mail-rcpt "$SUPPORT_ADDR" -T "$MSG"
check "wrong password over SMTPS is refused with 535" \
    refused 67 '^< 535 ' -k "smtps://127.0.0.1:$SMTPS_PORT/selftest.qm.test" --user "$PROBE_USER:wrong" \
    --login-options AUTH=LOGIN --mail-from "$PROBE_ADDR" --mail-rcpt "$SUPPORT_ADDR" -T "$MSG"
check "wrong password over POP3 is refused with -ERR" \
    refused 67 '^< -ERR ' "pop3://127.0.0.1:$POP3_PORT/1" --user "$PROBE_USER:wrong"
check "wrong password over IMAP is refused" \
    refused 67 '^< A[0-9]+ NO ' "imap://127.0.0.1:$IMAP_PORT/INBOX" --user "$PROBE_USER:wrong" -X 'SEARCH ALL'
check "mail to an outside domain is refused at RCPT" \
    refused 55 '^< 554 .*Relay access denied' "smtp://127.0.0.1:$SMTP_PORT/selftest.qm.test" \
    --user "$PROBE_USER:$PROBE_PASS" --mail-from "$PROBE_ADDR" --mail-rcpt someone@example.com -T "$MSG"
check "mail to an unknown qm.test user is refused at RCPT" \
    refused 55 '^< 550 ' "smtp://127.0.0.1:$SMTP_PORT/selftest.qm.test" \
    --user "$PROBE_USER:$PROBE_PASS" --mail-from "$PROBE_ADDR" --mail-rcpt nosuchuser@qm.test -T "$MSG"
check "mail without AUTH is refused at RCPT" \
    refused 55 '^< 554 ' "smtp://127.0.0.1:$SMTP_PORT/selftest.qm.test" \
    --mail-from "$PROBE_ADDR" --mail-rcpt "$SUPPORT_ADDR" -T "$MSG"

python_clients() {
    "$PY" - <<'EOF'
import base64, imaplib, os, poplib, random, smtplib, socket, ssl, sys, time
E = os.environ
host = "127.0.0.1"
insecure = ssl._create_unverified_context()
body = "line one\r\n..two dots\r\n\r\nend " + str(random.random())
failures = []

def check(name, cond, detail=""):
    print(("ok - " if cond else "not ok - ") + "python: " + name)
    if not cond:
        failures.append(name)
        if detail:
            print("    " + str(detail))

def message(frm, to, subject):
    return f"From: <{frm}>\r\nTo: <{to}>\r\nSubject: {subject}\r\n\r\n{body}\r\n"

def login_auth_login(s, user, password):
    s.user, s.password = user, password
    return s.auth("LOGIN", s.auth_login, initial_response_ok=False)

def wait_count(user, password, n):
    for _ in range(100):
        p = poplib.POP3(host, int(E["POP3_PORT"]), timeout=10)
        p.user(user); p.pass_(password)
        count = p.stat()[0]
        p.quit()
        if count >= n:
            return count
        time.sleep(0.05)
    return count

# SMTP on the plain port with AUTH LOGIN, then on the TLS port (verifying the
# certificate against TLS_CERT for the name mail.qm.test).
s = smtplib.SMTP(host, int(E["SMTP_PORT"]), local_hostname="selftest.qm.test", timeout=10)
s.ehlo()
r = login_auth_login(s, E["PROBE_USER"], E["PROBE_PASS"])
check("smtplib AUTH LOGIN answers 235", r[0] == 235, r)
refused = s.sendmail(E["PROBE_ADDR"], [E["SUPPORT_ADDR"]], message(E["PROBE_ADDR"], E["SUPPORT_ADDR"], "py-plain"))
check("smtplib sendmail on plain port", refused == {}, refused)
s.quit()

verified = ssl.create_default_context(cafile=E["TLS_CERT"])
raw = socket.create_connection((host, int(E["SMTPS_PORT"])), timeout=10)
tls = verified.wrap_socket(raw, server_hostname="mail.qm.test")
greeting = tls.makefile("rb").readline()
check("SMTPS certificate verifies against TLS_CERT as mail.qm.test", greeting.startswith(b"220 "), greeting)
check("SMTP greeting is 220 mail.qm.test ESMTP Postfix",
      greeting == b"220 mail.qm.test ESMTP Postfix\r\n", greeting)
tls.close()

s = smtplib.SMTP_SSL(host, int(E["SMTPS_PORT"]), local_hostname="selftest.qm.test", timeout=10, context=insecure)
s.ehlo()
r = s.login(E["SUPPORT_USER"], E["SUPPORT_PASS"])
check("smtplib login over SMTPS answers 235", r[0] == 235, r)
refused = s.sendmail(E["SUPPORT_ADDR"], [E["PROBE_ADDR"]], message(E["SUPPORT_ADDR"], E["PROBE_ADDR"], "py-tls"))
check("smtplib sendmail on TLS port", refused == {}, refused)
s.quit()

# A bare HELO, then AUTH LOGIN driven by hand, as a minimal client does.
s = smtplib.SMTP(host, int(E["SMTP_PORT"]), timeout=10)
s.helo("selftest.qm.test")
c1 = s.docmd("AUTH", "LOGIN")
c2 = s.docmd(base64.b64encode(E["PROBE_USER"].encode()).decode())
c3 = s.docmd(base64.b64encode(b"wrong").decode())
check("HELO + AUTH LOGIN by hand: 334/334 then 535 for a wrong password",
      c1[0] == 334 and c2[0] == 334 and c3[0] == 535, (c1, c2, c3))
s.quit()

s = smtplib.SMTP(host, int(E["SMTP_PORT"]), timeout=10)
s.ehlo()
t = time.monotonic()
try:
    login_auth_login(s, E["PROBE_USER"], "wrong")
    check("smtplib wrong password raises 535", False)
except smtplib.SMTPAuthenticationError as e:
    check("smtplib wrong password raises 535", e.smtp_code == 535, e)
check("a wrong password is answered within a second", time.monotonic() - t < 1.0, time.monotonic() - t)
s.quit()

# POP3: both accounts now hold two messages; the bodies come back byte for byte.
n = wait_count(E["SUPPORT_USER"], E["SUPPORT_PASS"], 2)
check("support mailbox holds 2 messages", n == 2, n)
n = wait_count(E["PROBE_USER"], E["PROBE_PASS"], 2)
check("probe mailbox holds 2 messages", n == 2, n)

def pop_bodies(p, user, password):
    r1 = p.user(user)
    r2 = p.pass_(password)
    count = p.stat()[0]
    texts = [b"\r\n".join(p.retr(i)[1]).decode() for i in range(1, count + 1)]
    p.quit()
    return r1, r2, texts

p = poplib.POP3(host, int(E["POP3_PORT"]), timeout=10)
check("POP3 greeting is +OK Dovecot ready.", p.getwelcome() == b"+OK Dovecot ready.", p.getwelcome())
r1, r2, texts = pop_bodies(p, E["SUPPORT_USER"], E["SUPPORT_PASS"])
check("POP3 USER answers a bare +OK", r1 == b"+OK", r1)
check("POP3 PASS answers +OK Logged in.", r2 == b"+OK Logged in.", r2)
check("POP3 RETR returns the body byte for byte",
      any(t.endswith(body) and "Subject: py-plain" in t for t in texts), texts)
r1, r2, texts = pop_bodies(poplib.POP3_SSL(host, int(E["POP3S_PORT"]), timeout=10, context=insecure),
                           E["PROBE_USER"], E["PROBE_PASS"])
check("POP3S RETR returns the body byte for byte",
      any(t.endswith(body) and "Subject: py-tls" in t for t in texts), texts)

p = poplib.POP3(host, int(E["POP3_PORT"]), timeout=10)
p.user(E["PROBE_USER"])
try:
    p.pass_("wrong")
    check("POP3 wrong password is refused with -ERR", False)
except poplib.error_proto as e:
    check("POP3 wrong password is refused with -ERR", str(e).startswith("b'-ERR"), e)
p.quit()

# IMAP4 on both ports.
for cls, port, kw, user, pw in (
        (imaplib.IMAP4, "IMAP_PORT", {}, E["SUPPORT_USER"], E["SUPPORT_PASS"]),
        (imaplib.IMAP4_SSL, "IMAPS_PORT", {"ssl_context": insecure}, E["PROBE_USER"], E["PROBE_PASS"])):
    m = cls(host, int(E[port]), **kw)
    check(f"{cls.__name__} greeting is Dovecot's", b"Dovecot ready." in m.welcome, m.welcome)
    m.login(user, pw)
    m.select("INBOX")
    typ, data = m.search(None, "ALL")
    check(f"{cls.__name__} SEARCH ALL lists 2 messages", typ == "OK" and data[0].split() == [b"1", b"2"], data)
    m.logout()
m = imaplib.IMAP4(host, int(E["IMAP_PORT"]))
try:
    m.login(E["PROBE_USER"], "wrong")
    check("IMAP wrong password is refused", False)
except imaplib.IMAP4.error:
    check("IMAP wrong password is refused", True)
m.logout()

sys.exit(1 if failures else 0)
EOF
}
py_out=$(python_clients 2>&1)
py_rc=$?
printf '%s\n' "$py_out"
py_ok=$(grep -c '^ok - ' <<<"$py_out")
py_bad=$(grep -c '^not ok - ' <<<"$py_out")
passed=$((passed + py_ok))
failed=$((failed + py_bad))
if [[ $py_rc -ne 0 && $py_bad -eq 0 ]]; then
    not_ok "python clients ran to the end (exit $py_rc)"
fi

# A second fixture beside the first must get its own ports and work alone.
second_fixture() {
    local out
    out=$(env -u SMTP_PORT -u SMTPS_PORT -u POP3_PORT -u POP3S_PORT -u IMAP_PORT -u IMAPS_PORT \
        "$FIXTURE" start "$D2") || { echo "$out"; return 1; }
    local p2 p
    # shellcheck disable=SC1091
    p2=$(. "$D2/env" && echo "$SMTP_PORT $SMTPS_PORT $POP3_PORT $POP3S_PORT $IMAP_PORT $IMAPS_PORT")
    for p in $p2; do
        case " $SMTP_PORT $SMTPS_PORT $POP3_PORT $POP3S_PORT $IMAP_PORT $IMAPS_PORT " in
            *" $p "*) echo "port $p shared"; return 1 ;;
        esac
    done
    "$FIXTURE" stop "$D2"
}
check "a second fixture runs beside the first" second_fixture

check "start refuses a directory whose servers are running" \
    bash -c "! '$FIXTURE' start '$D' >/dev/null 2>&1"

ports="$SMTP_PORT $SMTPS_PORT $POP3_PORT $POP3S_PORT $IMAP_PORT $IMAPS_PORT"
postfix_pid=$(tr -d ' ' <"$D/spool/pid/master.pid")
dovecot_pid=$(cat "$D/run/master.pid")
t0=$(date +%s%N)
check "fixture stops" "$FIXTURE" stop "$D"
stop_ms=$((($(date +%s%N) - t0) / 1000000))
echo "# start ${start_ms} ms, stop ${stop_ms} ms"

ports_free() {
    local p
    for p in $ports; do
        if (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
            echo "port $p still accepts connections"
            return 1
        fi
    done
}
check "every port is free after stop" ports_free

masters_gone() {
    local pid st
    for pid in "$postfix_pid" "$dovecot_pid"; do
        st=$(cat "/proc/$pid/stat" 2>/dev/null) || continue
        st=${st##*) }
        [[ ${st:0:1} == Z ]] || { echo "pid $pid still running"; return 1; }
    done
}
check "both masters have ended" masters_gone
check "stop again is harmless" "$FIXTURE" stop "$D"

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
