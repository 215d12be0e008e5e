#!/bin/sh
# Captures how a stock mDNS responder (Debian's avahi-daemon) answers our discovery
# query, into tests/data/avahi-reply.bin. Needs root and the avahi-daemon package.
#
#   tests/data/capture-avahi-reply.sh [OUTPUT]
#
# Everything happens in private namespaces: tools/netns-run gives a private network
# (loopback and a veth pair, nothing reaches the machine's network), unshare -m -u a
# private mount table and host name. In there a scratch folder is mounted over
# /etc/avahi/services (one static _nanoleafapi._tcp service) and a tmpfs over /run,
# so the machine's own avahi setup is neither read nor touched. avahi-daemon runs
# without D-Bus, chroot or privilege drop, on the veth only; the query is the 41-byte
# message our scan sends, from an ephemeral port (a legacy unicast query) to
# 255.255.255.255:5353.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=${1:-$here/avahi-reply.bin}

if [ "${PRISMARA_AVAHI_INNER:-}" != 1 ]; then
  command -v avahi-daemon >/dev/null || { echo "avahi-daemon is not installed" >&2; exit 1; }
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  mkdir -p "$work/services"
  cat >"$work/services/nanoleaf.service" <<'XML'
<?xml version="1.0" standalone='no'?>
<service-group>
  <name>Shapes 4F2A</name>
  <service>
    <type>_nanoleafapi._tcp</type>
    <port>16021</port>
    <txt-record>id=12:34:56:78:9A:BC</txt-record>
    <txt-record>md=NL42</txt-record>
    <txt-record>srcvers=9.2.4</txt-record>
  </service>
</service-group>
XML
  cat >"$work/avahi-daemon.conf" <<'CONF'
[server]
host-name=prismara-capture
domain-name=local
use-ipv4=yes
use-ipv6=no
allow-interfaces=v0
enable-dbus=no
ratelimit-interval-usec=1000000
ratelimit-burst=1000
[wide-area]
enable-wide-area=no
[publish]
publish-addresses=yes
publish-hinfo=no
publish-workstation=no
publish-domain=no
[reflector]
enable-reflector=no
[rlimits]
CONF
  PRISMARA_AVAHI_INNER=1 PRISMARA_AVAHI_WORK="$work" \
    "$root/tools/netns-run" unshare -m -u --propagation private -- "$0" "$out"
  exit $?
fi

# Inside the private namespaces.
work=$PRISMARA_AVAHI_WORK
hostname prismara-capture
mount --bind "$work/services" /etc/avahi/services
mount -t tmpfs tmpfs /run
mkdir -p /run/avahi-daemon
avahi-daemon --no-drop-root --no-chroot --no-rlimits --debug -f "$work/avahi-daemon.conf" \
  >"$work/avahi.log" 2>&1 &
daemon=$!
status=0
python3 - "$out" <<'PY' || status=$?
import select, socket, sys, time
query = bytes.fromhex("000000000001000000000000") + b"\x0c_nanoleafapi\x04_tcp\x05local\x00" + bytes.fromhex("000c0001")
assert len(query) == 41
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
deadline = time.monotonic() + 20
while time.monotonic() < deadline:
    # The daemon answers once it has finished probing its names; ask once a second.
    s.sendto(query, ("255.255.255.255", 5353))
    ready, _, _ = select.select([s], [], [], 1.0)
    if ready:
        data, peer = s.recvfrom(9000)
        if b"_nanoleafapi" in data:
            open(sys.argv[1], "wb").write(data)
            print("captured %d bytes from %s:%d, flags 0x%02x%02x" % (len(data), peer[0], peer[1], data[2], data[3]))
            sys.exit(0)
print("no answer from avahi-daemon", file=sys.stderr)
sys.exit(1)
PY
kill "$daemon" 2>/dev/null || true
wait "$daemon" 2>/dev/null || true
if [ "$status" != 0 ]; then
  cat "$work/avahi.log" >&2
fi
exit "$status"
