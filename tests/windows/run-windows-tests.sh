#!/bin/sh
# Runs the cross-built Windows test programs under Wine inside the private test
# network (start it through tools/netns-run: the scan broadcasts and the simulator
# binds fixed ports), in a throw-away Wine prefix with Wine's null display driver.
#
#   tools/netns-run tests/windows/run-windows-tests.sh WIN_BUILD_DIR NANOLEAF_SIM
#
# Prints every check, then "N passed, N failed"; exits 0 only when nothing failed.
set -u

if [ "$#" -ne 2 ]; then
  echo "usage: run-windows-tests.sh WIN_BUILD_DIR NANOLEAF_SIM" >&2
  exit 2
fi
build=$(cd "$1" && pwd) || exit 2
bin=$build/tests/windows
sim=$2
if [ "${PRISMARA_IN_NETNS:-}" != 1 ]; then
  echo "run-windows-tests.sh: start it through tools/netns-run (it broadcasts and binds fixed ports)" >&2
  exit 2
fi
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)

work=$(mktemp -d /tmp/prismara-wine.XXXXXX) || exit 2
export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono / Gecko installer prompts
unset DISPLAY WAYLAND_DISPLAY
sim_pid=""
passed=0
failed=0
started=$(date +%s)

# Only what this script started: its simulator and the Wine processes of its prefix.
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  "$wineserver" -k 2>/dev/null
  "$wineserver" -w 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

pass() { passed=$((passed + 1)); echo "PASS $1"; }
fail() { failed=$((failed + 1)); echo "FAIL $1"; }
finish() {
  echo "     total time $(($(date +%s) - started)) s"
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
}

# Every step waits for the prefix's processes to end: wineboot goes on updating
# the prefix after it returns, and a desktop process started before the display
# driver was switched would keep the old (absent) one for the whole session.
if timeout 180 wine wineboot -i > "$work/wineboot.log" 2>&1 \
  && timeout 60 "$wineserver" -w \
  && timeout 60 wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f > "$work/reg.log" 2>&1 \
  && timeout 60 "$wineserver" -w; then
  pass "setup: Wine prefix initialised with the null display driver"
  # One wineserver for the whole run: left to itself it exits a few seconds after
  # each program, and a program started while it goes down loses its connection
  # ("wine client error: recvmsg"). cleanup() ends it.
  "$wineserver" -p
else
  fail "setup: Wine prefix could not be initialised"
  tail -n 20 "$work/wineboot.log" "$work/reg.log" 2>/dev/null
  finish
fi

# The fuzz corpora, replayed through their targets.
for replay in "$build"/tests/replay_*.exe; do
  [ -e "$replay" ] || continue
  name=$(basename "$replay" .exe)
  if timeout 120 wine "$replay" > "$work/$name.out" 2>&1; then
    pass "$name: $(tr -d '\r' < "$work/$name.out" | tail -n 1)"
  else
    fail "$name: exit code $?"
    tr -d '\r' < "$work/$name.out" | tail -n 20 | sed 's/^/     /'
  fi
done

light="Light Panels 52:33:A1"
canvas="Canvas 1F:2B:3C"
"$sim" --device "$light@127.0.0.2:NL22:82,15,200" --device "$canvas@127.0.0.3:NL29:1234,7" \
  --headless --control 127.0.0.1:0 --ready-file "$work/ready" --die-with-parent > "$work/sim.log" 2>&1 &
sim_pid=$!
tries=0
while [ ! -s "$work/ready" ] && [ "$tries" -lt 100 ] && kill -0 "$sim_pid" 2>/dev/null; do
  sleep 0.2
  tries=$((tries + 1))
done
if [ ! -s "$work/ready" ]; then
  fail "setup: nanoleaf-sim did not get ready"
  tail -n 20 "$work/sim.log"
  finish
fi

# tst_windows prints a PASS or FAIL line per check; ending otherwise than with its
# failed checks counted (crash, time-out) is one failure more.
timeout 120 wine "$bin/tst_windows.exe" "$light@127.0.0.2" "$canvas@127.0.0.3" \
  > "$work/out" 2> "$work/err"
code=$?
tr -d '\r' < "$work/out" | grep -E '^(PASS|FAIL) '
passed=$((passed + $(tr -d '\r' < "$work/out" | grep -c '^PASS ')))
failed=$((failed + $(tr -d '\r' < "$work/out" | grep -c '^FAIL ')))
if [ "$code" -ne 0 ] && ! grep -q '^FAIL ' "$work/out"; then
  fail "tst_windows: exit code $code"
  sed 's/^/     stderr: /' "$work/err" | tail -n 20
fi
finish
