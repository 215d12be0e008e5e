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

# Debian: "wine" gives the wine and wineserver commands, "wine64" the loader behind them.
if ! command -v wine >/dev/null 2>&1; then
  echo "run-windows-tests.sh: no Wine found (apt-get install wine64 wine)" >&2
  exit 2
fi
wine=wine
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

cleanup() {
  # Only what this script started: its simulator and the Wine
  # processes of its own prefix.
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
  [ -n "$sim_pid" ] && wait "$sim_pid" 2>/dev/null
  "$wineserver" -k 2>/dev/null
  "$wineserver" -w 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

pass() { passed=$((passed + 1)); echo "PASS $1"; }
fail() { failed=$((failed + 1)); echo "FAIL $1"; }
elapsed() { echo $(($(date +%s) - started)); }

# One program's checks: its PASS/FAIL lines and its closing count. A program that
# ends without the count (crash, time-out) is one failure; so is a non-zero exit
# with no failed check.
run_program() {
  name=$1
  shift
  timeout 120 "$wine" "$bin/$name.exe" "$@" > "$work/$name.out" 2> "$work/$name.err"
  code=$?
  tr -d '\r' < "$work/$name.out" > "$work/$name.txt"
  grep -v -E '^[0-9]+ passed, [0-9]+ failed$' "$work/$name.txt"
  summary=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$work/$name.txt" | tail -n 1)
  if [ -z "$summary" ]; then
    fail "$name: ended without its summary (exit code $code)"
    sed 's/^/     stderr: /' "$work/$name.err" | tail -n 20
    return
  fi
  p=$(echo "$summary" | cut -d' ' -f1)
  f=$(echo "$summary" | cut -d' ' -f3)
  passed=$((passed + p))
  failed=$((failed + f))
  if [ "$code" -ne 0 ] && [ "$f" -eq 0 ]; then
    fail "$name: exit code $code"
  fi
  echo "     $name: $summary ($(elapsed) s so far)"
}

# --- Wine prefix ------------------------------------------------------------
# Every step waits for the prefix's processes to end: wineboot goes on updating
# the prefix after it returns, and a desktop process started before the display
# driver was switched would keep the old (absent) one for the whole session.
if timeout 180 "$wine" wineboot -i > "$work/wineboot.log" 2>&1 \
  && timeout 60 "$wineserver" -w \
  && timeout 60 "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f > "$work/reg.log" 2>&1 \
  && timeout 60 "$wineserver" -w; then
  pass "setup: Wine prefix initialised with the null display driver ($(elapsed) s)"
  # One wineserver for the whole run: left to itself it exits a few seconds after
  # each program, and a program started while it goes down loses its connection
  # ("wine client error: recvmsg"). cleanup() ends it.
  "$wineserver" -p
else
  fail "setup: Wine prefix could not be initialised"
  tail -n 20 "$work/wineboot.log" "$work/reg.log" 2>/dev/null
  echo "$passed passed, $failed failed"
  exit 1
fi


# The fuzz corpora of the Qt-free formats, replayed through their targets.
for replay in "$build"/tests/replay_*.exe; do
  [ -e "$replay" ] || continue
  name=$(basename "$replay" .exe)
  if timeout 120 "$wine" "$replay" > "$work/$name.out" 2>&1; then
    pass "$name: $(tr -d '\r' < "$work/$name.out" | tail -n 1)"
  else
    fail "$name: exit code $?"
    tr -d '\r' < "$work/$name.out" | tail -n 20 | sed 's/^/     /'
  fi
done

# --- The simulated devices ----------------------------------------------------
light="Light Panels 52:33:A1"
canvas="Canvas 1F:2B:3C"
cat > "$work/devices.json" <<EOF
{"devices": [
  {"name": "$light", "ip": "127.0.0.2", "model": "NL22", "panels": [82, 15, 200]},
  {"name": "$canvas", "ip": "127.0.0.3", "model": "NL29", "panels": [1234, 7]}
]}
EOF
"$sim" --config "$work/devices.json" --headless --control 127.0.0.1:0 --ready-file "$work/ready" \
  --die-with-parent > "$work/sim.log" 2>&1 &
sim_pid=$!
tries=0
while [ ! -s "$work/ready" ] && [ "$tries" -lt 100 ] && kill -0 "$sim_pid" 2>/dev/null; do
  sleep 0.2
  tries=$((tries + 1))
done
control=$(head -n 1 "$work/ready" 2>/dev/null)
if [ -z "$control" ]; then
  fail "setup: nanoleaf-sim did not get ready"
  tail -n 20 "$work/sim.log"
else
  pass "setup: nanoleaf-sim ready, control interface $control"

  run_program tst_windows "$light@127.0.0.2" "$canvas@127.0.0.3"
fi

echo "     total time $(elapsed) s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
