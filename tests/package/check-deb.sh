#!/usr/bin/env bash
# The Debian package as a user gets it, never installed into the system: built with CPack from
# a build folder, unpacked with dpkg-deb, its file list and metadata checked, lintian run, and
# both commands started from the unpacked tree (the relay carries one connection on loopback).
#   tests/package/check-deb.sh [build-folder]   (default: build)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "${1:-$here/../../build}")
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package: FAIL: $*"; exit 1; }
step() { echo "package: $*"; }

# wait_line FILE PATTERN: waits up to 10 s for a line matching PATTERN; prints it.
wait_line() {
  for _ in $(seq 100); do
    if grep -m1 -E "$2" "$1"; then return 0; fi
    sleep 0.1
  done
  return 1
}

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { tail -20 "$work/cpack.log"; fail "cpack"; }
deb=$(echo "$work"/out/kova_*.deb)
[[ -f $deb ]] || fail "cpack wrote no kova_*.deb"
version=$(dpkg-deb -f "$deb" Version)
step "built $(basename "$deb") ($(dpkg-deb -f "$deb" Depends))"

# Exactly the expected files, from the package and from a plain cmake --install alike.
dpkg-deb -x "$deb" "$work/root"
(cd "$work/root" && find . ! -type d -printf '%P\n' | LC_ALL=C sort) >"$work/files"
LC_ALL=C sort "$here/expected-files.txt" | diff -u - "$work/files" || fail "the package's file list differs"
cmake --install "$build" --prefix "$work/prefix/usr" >/dev/null
(cd "$work/prefix" && find . ! -type d -printf '%P\n' | LC_ALL=C sort) >"$work/installed"
diff -u "$work/files" "$work/installed" || fail "cmake --install puts other files than the package"
step "file list as expected (${version})"

share=$work/root/usr/share
desktop-file-validate "$share"/applications/*.desktop || fail "desktop-file-validate"
appstreamcli validate --no-net "$share"/metainfo/*.metainfo.xml >"$work/as.log" 2>&1 ||
  { cat "$work/as.log"; fail "appstreamcli validate"; }
grep -q "<release version=\"$version\"" "$share"/metainfo/*.metainfo.xml || fail "metainfo lacks release $version"
# Errors fail the check; warnings are printed for the reader.
lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1 || { cat "$work/lintian.log"; fail "lintian reports errors"; }
grep -v 'running with root privileges' "$work/lintian.log" || true
step "desktop entry, metainfo and lintian pass"

bin=$work/root/usr/bin
# The unit names the program where the package puts it (its own checks are in the command table).
grep -qx 'ExecStart=/usr/bin/kova-relay --config ${CREDENTIALS_DIRECTORY}/kova.conf' \
  "$work/root/usr/lib/systemd/system/kova-relay@.service" || fail "the service unit does not start /usr/bin/kova-relay"
[[ $("$bin/kova-relay" --version) == "kova-relay $version" ]] || fail "kova-relay --version"
[[ $(QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work" "$bin/kova" --version) == "kova $version" ]] ||
  fail "kova --version"

# One relayed connection, loopback only: a one-shot echo target, the unpacked relay, a client.
python3 -u -c '
import socket, sys
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(1); s.settimeout(20)
print("echo", s.getsockname()[1])
c, _ = s.accept(); c.settimeout(20)
while True:
    d = c.recv(4096)
    if not d: break
    c.sendall(d)
c.close()
' >"$work/echo.log" &
pids+=($!)
echo_port=$(wait_line "$work/echo.log" '^echo [0-9]+$' | cut -d' ' -f2) || fail "the echo target did not start"
"$bin/kova-relay" --listen-address 127.0.0.1 --port 0 --servers "127.0.0.1:$echo_port" >"$work/relay.log" 2>&1 &
relay=$!
pids+=($relay)
read -r _ addr port < <(wait_line "$work/relay.log" '^listening ') || { cat "$work/relay.log"; fail "kova-relay did not listen"; }
[[ $addr == 127.* ]] || fail "kova-relay listens on $addr, not on loopback: refusing to connect"
reply=$(python3 -c '
import socket, sys
c = socket.create_connection((sys.argv[1], int(sys.argv[2])), timeout=20)
c.sendall(b"kova package check\n"); c.shutdown(socket.SHUT_WR)
data = b""
while True:
    d = c.recv(4096)
    if not d: break
    data += d
sys.stdout.write(data.decode())
' "$addr" "$port") || fail "the client through kova-relay failed"
[[ $reply == "kova package check" ]] || fail "relayed reply was '$reply'"
kill -TERM "$relay"
wait "$relay" || fail "kova-relay did not end cleanly on SIGTERM"
step "unpacked kova-relay relayed one connection via $addr:$port; both commands print $version"
echo "package: 1 passed, 0 failed"
