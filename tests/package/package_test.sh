#!/usr/bin/env bash
# The Debian package as a new user meets it: build it, check it with lintian,
# desktop-file-validate and appstreamcli, install it with apt-get, start
# /usr/bin/quillomark from / as a freshly created user without a display,
# relay a mail through its local SMTP port to real mail servers, then purge
# the package and check the user's files are still there.
#
# Needs root, a network namespace of its own and no network: the package's
# dependencies are installed by scripts/install-deps beforehand. The test
# user, the package, the mail servers and every process started here are
# removed again, even on failure.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
readonly SKIP=77
readonly SMTP=2525 POP3=2110 IMAP=2143
readonly PY=/usr/bin/python3
readonly WAIT=${QM_PACKAGE_TEST_WAIT:-60}

say() { printf 'package_test: %s\n' "$*" >&2; }
fail() {
    say "FAIL: $*"
    local out
    for out in "$state"/run*.out "$work/Quillomark.log"; do
        [[ -f $out ]] && { say "--- tail of $out"; tail -n 25 "$out" >&2; }
    done
    exit 1
}

[[ $(id -u) -eq 0 ]] || { say "skipped: needs root (apt-get, useradd)"; exit $SKIP; }

# The program's ports are fixed (2525, 2110, 2143, then 25, 110, 143), and the
# machine may already serve any of them: its own mail server, or a user's
# QuilloMark. The whole test runs in a network namespace of its own, whose
# loopback holds only what the test starts, so that a port found listening
# is the installed program's.
if [[ ${QM_PACKAGE_TEST_OWN_NET:-} != 1 ]]; then
    unshare --net true 2>/dev/null ||
        { say "skipped: needs a network namespace of its own (unshare --net was refused)"; exit $SKIP; }
    QM_PACKAGE_TEST_OWN_NET=1 exec unshare --net -- bash "${BASH_SOURCE[0]}" "$@"
fi
ip link set lo up || { say "could not bring the namespace's loopback up"; exit 1; }

state=$(mktemp -d /tmp/qmpkXXXXXX)
chmod 755 "$state"
user=qmpkg$$
home=/home/$user
work=$home/.local/share/quillomark
qm_pid= web_pid= installed=0 user_made=0

cleanup() {
    local rc=$?
    trap - EXIT INT TERM
    set +e
    [[ -n $qm_pid ]] && kill -TERM "$qm_pid" 2>/dev/null && wait "$qm_pid" 2>/dev/null
    [[ -n $web_pid ]] && kill "$web_pid" 2>/dev/null && wait "$web_pid" 2>/dev/null
    "$top/scripts/mailservers" stop "$state/ms" >/dev/null 2>&1 || true
    if ((installed)); then
        DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 purge -y -q quillomark \
            >/dev/null 2>&1 || say "could not purge quillomark"
    fi
    if ((user_made)); then
        # Anything still running as the test user was started by this test.
        local left
        left=$(ps -u "$user" -o pid= 2>/dev/null || true)
        [[ -n $left ]] && { kill $left 2>/dev/null; sleep 1; kill -KILL $left 2>/dev/null; }
        userdel -r "$user" >/dev/null 2>&1 || say "could not remove user $user"
    fi
    rm -rf "$state"
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Polls a shell condition once a tenth of a second, for at most WAIT seconds.
wait_for() {
    local what=$1 deadline=$((SECONDS + WAIT))
    shift
    until "$@"; do
        ((SECONDS < deadline)) || fail "timed out waiting for $what"
        [[ -z $qm_pid ]] || kill -0 "$qm_pid" 2>/dev/null || fail "quillomark ended while waiting for $what"
        sleep 0.1
    done
}

listens_on_loopback() {
    local port
    for port in "$@"; do
        ss -Hltn "sport = :$port" | grep -q "127\.0\.0\.1:$port " || return 1
    done
}

# Runs a command as the test user in a login-like environment without a
# display. Every step execs the next, so a background job's pid is the
# command's own.
as_user=(setpriv --reuid="$user" --regid="$user" --init-groups --
         env -i HOME="$home" USER="$user" LOGNAME="$user" PATH=/usr/bin:/bin
         LANG=C.UTF-8 QT_QPA_PLATFORM=offscreen)

# Starts the launcher from / in the background; its output goes to $1.
start_quillomark() {
    "${as_user[@]}" sh -c 'cd / && exec /usr/bin/quillomark' >"$1" 2>&1 &
    qm_pid=$!
}

stop_quillomark() {
    kill -TERM "$qm_pid"
    local rc=0
    wait "$qm_pid" || rc=$?
    qm_pid=
    ((rc == 0)) || fail "quillomark ended with $rc after TERM"
}

# --- build and static checks ------------------------------------------------
# QM_PACKAGE_DEB names an already built .deb to check instead.
deb=${QM_PACKAGE_DEB:-}
if [[ -z $deb ]]; then
    say "building the package"
    deb=$("$top/scripts/package" | tail -n 1)
fi
[[ -f $deb ]] || fail "scripts/package made no .deb"

say "lintian"
lintian --fail-on error --info "$deb" >"$state/lintian.out" 2>&1 ||
    { cat "$state/lintian.out" >&2; fail "lintian reported errors"; }
grep -E '^[WE]: ' "$state/lintian.out" >&2 || true

mkdir "$state/deb"
dpkg-deb -x "$deb" "$state/deb"
desktop-file-validate "$state/deb/usr/share/applications/org.quillomark.QuilloMark.desktop" ||
    fail "desktop-file-validate"
appstreamcli validate --no-net "$state/deb/usr/share/metainfo/org.quillomark.QuilloMark.metainfo.xml" ||
    fail "appstreamcli validate"
$PY - "$state/deb/usr/share/icons/hicolor" <<'PY' || fail "hicolor icons"
import struct, sys
for size in (16, 22, 24, 32, 48, 64, 128, 256):
    path = '%s/%dx%d/apps/org.quillomark.QuilloMark.png' % (sys.argv[1], size, size)
    head = open(path, 'rb').read(24)
    assert head[:8] == b'\x89PNG\r\n\x1a\n', path
    assert struct.unpack('>II', head[16:24]) == (size, size), path
PY

# --- install ----------------------------------------------------------------
say "installing $deb"
DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 install -y -q \
    --no-install-recommends "$deb" >"$state/apt.out" 2>&1 ||
    { cat "$state/apt.out" >&2; fail "apt-get install"; }
installed=1
[[ -x /usr/bin/quillomark && -x /usr/libexec/quillomark/quillomark ]] || fail "installed layout"
[[ -z $(getcap /usr/libexec/quillomark/quillomark) ]] ||
    fail "the program got a capability although the standard ports were not allowed"
[[ ! -e /etc/systemd/user/default.target.wants/quillomark.service ]] ||
    fail "the user unit was enabled for every user"

useradd --create-home --shell /bin/sh "$user"
user_made=1
touch "$state/before-run"

# --- first start: the working directory is made and seeded ------------------
say "first start as $user from /"
start_quillomark "$state/run1.out"
wait_for "the seeded working directory" test -f "$work/Quillomark.conf"
[[ $(stat -c %a "$work") == 700 ]] || fail "working directory mode $(stat -c %a "$work")"
[[ $(stat -c %U "$work") == "$user" ]] || fail "working directory not owned by $user"
for shipped in /usr/share/quillomark/defaults/*; do
    cmp -s "$shipped" "$work/${shipped##*/}" || fail "${shipped##*/} not seeded"
done
wait_for "the three ports on 127.0.0.1" listens_on_loopback $SMTP $POP3 $IMAP
stop_quillomark

# --- second start against real mail servers ---------------------------------
say "starting mail servers"
"$top/scripts/mailservers" start "$state/ms" >"$state/ms.out" 2>&1 ||
    { cat "$state/ms.out" >&2; fail "mail servers did not start"; }
# shellcheck disable=SC1091
source "$state/ms/env"

mkdir "$state/www"
echo "<html>online</html>" >"$state/www/index.html"
web_port=$($PY -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
$PY -m http.server --bind 127.0.0.1 "$web_port" --directory "$state/www" </dev/null >/dev/null 2>&1 &
web_pid=$!
wait_for "the web host" bash -c "exec 3<>/dev/tcp/127.0.0.1/$web_port" 2>/dev/null

# The user's own settings: the test account and the local Internet check.
sealed=$(/usr/libexec/quillomark/quillomark-seal "LOGIN_NAME=$PROBE_USER" "LOGIN_PASS=$PROBE_PASS" \
    "MAIL_FROM=$PROBE_ADDR" "RCPT_TO=$PROBE_ADDR" "LOG_RCPT_TO=$SUPPORT_ADDR" \
    "DOWNLOAD_SERVER=127.0.0.1" "DOWNLOAD_PATH=/none/Quillomark.conf")
sed -i -e "s/^TEST_INTERNET_SERVER=.*/TEST_INTERNET_SERVER=\"127.0.0.1\"/" \
       -e "s/^TEST_INTERNET_PORT=.*/TEST_INTERNET_PORT=$web_port/" \
       -e "s/^TEST_INTERNET_RETRY_INTERVAL=.*/TEST_INTERNET_RETRY_INTERVAL=2/" "$work/Quillomark.ini"
printf '%s\n' "$sealed" >>"$work/Quillomark.ini"
cat >"$work/Quillomark.conf" <<CONF
$(date '+%Y/%m/%d %H:%M:%S')
MAIL 127.0.0.1 $SMTP_PORT $POP3_PORT $IMAP_PORT test-plain
CONF
chown "$user:" "$work/Quillomark.ini" "$work/Quillomark.conf"
cp "$work/Quillomark.ini" "$state/ini.mine"

say "second start: detection against the test servers"
start_quillomark "$state/run2.out"
wait_for "a ranking with the test server" grep -qs 'test-plain' "$work/detect_result.log"
wait_for "the end of the detection" grep -qs 'auto detect end' "$state/run2.out"
wait_for "the three ports on 127.0.0.1" listens_on_loopback $SMTP $POP3 $IMAP

marker="package-test-$$-$RANDOM"
printf 'Subject: %s\r\n\r\nRelayed by the installed QuilloMark.\r\n' "$marker" >"$state/mail.txt"
curl -sS --max-time 30 "smtp://127.0.0.1:$SMTP/pkgtest" --user "$PROBE_USER:$PROBE_PASS" \
    --login-options AUTH=LOGIN --mail-from "$PROBE_ADDR" --mail-rcpt "$PROBE_ADDR" \
    -T "$state/mail.txt" || fail "curl could not send through 127.0.0.1:$SMTP"
wait_for "the mail in the probe mailbox" grep -rqs "$marker" "$MAILDIR_PROBE/new" "$MAILDIR_PROBE/cur"
stop_quillomark

# --- the administrator's opt-in for the standard ports ----------------------
say "allowing the standard ports through debconf"
echo "quillomark quillomark/standard-ports boolean true" | debconf-set-selections
DEBIAN_FRONTEND=noninteractive dpkg-reconfigure quillomark >"$state/reconf.out" 2>&1 ||
    { cat "$state/reconf.out" >&2; fail "dpkg-reconfigure"; }
getcap /usr/libexec/quillomark/quillomark | grep -q cap_net_bind_service ||
    fail "the program did not get cap_net_bind_service"
cp "$work/Quillomark.ini" "$state/ini.high"
sed -i -e 's/^PORT_SMTP=.*/PORT_SMTP=25/' -e 's/^PORT_POP3=.*/PORT_POP3=110/' \
       -e 's/^PORT_IMAP4=.*/PORT_IMAP4=143/' "$work/Quillomark.ini"
start_quillomark "$state/run3.out"
wait_for "the standard ports on 127.0.0.1" listens_on_loopback 25 110 143
stop_quillomark
cp "$state/ini.high" "$work/Quillomark.ini"
echo "quillomark quillomark/standard-ports boolean false" | debconf-set-selections
DEBIAN_FRONTEND=noninteractive dpkg-reconfigure quillomark >"$state/reconf.out" 2>&1 ||
    { cat "$state/reconf.out" >&2; fail "dpkg-reconfigure back"; }
[[ -z $(getcap /usr/libexec/quillomark/quillomark) ]] || fail "the withdrawn grant stayed"

# --- the user's files ---------------------------------------------------------
head -n "$(wc -l <"$state/ini.mine")" "$work/Quillomark.ini" | cmp -s - "$state/ini.mine" ||
    fail "the user's settings were replaced"
for f in Quillomark.log detect_result.log; do
    [[ -s $work/$f ]] || fail "$f not written in the working directory"
done
# Everything the user's QuilloMark wrote is in the working directory; the
# runtime directory Qt falls back to without XDG_RUNTIME_DIR is not data.
stray=$(find / -xdev -user "$user" -newer "$state/before-run" -type f \
    ! -path "$work/*" ! -path "/tmp/runtime-$user/*" 2>/dev/null || true)
[[ -z $stray ]] || fail "files written outside the working directory: $stray"

# --- the launcher says why it cannot start ---------------------------------
rc=0
"${as_user[@]}" XDG_DATA_HOME=/proc/qm /usr/bin/quillomark >"$state/nodir.out" 2>&1 || rc=$?
((rc != 0)) && grep -q 'cannot create the working directory' "$state/nodir.out" ||
    fail "launcher without a usable directory: rc=$rc, $(cat "$state/nodir.out")"

# --- purge ------------------------------------------------------------------
say "purging the package"
DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 purge -y -q quillomark \
    >"$state/purge.out" 2>&1 || { cat "$state/purge.out" >&2; fail "apt-get purge"; }
installed=0
! dpkg-query -W -f='${db:Status-Status}' quillomark 2>/dev/null | grep -q installed ||
    fail "still installed after purge"
[[ ! -e /usr/bin/quillomark && ! -e /usr/share/quillomark ]] || fail "files left after purge"
head -n "$(wc -l <"$state/ini.mine")" "$work/Quillomark.ini" | cmp -s - "$state/ini.mine" ||
    fail "purge touched the user's settings"
[[ -s $work/Quillomark.log ]] || fail "purge removed the user's log"
say "passed"
