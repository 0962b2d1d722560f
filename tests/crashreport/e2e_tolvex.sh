#!/bin/bash
# tolvex crashing for real, under a display (xvfb-run -a), with a home of its
# own: e2e_tolvex.sh <bin folder> <case> [make_crash_resources]
#
#   close       kill -SEGV: the helper shows the box; Escape closes it, tolvex
#               ends with status 1 and its report (saved under
#               $XDG_STATE_HOME/tolvex/) names SIGSEGV, the main thread's
#               section, libQt6Core among the modules, tolvex's pid among the
#               processes and the display mode xdpyinfo gives; the helper ends
#               without a core.
#   no-helper   the helper renamed away: no box, the report saved all the
#               same, one line of the crash reporter on stderr, status 1.
#   hand-over   a second start that hands over to the running instance starts
#               no helper of its own.
#   dormant     the settings section removed: no helper, none of the crash
#               reporter's threads.
#   restart     a copy whose section objcopy --update-section changed to
#               "AutoRestart" 1 without a box: the old tolvex ends with status
#               2 and the helper starts a new one, whose window comes once
#               the old process has gone and takes the exception times over
#               (needs make_crash_resources as the third argument).
#   freeze      the capture's probe, busy on its main thread with the whole
#               handling on: a freeze box; Escape lets it go on, and the saved
#               report's main thread section shows the busy routine.
#   stuck-calc  the probe with a report section that never ends: its box
#               comes, and 15 s later the helper's watch; its default button
#               ends the probe with SIGKILL.
#   stuck       the handling made to hang (a test hook): after 15 s the
#               helper shows what it has (the last words); its default button
#               closes tolvex with SIGKILL.
#   stuck-restart the same, its restart button (Alt+R): tolvex is killed and
#               started again.
# The programs run from a copy of their folder, so that the helpers counted
# are this test's own.
set -u
BIN=$(realpath "$1")
CASE=$2
TOOL=${3:+$(realpath "$3")}
T=$(mktemp -d /tmp/tolvex-e2e.XXXXXX)
PIDS=()
cleanup() {
    for P in "${PIDS[@]}"; do kill -KILL "$P" 2>/dev/null; done
    pkill -KILL -f "^$T/" 2>/dev/null
    rm -rf "$T"
}
trap cleanup EXIT
fail() {
    echo "FAILED: $*"
    [ -f "$T/err.txt" ] && sed 's/^/  stderr: /' "$T/err.txt"
    exit 1
}

mkdir -p "$T/bin" "$T/home" "$T/run"
chmod 700 "$T/run"
cp "$BIN/tolvex" "$BIN/tolvex-crashreport" "$BIN/vendors.db" "$T/bin/"
cp -r "$BIN/Default" "$BIN/languages" "$T/bin/"
export HOME=$T/home XDG_STATE_HOME=$T/home/state XDG_CONFIG_HOME=$T/home/config \
    XDG_RUNTIME_DIR=$T/run XDG_CACHE_HOME=$T/home/cache
unset SESSION_MANAGER DBUS_SESSION_BUS_ADDRESS
cd "$T" || exit 1
ulimit -c unlimited

# Starts tolvex in the background; its pid in TOLVEX.
start() {
    "$T/bin/tolvex" --portable >"$T/out.txt" 2>"$T/err.txt" &
    TOLVEX=$!
    PIDS+=("$TOLVEX")
}
# The helpers of this test now.
helpers() { pgrep -f "^$T/bin/tolvex-crashreport" | tr '\n' ' '; }
# Waits up to $2 tenths of a second for command $1 to succeed.
wait_for() {
    for _ in $(seq "$2"); do eval "$1" && return 0; sleep 0.1; done
    return 1
}
# The main window of a process: mapped, with its program's title.
main_window() { xdotool search --all --pid "$1" --onlyvisible --name "Tolvex" 2>/dev/null | head -1; }
# Waits for a process to end (up to $2 seconds); its status in STATUS.
wait_end() {
    # The guard's sleep must not hold the test's output open once it is over.
    ( sleep "$2"; kill -KILL "$1" 2>/dev/null ) >/dev/null 2>&1 &
    local Guard=$!
    wait "$1"
    STATUS=$?
    pkill -P "$Guard" 2>/dev/null
    kill "$Guard" 2>/dev/null
}

case $CASE in
close)
    start
    wait_for '[ -n "$(main_window $TOLVEX)" ]' 300 || fail "tolvex shows no window"
    wait_for '[ -n "$(helpers)" ]' 100 || fail "no helper started"
    HELPER=$(helpers)
    HELPER=${HELPER%% *}
    kill -SEGV "$TOLVEX"
    wait_for 'BOX=$(xdotool search --all --pid $HELPER --onlyvisible --name . | head -1); [ -n "$BOX" ]' 200 ||
        fail "no box after SIGSEGV"
    xwininfo -id "$BOX" | grep -q 'Map State: IsViewable' || fail "the box is not mapped"
    xwininfo -root -tree | grep -q "$(printf '0x%x' "$BOX")" || fail "xwininfo does not list the box"
    sleep 1
    xdotool windowfocus --sync "$BOX" key Escape
    wait_end "$TOLVEX" 30
    [ "$STATUS" = 1 ] || fail "tolvex ended with status $STATUS, not 1"
    REPORT=$T/home/state/tolvex/bugreport.kbr
    [ -f "$REPORT" ] || fail "no report in $XDG_STATE_HOME/tolvex"
    grep -Eq '^exception class +: SIGSEGV' "$REPORT" || fail "the report names no SIGSEGV"
    grep -Eq "^main thread \(\\\$$(printf '%x' "$TOLVEX")\)" "$REPORT" ||
        fail "no section of the main thread"
    sed -n '/^modules:/,/^$/p' "$REPORT" | grep -q 'libQt6Core' || fail "libQt6Core is no module"
    sed -n '/^processes:/,/^$/p' "$REPORT" | grep -Eq "^0*$(printf '%x' "$TOLVEX") +tolvex " ||
        fail "tolvex is not among the processes"
    SCREEN=$(xdpyinfo | awk '/dimensions:/ { print $2; exit }')
    DEPTH=$(xdpyinfo | awk '/depth of root window:/ { print $5; exit }')
    grep -Eq "^display mode +: $SCREEN, $DEPTH bit" "$REPORT" ||
        fail "display mode is not $SCREEN, $DEPTH bit: $(grep '^display mode' "$REPORT")"
    wait_for '[ -z "$(helpers)" ]' 100 || fail "the helper still runs"
    ls "$T"/core* >/dev/null 2>&1 && fail "a core was left"
    ;;
no-helper)
    mv "$T/bin/tolvex-crashreport" "$T/bin/away"
    start
    wait_for '[ -n "$(main_window $TOLVEX)" ]' 300 || fail "tolvex shows no window"
    kill -SEGV "$TOLVEX"
    wait_end "$TOLVEX" 60
    [ "$STATUS" = 1 ] || fail "tolvex ended with status $STATUS, not 1"
    REPORT=$T/home/state/tolvex/bugreport.kbr
    [ -f "$REPORT" ] || fail "no report without the helper"
    grep -Eq '^exception class +: SIGSEGV' "$REPORT" || fail "the report names no SIGSEGV"
    [ "$(grep -c 'kelExcept' "$T/err.txt")" = 1 ] || fail "not one line of the crash reporter"
    grep -q "kelExcept: SIGSEGV: the bug report is saved in $REPORT" "$T/err.txt" ||
        fail "the line does not name the report"
    ;;
hand-over)
    start
    FIRST=$TOLVEX
    wait_for '[ -n "$(main_window $FIRST)" ]' 300 || fail "tolvex shows no window"
    wait_for '[ -n "$(helpers)" ]' 100 || fail "no helper started"
    BEFORE=$(helpers)
    "$T/bin/tolvex" --portable >"$T/out2.txt" 2>"$T/err2.txt" &
    SECOND=$!
    PIDS+=("$SECOND")
    wait_end "$SECOND" 30
    [ "$STATUS" = 0 ] || fail "the second start ended with $STATUS"
    sleep 1
    [ "$(helpers)" = "$BEFORE" ] || fail "helpers $BEFORE became $(helpers)"
    kill -0 "$FIRST" || fail "the first instance has gone"
    kill -TERM "$FIRST"
    wait_end "$FIRST" 30
    [ "$STATUS" = 0 ] || fail "the first instance ended with $STATUS after SIGTERM"
    ;;
dormant)
    objcopy --remove-section .rsrc.10.TKELEXCEPT "$T/bin/tolvex" || fail "objcopy"
    start
    wait_for '[ -n "$(main_window $TOLVEX)" ]' 300 || fail "tolvex shows no window"
    sleep 2
    [ -z "$(helpers)" ] || fail "a dormant tolvex started a helper"
    grep -l '^kelExcept' /proc/"$TOLVEX"/task/*/comm 2>/dev/null &&
        fail "a dormant tolvex runs threads of the crash reporter"
    kill -TERM "$TOLVEX"
    wait_end "$TOLVEX" 30
    [ "$STATUS" = 0 ] || fail "tolvex ended with $STATUS after SIGTERM"
    ;;
restart)
    objcopy --dump-section .rsrc.10.TKELEXCEPT="$T/section" "$T/bin/tolvex" "$T/scratch" ||
        fail "objcopy --dump-section"
    "$TOOL" decode "$T/section" >"$T/settings.txt" || fail "decode"
    printf 'AutoRestart = 1\nGnShowCfg = 3\n' >>"$T/settings.txt"
    "$TOOL" settings "$T/settings.txt" "$T/section" || fail "settings"
    objcopy --update-section .rsrc.10.TKELEXCEPT="$T/section" "$T/bin/tolvex" ||
        fail "objcopy --update-section"
    start
    OLD=$TOLVEX
    wait_for '[ -n "$(main_window $OLD)" ]' 300 || fail "tolvex shows no window"
    wait_for '[ -n "$(helpers)" ]' 100 || fail "no helper started"
    kill -SEGV "$OLD"
    wait_end "$OLD" 60
    [ "$STATUS" = 2 ] || fail "the old tolvex ended with $STATUS, not 2"
    NEW=
    wait_for 'NEW=$(pgrep -f "^$T/bin/tolvex --portable" | head -1); [ -n "$NEW" ]' 300 ||
        fail "no new tolvex"
    PIDS+=("$NEW")
    [ "$NEW" != "$OLD" ] || fail "the same process"
    wait_for '[ -n "$(main_window $NEW)" ]' 300 || fail "the new tolvex shows no window"
    # It was told the old process and the file of the exception times, and
    # took the times over (the file is read and removed).
    ENVIRON=$(tr '\0' '\n' <"/proc/$NEW/environ")
    grep -qx "TOLVEX_CRASH_RESTARTED=$OLD" <<<"$ENVIRON" || fail "not told the old process"
    TIMES=$(sed -n 's/^TOLVEX_CRASH_TIMES=//p' <<<"$ENVIRON")
    [ -n "$TIMES" ] || fail "no file of exception times"
    wait_for '[ ! -e "$TIMES" ]' 100 || fail "the exception times were not taken over"
    kill -TERM "$NEW"
    ;;
freeze)
    export PROBE_FULL_HANDLING=1 PROBE_BUSY_MS=60000
    "$BIN/crashreport_probe" freeze >"$T/out.txt" 2>"$T/err.txt" &
    PROBE=$!
    PIDS+=("$PROBE")
    wait_for 'HELPER=$(pgrep -P $PROBE | head -1); [ -n "$HELPER" ]' 100 || fail "no helper started"
    wait_for 'grep -q busy "$T/out.txt"' 100 || fail "the probe was never busy"
    wait_for 'BOX=$(xdotool search --all --pid $HELPER --onlyvisible --name . | head -1); [ -n "$BOX" ]' 200 ||
        fail "no freeze box"
    sleep 1
    xdotool windowfocus --sync "$BOX" key Escape
    wait_for 'REPORT=$(find "$T/home" -name "*.kbr" | head -1); [ -n "$REPORT" ]' 300 ||
        fail "no report saved"
    sleep 1
    sed -n '/^main thread/,/^$/p' "$REPORT" | grep -q 'ProbeBusy' ||
        fail "the main thread's section does not show the busy routine"
    kill -0 "$PROBE" || fail "the frozen probe did not go on"
    ;;
stuck-calc)
    export PROBE_FULL_HANDLING=1 PROBE_STALLING_PLUGIN=1
    "$BIN/crashreport_probe" idle >"$T/out.txt" 2>"$T/err.txt" &
    PROBE=$!
    PIDS+=("$PROBE")
    wait_for 'HELPER=$(pgrep -P $PROBE | head -1); [ -n "$HELPER" ]' 100 || fail "no helper started"
    wait_for 'grep -q ready "$T/out.txt"' 100 || fail "the probe was never ready"
    kill -SEGV "$PROBE"
    SENT=$(date +%s)
    wait_for '[ -n "$(xdotool search --all --pid $HELPER --onlyvisible --name . | head -1)" ]' 200 ||
        fail "no box"
    wait_for 'WATCH=$(xdotool search --all --pid $HELPER --onlyvisible --name "^tolvex-crashreport$" | head -1); [ -n "$WATCH" ]' 300 ||
        fail "the helper's watch did not come within 30 s"
    WAITED=$(($(date +%s) - SENT))
    [ "$WAITED" -ge 14 ] || fail "the watch came after $WAITED s, not 15"
    xdotool windowfocus --sync "$WATCH" key Return
    wait_end "$PROBE" 30
    [ "$STATUS" = 137 ] || fail "the probe ended with $STATUS, not by SIGKILL"
    ;;
stuck | stuck-restart)
    export TOLVEX_CRASH_TEST_STALL_MS=120000
    start
    wait_for '[ -n "$(main_window $TOLVEX)" ]' 300 || fail "tolvex shows no window"
    wait_for '[ -n "$(helpers)" ]' 100 || fail "no helper started"
    HELPER=$(helpers)
    HELPER=${HELPER%% *}
    kill -SEGV "$TOLVEX"
    SENT=$(date +%s)
    wait_for 'BOX=$(xdotool search --all --pid $HELPER --onlyvisible --name . | head -1); [ -n "$BOX" ]' 300 ||
        fail "the helper showed nothing within 30 s"
    WAITED=$(($(date +%s) - SENT))
    [ "$WAITED" -ge 14 ] || fail "the helper did not wait 15 s, only $WAITED"
    kill -0 "$TOLVEX" || fail "tolvex ended on its own"
    if [ "$CASE" = stuck ]; then
        xdotool windowfocus --sync "$BOX" key Return
    else
        xdotool windowfocus --sync "$BOX" key alt+r
    fi
    wait_end "$TOLVEX" 30
    [ "$STATUS" = 137 ] || fail "tolvex ended with $STATUS, not by SIGKILL"
    if [ "$CASE" = stuck-restart ]; then
        NEW=
        wait_for 'NEW=$(pgrep -f "^$T/bin/tolvex --portable" | head -1); [ -n "$NEW" ]' 300 ||
            fail "no new tolvex"
        PIDS+=("$NEW")
        wait_for '[ -n "$(main_window $NEW)" ]' 300 || fail "the new tolvex shows no window"
        kill -TERM "$NEW"
    else
        wait_for '[ -z "$(helpers)" ]' 100 || fail "the helper still runs"
    fi
    ;;
*)
    echo "usage: e2e_tolvex.sh <bin folder> close|no-helper|hand-over|dormant|restart|freeze|stuck-calc|stuck|stuck-restart [make_crash_resources]"
    exit 2
    ;;
esac
echo "passed: $CASE"
