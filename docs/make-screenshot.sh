#!/bin/sh
# Makes docs/screenshot-paired.png: Xvfb, the simulator window and the tool in a
# private network; clicks SEARCH, a row and PAIR twice with xdotool, then plays a
# rainbow with host-sim. Needs xvfb, xdotool and imagemagick.
#   tools/netns-run docs/make-screenshot.sh
set -u
cd "$(dirname "$0")/.."
export XDG_CONFIG_HOME=$(mktemp -d)
export PRISMARA_HOST_SOCKET=$XDG_CONFIG_HOME/host.sock
Xvfb :77 -screen 0 1400x680x24 >/dev/null 2>&1 &
xpid=$!
sleep 1
export DISPLAY=:77
build/bin/nanoleaf-sim --window --control 127.0.0.1:8765 \
  --device "Light Panels 52:33:A1@127.0.0.2:NL22:82,15,200,31,77,140:pairing" \
  --device "Canvas 1F:2B:3C@127.0.0.3:NL29:1234,7,4660,22136:pairing" >/tmp/ct-sim.log 2>&1 &
spid=$!
sleep 2
build/bin/prismara-nanoleaf-tool >/tmp/ct-tool.log 2>&1 &
tpid=$!
sleep 2
wid=$(xdotool search --name "Prismara Nanoleaf Tool" | head -1)
xdotool windowmove $wid 960 20
sleep 0.5
# SEARCH at (60,57) in window coords
xdotool mousemove --window $wid 60 57 click 1
sleep 7
# row 0 (Canvas) at table y ~ 95+45, then PAIR
xdotool mousemove --window $wid 100 137 click 1; sleep 0.3
xdotool mousemove --window $wid 150 57 click 1; sleep 2
# row 1 (Light) then PAIR
xdotool mousemove --window $wid 100 165 click 1; sleep 0.3
xdotool mousemove --window $wid 150 57 click 1; sleep 3
# the test sender: random frames once a second
build/bin/host-sim --rainbow --rate 30 --duration 3 --quiet >/tmp/ct-host.log 2>&1
sleep 0.5
import -window root docs/screenshot-paired.png
kill $tpid $spid; sleep 0.5; kill $xpid
