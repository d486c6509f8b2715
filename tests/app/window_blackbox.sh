#!/usr/bin/env bash
# Black-box test of the built quillomark on a private X display with a tray
# host (scripts/xsession): the window shows the rows of the result file, the
# icon sits in the notification area, the close box hides the window while
# the program runs on, a second start shows it again, and Exit from the tray
# menu, confirmed, ends the program with its last log line.
#
#   window_blackbox.sh QUILLOMARK
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
quillomark=$1
title="QuilloMark V2.0 beta"

work=$(mktemp -d /tmp/qmwinXXXXXX)
qm_pid=
finish() {
    [[ -n $qm_pid ]] && kill -KILL "$qm_pid" 2>/dev/null || true
    xsession_stop
    rm -rf "$work"
}
trap finish EXIT
fail() {
    echo "FAIL: $*" >&2; [[ -n ${QM_SHOT:-} ]] && import -window root "$QM_SHOT" 2>/dev/null
    echo "--- log" >&2; cat "$work/run/Quillomark.log" >&2 2>/dev/null || true
    echo "--- output" >&2; cat "$work/run/out.txt" >&2 2>/dev/null || true
    exit 1
}
# Waits up to $1 seconds for the command after it to succeed.
within() {
    local limit=$1
    shift
    for _ in $(seq $((limit * 10))); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}
logged() { grep -q "$1" "$work/run/Quillomark.log"; }
# Gives the first visible window titled like $1 the focus and types keys into
# it through the X test extension (applications ignore sent key events).
keys_into() {
    local id
    id=$(xdotool search --onlyvisible --name "$1" | head -n 1)
    [[ -n $id ]] || return 1
    shift
    xdotool windowactivate --sync "$id" >/dev/null 2>&1 || xdotool windowfocus --sync "$id"
    xdotool key "$@"
}
shown() { xdotool search --onlyvisible --name "^$title\$"; }

# shellcheck source=../../scripts/xsession
source "$top/scripts/xsession"
xsession_start "$work/x"
unset QT_QPA_PLATFORM

mkdir -p "$work/run"
cd "$work/run"
# Loopback ports the system found free (held together, so four different
# ones), so that nothing else on the machine meets the program's listeners;
# the Internet check goes to the fourth, closed again, without retries, so
# the first detection run ends at once and leaves the result file as it is.
read -r smtp pop3 imap4 closed < <(python3 -c '
import socket
held = [socket.socket() for _ in range(4)]
for s in held: s.bind(("127.0.0.1", 0))
print(*(s.getsockname()[1] for s in held))')
cat >Quillomark.ini <<INI
PORT_SMTP=$smtp
PORT_POP3=$pop3
PORT_IMAP4=$imap4
PORT_SMTPS=0
PORT_POP3S=0
PORT_IMAP4S=0
IS_OPEN_TUTORIAL=0
IS_MANUAL_DETECT=0
LOG_LVL=5
TEST_INTERNET_SERVER="127.0.0.1"
TEST_INTERNET_PORT=$closed
TEST_INTERNET_RETRY_NUM=0
INI
cat >detect_result.log <<'LOG'
1700000000
2023/11/14 22:13:20
120 MAIL 10.0.0.1 25 110 143 first-row
-1 MAIL-SSL 10.0.0.2 465 995 993 second-row
LOG

# A list whose first server once passed: the window shows no set-up hint.
cat >Quillomark.conf <<'CONF'
2023/11/14 22:13:20
MAIL 10.0.0.1 25 110 143 first-row
MAIL-SSL 10.0.0.2 465 995 993 second-row
CONF
echo "1699999000000 first-row 10.0.0.1 120" >detect_history.log

"$quillomark" >out.txt 2>&1 &
qm_pid=$!
within 30 shown || fail "no window titled \"$title\""
window=$(shown | head -n 1)
within 30 logged "auto detect end" || fail "the first detection run did not end"

# The icon is embedded in the panel's notification area: a small window of
# the program whose parent is not the root window. The panel takes it in
# when it gets round to it, which may be after the detection run ended.
root=$(xwininfo -root | awk '/Window id:/ {print $4}')
tray=
embedded() {
    local id width height parent
    for id in $(xdotool search --classname quillomark); do
        read -r width height < <(xwininfo -id "$id" | awk '/Width:/ {w=$2} /Height:/ {h=$2} END {print w, h}')
        parent=$(xwininfo -id "$id" -tree | awk '/Parent window id:/ {print $4}')
        [[ -n $width && -n $height && -n $parent ]] || continue  # gone meanwhile
        if ((width <= 64 && height <= 64)) && [[ $parent != "$root" ]]; then
            tray=$id
            return 0
        fi
    done
    return 1
}
within 30 embedded || fail "the tray icon is not embedded"

# The rows are those of the result file: choosing the first one manually
# writes its remark into "manual_set.log". The first row sits right under
# the list's header.
xdotool windowactivate --sync "$window" >/dev/null 2>&1 || true
xdotool mousemove --window "$window" 75 170 click 1
xdotool key Tab space
within 10 xdotool search --onlyvisible --name "^Manual Mode enabled\$" || fail "no confirmation box"
keys_into "^Manual Mode enabled\$" Return
within 10 xdotool search --onlyvisible --name "^Manual Mode\$" || fail "no completion box"
keys_into "^Manual Mode\$" Return
within 10 grep -q "first-row" manual_set.log || fail "the first row was not the result file's first"
# The line comes after the file and the rewritten settings, which a loaded
# machine takes its time to write.
within 10 logged "User change to the manual-set mode, link = 10.0.0.1 (first-row)" ||
    fail "the manual choice was not logged"

# The close box hides the window; the program stays.
keys_into "^$title\$" alt+F4
within 10 bash -c "! xdotool search --onlyvisible --name '^$title\$'" || fail "closing did not hide"
kill -0 "$qm_pid" || fail "closing ended the program"

# A second start shows the hidden window and ends at once.
timeout 20 "$quillomark" >second.txt 2>&1 || fail "the second start did not end by itself"
within 10 shown || fail "the second start did not show the window"

# Exit from the tray menu, confirmed, ends the program. The menu is the
# program's one window that the click maps; it takes the keys once shown.
visible() { xdotool search --onlyvisible --classname quillomark | sort; }
before_menu=$(visible)
menu_shown() { [[ -n $(comm -13 <(echo "$before_menu") <(visible)) ]]; }
xdotool mousemove --window "$tray" 10 10 click 3
within 10 menu_shown || fail "no tray menu"
xdotool key Up Return
within 10 xdotool search --onlyvisible --name '^Leave\?$' || fail "no Exit question"
keys_into '^Leave\?$' Return
within 20 bash -c "! kill -0 $qm_pid" || fail "Exit did not end the program"
wait "$qm_pid" 2>/dev/null || true
qm_pid=
grep -q "close QuilloMark" Quillomark.log || fail "no \"close QuilloMark\" in the log"

# --hidden, as the start-at-login entry runs it: with the tips switched on,
# no window and no tips box shows, and the mail ports open at once (an
# interactive start would keep them shut until the tips box is closed).
sed -i 's/^IS_OPEN_TUTORIAL=0$/IS_OPEN_TUTORIAL=1/' Quillomark.ini
grep -q "^IS_OPEN_TUTORIAL=1$" Quillomark.ini || fail "the settings lost IS_OPEN_TUTORIAL"
rm -f Quillomark.log
"$quillomark" --hidden >hidden.txt 2>&1 &
qm_pid=$!
listening() { python3 -c "import socket,sys; socket.create_connection(('127.0.0.1', int(sys.argv[1])), 1)" "$1"; }
within 30 listening "$smtp" || fail "--hidden did not open the SMTP port at once"
within 30 logged "Start using QuilloMark" || fail "--hidden did not start"
[[ -z $(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null) ]] || fail "--hidden showed the window"
[[ -z $(xdotool search --onlyvisible --name "^Tips for QuilloMark" 2>/dev/null) ]] || fail "--hidden showed the tips"
kill -TERM "$qm_pid"
within 20 bash -c "! kill -0 $qm_pid" || fail "the hidden copy did not end on SIGTERM"
wait "$qm_pid" 2>/dev/null || true
qm_pid=
echo "window black-box test passed"
