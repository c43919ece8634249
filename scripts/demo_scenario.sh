#!/usr/bin/env bash
# demo_scenario: the typical road of a logon while a distribution runs, played under Wine
# with the five deliverables, the substitute job queue and the two stand-ins.
# Every simulated user gets a Wine desktop of their own, so that one user's
# logoff ends only that user's programs. Exits non-zero when a step does not
# behave as described.
set -uo pipefail
source "$(dirname "$0")/env.sh"
export WINEPREFIX=$BUILD_DIR/demoprefix
DEMO_OUT=$BUILD_DIR/demo
BIN=$RUN_PRODUCT_BUILD/bin
DRIVE_C=$WINEPREFIX/drive_c
KVD='C:\KVD'                                        # the stand-ins and the demo's tools
PROGRAMS='C:\Program Files\Orvane KVDNotification'  # where the MSI installs the package
MSI=$RUN_PRODUCT_BUILD/installer/KVDNotification.msi
MSI_WIN="Z:${MSI//\//\\}"
HOLD_FILE=$DEMO_OUT/distribution-running
export XEP_DATDIR='C:\endpoint\dat'
started=$(date +%s)

# ---- helpers ----
# Output goes through a file: a program the library starts (donemsg) inherits the
# standard handles and would hold a pipe open while its message box waits.
win() {
    local output
    output=$(mktemp)
    wine "$@" </dev/null >"$output" 2>/dev/null
    local status=$?
    tr -d '\r' <"$output"
    rm -f "$output"
    return $status
}
driver() { win "$KVD\\demo_driver.exe" "$@"; }
value() { driver value "$1" "$2"; }
job_state() { win "$KVD\\queuetool.exe" list | awk -v id="$1" '$2 == id {print $4; found=1} END {if (!found) print "(gone)"}'; }
say() { printf '%s\n' "$*"; }
fail() { say "DEMO FAILED: $*"; exit 1; }
expect() {   # expect WHAT ACTUAL EXPECTED
    if [ "$2" != "$3" ]; then fail "$1: expected '$3', got '$2'"; fi
}
screenshot() {   # screenshot NAME X-WINDOW-NAME|root
    local file=$DEMO_OUT/$1.png
    sleep 1   # let the window paint
    if [ "$2" = root ]; then
        timeout 20 import -display "$DISPLAY" -window root "$file" 2>/dev/null
    else
        # The users' desktops lie on top of each other: raise this one first.
        local window
        window=$(xdotool search --name "^$2 - Wine desktop\$" | head -1)
        [ -n "$window" ] && xdotool windowraise "$window" && sleep 0.5
        timeout 20 import -display "$DISPLAY" -window "${window:-root}" "$file" 2>/dev/null
    fi
    [ -s "$file" ] || fail "no screenshot $file"
    say "  screenshot: $file"
}
start_user_desktop() {   # start_user_desktop USER: popctl starts in the user's logon
    (wine explorer "/desktop=$1,800x600" "$PROGRAMS\\popctl.exe" </dev/null >/dev/null 2>&1 &)
}
show_state() {
    say "  state:"
    driver state
    say "  job queue:"
    win "$KVD\\queuetool.exe" list | sed 's/^/    /'
}
step() { say ""; say "== $* =="; }

# ---- a clean endpoint ----
prepare_endpoint() {
    mkdir -p "$BUILD_DIR" "$DEMO_OUT"
    rm -f "$DEMO_OUT"/*.png "$HOLD_FILE"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        say "demo: creating the Wine prefix $WINEPREFIX"
        WINEDLLOVERRIDES="mscoree,mshtml=" wineboot --init >/dev/null 2>&1
        wineserver -w
    fi
    wineserver -k >/dev/null 2>&1   # no program of an earlier run survives
    wineserver -p >/dev/null 2>&1
    kvd_wine_prefix_look
    wine cmd /c exit </dev/null >/dev/null 2>&1
    # A package left by an earlier run goes first, even if a plan was running then.
    win msiexec /x "$MSI_WIN" /qn FORCE_REMOVE=1 >/dev/null
    rm -rf "$DRIVE_C/KVD" "$DRIVE_C/endpoint"
    mkdir -p "$DRIVE_C/KVD" "$DRIVE_C/endpoint/bin" "$DRIVE_C/endpoint/cache" "$DRIVE_C/endpoint/dat"
    cp "$BIN"/{logon_standin.exe,engine_standin.exe,queuetool.exe,demo_driver.exe} "$DRIVE_C/KVD/"
    cp "$BIN"/lib{kfr60,vqcore,zpl60,qprop60,qmob60}.dll "$DRIVE_C/endpoint/bin/"
    say "  msiexec /i KVDNotification.msi XEP_BINDIR=C:\endpoint\bin XEP_CACHEDIR=C:\endpoint\cache XEP_DATDIR=C:\endpoint\dat"
    win msiexec /i "$MSI_WIN" /qn 'XEP_BINDIR=C:\endpoint\bin' 'XEP_CACHEDIR=C:\endpoint\cache' \
        'XEP_DATDIR=C:\endpoint\dat' || fail "msiexec /i failed"
    [ -f "$DRIVE_C/Program Files/Orvane KVDNotification/KVDnotificationLibrary.dll" ] \
        || fail "the package is not installed in $PROGRAMS"
    expect "upcall program" "$(value upcall UpcallProgram)" "\"$PROGRAMS\\jobupcall.exe\""
    # The handlers may wait for upcalls and the resume loop retries for as long as
    # a resume fails: the logon process must call them on threads of its own.
    expect "notification package asynchronous" \
        "$(win reg query 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\Winlogon\Notify\KVDNotification' /v Asynchronous | awk '/Asynchronous/ {print $3}')" 0x1
    # Under Wine a desktop of its own is never shown (switching to it has no
    # effect), so the deny popup appears on the user's desktop instead.
    say "  configuration written by ntfcfg:"
    win "$PROGRAMS\\ntfcfg.exe" -s -e true -x 1 -y 'C:\KVD\kvd_trace.log' -c true -w true -P 1 -G 30 -t 0 -s false \
        | sed 's/^/    /'
    # A repair (or an upgrade) keeps what the administrator set.
    win msiexec /i "$MSI_WIN" /qn REINSTALL=ALL REINSTALLMODE=vomus >/dev/null || fail "msiexec repair failed"
    expect "choice popup timeout kept by a repair" "$(value popctl Timeout)" 30
    rm -f "$DRIVE_C/KVD/kvd_trace.log"*
    # The logon process keeps the library, and with it the shared record, from
    # start-up (its first call) to shutdown.
    (wine "$KVD\\logon_standin.exe" startup sleep 3600000 </dev/null >/dev/null 2>&1 &)
    for _ in $(seq 50); do [ "$(value shared _dwLoggedOn)" = 0 ] && break; sleep 0.2; done
    expect "shared record held by the logon process" "$(value shared _dwLoggedOn)" 0
}

step "0. Installing the package on a clean endpoint (Wine prefix $WINEPREFIX)"
prepare_endpoint

step "1. The engine announces a client and a distribution (logon limit 2, shutdown forbidden)"
touch "$HOLD_FILE"
(wine "$KVD\\engine_standin.exe" --limit 2 --shutdown-disabled 1 --hold-while "Z:${HOLD_FILE//\//\\}" D1 \
    </dev/null >"$DEMO_OUT/engine.log" 2>/dev/null &)
for _ in $(seq 100); do grep -q pauseMeIfNeeded "$DEMO_OUT/engine.log" 2>/dev/null && break; sleep 0.2; done
say "  engine:"; tr -d '\r' <"$DEMO_OUT/engine.log" | sed 's/^/    /'
grep -q 'pauseMeIfNeeded D1 kind=1 limit=2 shutdownDisabled=1: 2' "$DEMO_OUT/engine.log" \
    || fail "pauseMeIfNeeded must answer 2 (nobody logged on)"
show_state
expect "logon budget" "$(value main _maxLoginAllowed)" 2
expect "shutdown vetoed" "$(value popctl _isActive)" 1
expect "job D1 in the queue" "$(job_state D1)" 0

step "2. alice logs on alone"
say "  logon process: $(win "$KVD\\logon_standin.exe" logon alice | head -1)"
start_user_desktop alice
driver --desktop alice wait-caption KVDNotification 15000 >/dev/null || fail "alice sees no remaining-logons message"
say "  alice sees: $(driver --desktop alice text KVDNotification 65535 | tr '\n' ' ')"
screenshot 2-alice-remaining-logons alice
driver --desktop alice press KVDNotification 1
driver --desktop alice wait-popctl 10000 >/dev/null || fail "alice's popctl does not run"
show_state
expect "logons counted" "$(value shared _dwLoggedOn)" 1
expect "logon budget" "$(value main _maxLoginAllowed)" 1
expect "paused list" "$(value main _pausedQueue)" "[localhost|D1|1]"
expect "job D1 paused in the queue" "$(job_state D1)" 1
expect "deny marker" "$(value popctl _popupType)" "(none)"

step "3. bob logs on (allowed, budget down to 0), then carol (refused)"
say "  logon process: $(win "$KVD\\logon_standin.exe" logon bob | head -1)"
start_user_desktop bob
driver --desktop bob wait-caption KVDNotification 15000 >/dev/null || fail "bob sees no remaining-logons message"
say "  bob sees: $(driver --desktop bob text KVDNotification 65535 | tr '\n' ' ')"
driver --desktop bob press KVDNotification 1
driver --desktop bob wait-popctl 10000 >/dev/null || fail "bob's popctl does not run"
expect "logon budget after bob" "$(value main _maxLoginAllowed)" 0
say "  logon process: $(win "$KVD\\logon_standin.exe" logon carol | head -1)"
expect "deny marker for carol" "$(value popctl _popupType)" 0
start_user_desktop carol
driver --desktop carol wait-caption "Palvento Notification Message" 15000 >/dev/null \
    || fail "carol sees no deny popup"
say "  carol sees: $(driver --desktop carol text "Palvento Notification Message" 1000 | tr '\n' ' ')"
screenshot 3-carol-deny-popup carol
driver --desktop carol press "Palvento Notification Message" 1
# popctl logs carol off: her desktop and every program on it end, alice's and bob's stay.
for _ in $(seq 50); do driver --desktop carol wait-popctl 0 >/dev/null || break; sleep 0.2; done
driver --desktop carol wait-popctl 0 >/dev/null && fail "carol was not logged off"
driver --desktop alice wait-popctl 0 >/dev/null || fail "carol's logoff ended alice's popctl"
say "  carol is logged off; alice's and bob's programs still run"
say "  logon process: $(win "$KVD\\logon_standin.exe" logoff carol | head -1)"
show_state
expect "logons counted after carol's logoff" "$(value shared _dwLoggedOn)" 2
say "  what an administrator reads (ntfcfg -q):"
status=$(win "$PROGRAMS\\ntfcfg.exe" -q)
printf '%s\n' "$status" | sed 's/^/    /'
expect "status: the plan" "$(printf '%s\n' "$status" | sed -n 's/^Distribution plan: *//p')" \
    "running, no logons left: a new logon is refused"
expect "status: paused" "$(printf '%s\n' "$status" | sed -n 's/^Paused distributions: *//p')" \
    "D1 (logons left when it was paused: 1)"


step "4. alice asks for a shutdown"
say "  system: $(driver --desktop alice query-end-session shutdown)"
driver --desktop alice wait-caption "Palvento Notification Message (" 10000 >/dev/null || fail "alice sees no choice popup"
say "  alice sees: $(driver --desktop alice text "Palvento Notification Message (" 1002 | tr '\n' ' ')"
screenshot 4-alice-choice-popup alice
say "  alice $(driver --desktop alice choose "Palvento Notification Message (" 1)"
for _ in $(seq 50); do driver --desktop alice wait-popctl 0 >/dev/null || break; sleep 0.2; done
driver --desktop alice wait-popctl 0 >/dev/null && fail "alice was not logged off"
expect "shutdown at completion asked" "$(value shared _shutdownWhenComplete)" 1
driver --desktop bob wait-popctl 0 >/dev/null || fail "alice's logoff ended bob's popctl"
say "  logon process: $(win "$KVD\\logon_standin.exe" logoff alice | head -1)"
driver wait-caption KVDNotification 15000 >/dev/null || fail "no shutdown message from donemsg"
say "  donemsg shows: $(driver text KVDNotification 65535 | tr '\n' ' ')"
screenshot 4-donemsg-shutdown-message root
driver press KVDNotification 1
driver wait-gone KVDNotification 5000 || fail "the shutdown message stays open"
show_state
expect "logons counted" "$(value shared _dwLoggedOn)" 1
expect "job D1 still paused" "$(job_state D1)" 1

step "5. Everybody logs off; the engine ends the client"
say "  system: $(driver --desktop bob query-end-session logoff)"
say "  logon process: $(win "$KVD\\logon_standin.exe" logoff bob | head -1)"
expect "logons counted" "$(value shared _dwLoggedOn)" 0
expect "job D1 resumed in the queue" "$(job_state D1)" 0
expect "paused list" "$(value main _pausedQueue)" "(none)"
# Shutdown at completion is still asked for, so the last logoff shows the message again.
driver wait-caption KVDNotification 15000 >/dev/null && driver press KVDNotification 1
rm -f "$HOLD_FILE"
for _ in $(seq 100); do grep -q decreaseRunningClients "$DEMO_OUT/engine.log" && break; sleep 0.2; done
say "  engine:"; tr -d '\r' <"$DEMO_OUT/engine.log" | tail -4 | sed 's/^/    /'
show_state
expect "logon budget" "$(value main _maxLoginAllowed)" -2
expect "shutdown vetoed" "$(value popctl _isActive)" 0
expect "running clients" "$(value main _runningClients)" 0
trace=$(ls "$DRIVE_C"/KVD/kvd_trace.log* | head -1)
grep -q "InitiateSystemShutdown invoked successfully" "$trace" || fail "the shutdown at completion did not start"
say "  library trace: shutdown at completion started (InitiateSystemShutdown has no effect under Wine)"

wineserver -k >/dev/null 2>&1
say ""
say "demo: every step behaved as described ($(( $(date +%s) - started )) s); screenshots in $DEMO_OUT"
