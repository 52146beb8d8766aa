#!/usr/bin/env bash
# The listener's default address on a desktop whose host name maps to 127.0.1.1, for real: in a
# private network namespace made here (a veth pair with 198.51.100.1, nothing beyond it), the
# relay must listen on 198.51.100.1 and relay a client there to a loopback target.
# Usage: own_address.sh KOVA_RELAY
set -euo pipefail
relay=$1
if [[ -z ${KOVA_IN_NETNS:-} ]]; then
  # Refused unshare fails the test: it is never skipped.
  exec unshare --net --mount --uts env KOVA_IN_NETNS=1 bash "$0" "$@"
fi
fail() { echo "own_address: $*" >&2; exit 1; }

ip link add kova0 type veth peer name kova1
ip addr add 198.51.100.1/24 dev kova0
ip link set lo up && ip link set kova0 up && ip link set kova1 up
hostname kova-desktop
hosts=$(mktemp)
printf '127.0.0.1 localhost\n127.0.1.1 kova-desktop\n' >"$hosts"
mount --bind "$hosts" /etc/hosts
[[ $(getent hosts kova-desktop | awk '{print $1}') == 127.0.1.1 ]] || fail "host name does not map to 127.0.1.1"

work=$(mktemp -d)
cleanup() { kill "${pids[@]}" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work" "$hosts"; }
pids=()
trap cleanup EXIT

# A loopback echo target inside the namespace.
python3 - "$work/echo.port" <<'PY' &
import socket, sys, threading
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(8)
open(sys.argv[1] + ".tmp", "w").write(str(s.getsockname()[1]))
import os; os.rename(sys.argv[1] + ".tmp", sys.argv[1])
def serve(c):
    while (b := c.recv(65536)): c.sendall(b)
    c.close()
while True:
    c, _ = s.accept(); threading.Thread(target=serve, args=(c,), daemon=True).start()
PY
pids+=($!)
for _ in $(seq 100); do [[ -s $work/echo.port ]] && break; sleep 0.05; done
[[ -s $work/echo.port ]] || fail "echo target did not start"

"$relay" --port 0 --server-text "127.0.0.1:$(cat "$work/echo.port")" >"$work/relay.out" 2>&1 &
pids+=($!)
for _ in $(seq 300); do grep -q '^listening ' "$work/relay.out" && break; sleep 0.05; done
read -r _ address port < <(grep '^listening ' "$work/relay.out") || fail "relay did not listen: $(cat "$work/relay.out")"
[[ $address == 198.51.100.1 ]] || fail "listening on '$address', expected the interface address 198.51.100.1"

got=$(python3 - "$address" "$port" <<'PY'
import socket, sys
c = socket.create_connection((sys.argv[1], int(sys.argv[2])), timeout=5)
c.sendall(b"through the namespace"); c.shutdown(socket.SHUT_WR)
data = b""
while (b := c.recv(65536)): data += b
print(data.decode())
PY
)
[[ $got == "through the namespace" ]] || fail "relayed '$got'"
echo "own_address: listens on $address:$port and relays; 1 passed, 0 failed"
