#!/usr/bin/env bash
# The command lines of kova-relay and kova: help, version and bad arguments are settled before
# anything listens or any window opens; a bad one is one line on stderr and exit 2.
#   commands.sh VERSION KOVA_RELAY [KOVA]
set -uo pipefail
version=$1 relay=$2 kova=${3:-}
work=$(mktemp -d)
relay_pid="" helpers=()
trap '[[ -n $relay_pid ]] && kill "$relay_pid" 2>/dev/null; kill "${helpers[@]}" 2>/dev/null; rm -rf "$work"' EXIT
passed=0 failed=0

# expect RC PATTERN CMD...: exit code RC; PATTERN (grep -E) matches stdout for RC 0, and for
# RC 2 the single line on stderr, with nothing on stdout.
expect() {
  local rc=$1 pattern=$2 got=0 ok=1
  shift 2
  timeout 10 "$@" >"$work/out" 2>"$work/err" || got=$?
  if [[ $got -ne $rc ]]; then
    ok=0
  elif [[ $rc -eq 0 ]]; then
    grep -qE -- "$pattern" "$work/out" || ok=0
  else
    [[ ! -s $work/out && $(wc -l <"$work/err") -eq 1 ]] && grep -qE -- "$pattern" "$work/err" || ok=0
  fi
  if [[ $ok -eq 1 ]]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: $* -> exit $got (want $rc, /$pattern/)"
    sed 's/^/  out: /' "$work/out"
    sed 's/^/  err: /' "$work/err"
  fi
}

v=${version//./\\.}
expect 0 "^kova-relay $v\$" "$relay" --version
expect 0 '^  --idle MIN +clear connections' "$relay" --help
expect 0 '\(default: 1080\)' "$relay" -h
expect 2 "^kova-relay: unknown option '--bogus' \(see kova-relay --help\)\$" "$relay" --bogus
expect 2 "^kova-relay: unknown option 'extra'" "$relay" extra
expect 2 '^kova-relay: --port needs a value: a port number 0\.\.65535$' "$relay" --port
expect 2 "^kova-relay: --port: invalid value '65536' \(expected a port number 0\.\.65535\)\$" "$relay" --port 65536
expect 2 "--port: invalid value 'http'" "$relay" --port http
expect 2 "--port: invalid value '-1'" "$relay" --port=-1
expect 2 "--proxy-type: invalid value '4' \(expected 0, 1, 2 or 3\)" "$relay" --proxy-type 4
expect 2 '--proxy-type 3 needs --proxy HOST:PORT' "$relay" --proxy-type 3
expect 2 "--proxy: invalid value '127\.0\.0\.1:0'" "$relay" --proxy 127.0.0.1:0
expect 2 "--idle: invalid value '601' \(expected minutes 0\.\.600\)" "$relay" --idle 601
expect 2 "--sweep: invalid value '1\.5' \(expected seconds 0\.\.600\)" "$relay" --sweep 1.5
expect 2 "--servers: invalid value '127\.0\.0\.1:80,nocolon'" "$relay" --servers 127.0.0.1:80,nocolon
expect 2 "--server-text: invalid value ':80'" "$relay" --server-text :80
expect 2 '--no-switch takes no value' "$relay" --no-switch=yes
expect 2 "--listen-address: invalid value ''" "$relay" --listen-address=
expect 2 "^kova-relay: --allow: invalid entry '300\.1\.1\.1' \(expected an IPv4 or IPv6 address or a CIDR range\)\$" \
  "$relay" --allow 127.0.0.1 --allow 300.1.1.1
expect 2 "^kova-relay: --allow: invalid entry '10\.0\.0\.0/33'" "$relay" --allow ::1,10.0.0.0/33
expect 2 "^kova-relay: --allow: invalid value ','" "$relay" --allow ,
expect 2 "^kova-relay: --allow-file: cannot open $work/none: No such file or directory\$" "$relay" --allow-file "$work/none"
printf '# lab\n127.0.0.1\n1.2.3.4/\n' >"$work/allow"
expect 2 "^kova-relay: --allow-file: $work/allow: invalid entry '1\.2\.3\.4/'" "$relay" --allow-file "$work/allow"
printf 'Open-Secret\n' >"$work/pw-open"
chmod 640 "$work/pw-open"
expect 2 "^kova-relay: --password-file: $work/pw-open can be read by other users \(mode 0640\); chmod 600 it\$" \
  "$relay" --password-file "$work/pw-open"
chmod 600 "$work/pw-open"
expect 2 "^kova-relay: --password-file: $work: not a file\$" "$relay" --password-file "$work"
expect 2 "^kova-relay: --idle: invalid value '99999'" "$relay" --password-file <(printf 'Pipe-Secret\n') --idle 99999
expect 2 '^kova-relay: give the proxy password once: --password or --password-file$' \
  "$relay" --password x --password-file "$work/pw-open"
expect 0 'prefer --password-file or the environment$' "$relay" --help
expect 0 '^ +variable KOVA_PROXY_PASSWORD' "$relay" --help
expect 0 '^  --allow LIST +let in only these clients' "$relay" --help
expect 0 '^  --log-file FILE +append one line per ended connection' "$relay" --help
expect 2 '^kova-relay: --log and --log-file cannot be combined$' "$relay" --log --log-file "$work/c.log"
touch "$work/plain"
expect 2 "^kova-relay: --log-file: cannot open $work/plain/c\.log: Not a directory\$" "$relay" --log-file "$work/plain/c.log"
# A bad option late on the line still stops it before it listens.
expect 2 "--idle: invalid value '99999'" "$relay" --listen-address 127.0.0.1 --port 0 --idle 99999

# Every option valid, both spellings: it listens where told, says so, and ends cleanly on SIGTERM.
"$relay" --listen-address=127.0.0.1 --port 0 --servers 127.0.0.1:9,127.0.0.1:10 --server-text=127.0.0.1:10 \
  --no-switch --proxy-type 3 --proxy 127.0.0.1:9 --user u --password Argv-Secret-7 --idle 0 --sweep 0 \
  >"$work/listen" 2>&1 &
relay_pid=$!
for _ in $(seq 100); do grep -q '^listening' "$work/listen" && break; kill -0 $relay_pid 2>/dev/null || break; sleep 0.1; done
if grep -qE '^listening 127\.0\.0\.1 [1-9][0-9]*$' "$work/listen" && ! grep -qa Argv-Secret "/proc/$relay_pid/cmdline" &&
  kill -TERM $relay_pid && wait $relay_pid; then
  passed=$((passed + 1))
else
  failed=$((failed + 1)); echo "FAIL: a valid command line did not listen on 127.0.0.1, hide its password and end on SIGTERM"
  cat "$work/listen"
fi
relay_pid=""

# --log-file: one relay on loopback (a one-shot echo target) is one line, written by the end.
python3 -u -c '
import socket
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(1); s.settimeout(20)
print(s.getsockname()[1])
c, _ = s.accept(); c.settimeout(20)
while (d := c.recv(4096)): c.sendall(d)
' >"$work/echo" &
for _ in $(seq 100); do [[ -s $work/echo ]] && break; sleep 0.1; done
"$relay" --listen-address 127.0.0.1 --port 0 --servers "127.0.0.1:$(cat "$work/echo")" --log-file "$work/logs/c.log" \
  >"$work/listen-log" 2>&1 &
relay_pid=$!
for _ in $(seq 100); do grep -qs '^listening' "$work/listen-log" && break; kill -0 $relay_pid 2>/dev/null || break; sleep 0.1; done
read -r _ addr lport <"$work/listen-log"
if [[ $addr == 127.0.0.1 ]] && python3 -c '
import socket, sys
c = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=20)
c.sendall(b"logged"); c.shutdown(socket.SHUT_WR)
got = b""
while (d := c.recv(100)): got += d
assert got == b"logged"
' "$lport" && kill -TERM $relay_pid && wait $relay_pid && [[ $(wc -l <"$work/logs/c.log") -eq 1 ]] &&
  grep -qE "^20[0-9-]{8}T[0-9:.]{12}[+-][0-9:]{5} client=127\.0\.0\.1:[0-9]+ servers=\[127\.0\.0\.1:$(cat "$work/echo") ok .* received=6 sent=6 " "$work/logs/c.log"; then
  passed=$((passed + 1))
else
  failed=$((failed + 1)); echo "FAIL: --log-file did not hold one line for one relay"; cat "$work/listen-log" "$work/logs/c.log"
fi
relay_pid=""

# Through an authenticating proxy, the password from a file and then a wrong one from the
# environment: it shows nowhere (stdout, stderr, --log-file). --allow 127.0.0.1 serves the
# 127.0.0.1 client and refuses one bound to 127.0.0.2, which is logged with its address.
secret="Kova-Leak-Check-$$"
printf '%s\n' "$secret" >"$work/pw"
chmod 600 "$work/pw"
python3 -u -c '
import socket, threading
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(8)
print(s.getsockname()[1])
def echo(c):
    while (d := c.recv(4096)): c.sendall(d)
    c.close()
while True:
    c, _ = s.accept(); threading.Thread(target=echo, args=(c,), daemon=True).start()
' >"$work/echo2" &
helpers+=($!)
ms_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
/usr/bin/microsocks -i 127.0.0.1 -p "$ms_port" -u kova -P "$secret" >/dev/null 2>&1 &
helpers+=($!)
client() {  # client PORT FROM: prints what came back for "through", or "refused"
  python3 -c '
import socket, sys
c = socket.socket(); c.bind((sys.argv[2], 0)); c.settimeout(20)
try:
    c.connect(("127.0.0.1", int(sys.argv[1])))
    c.sendall(b"through")
    got = b""
    while len(got) < 7 and (d := c.recv(100)): got += d
    print(got.decode() or "refused")
except ConnectionError:
    print("refused")
' "$@" 2>/dev/null
}
for _ in $(seq 100); do [[ -s $work/echo2 ]] && python3 -c 'import socket, sys; socket.create_connection(("127.0.0.1", int(sys.argv[1])), 1)' "$ms_port" 2>/dev/null && break; sleep 0.1; done
leak_ok=1
for run in file env; do
  if [[ $run == file ]]; then
    "$relay" --listen-address 127.0.0.1 --port 0 --servers "127.0.0.1:$(cat "$work/echo2")" --proxy-type 3 \
      --proxy "127.0.0.1:$ms_port" --user kova --password-file "$work/pw" --allow 127.0.0.1 --log \
      >"$work/out-$run" 2>"$work/err-$run" &
  else
    KOVA_PROXY_PASSWORD="$secret-wrong" "$relay" --listen-address 127.0.0.1 --port 0 --no-switch \
      --servers "127.0.0.1:$(cat "$work/echo2")" --proxy-type 3 --proxy "127.0.0.1:$ms_port" --user kova \
      --log-file "$work/pw.log" >"$work/out-$run" 2>"$work/err-$run" &
  fi
  relay_pid=$!
  for _ in $(seq 100); do grep -qs '^listening' "$work/out-$run" && break; kill -0 $relay_pid 2>/dev/null || break; sleep 0.1; done
  read -r _ addr lport <"$work/out-$run"
  [[ $addr == 127.0.0.1 ]] || leak_ok=0
  if [[ $run == file ]]; then
    [[ $(client "$lport" 127.0.0.1) == through && $(client "$lport" 127.0.0.2) == refused ]] || leak_ok=0
  else
    [[ $(client "$lport" 127.0.0.1) == refused ]] || leak_ok=0
  fi
  kill -TERM $relay_pid && wait $relay_pid || leak_ok=0
  relay_pid=""
done
grep -qE ' client=127\.0\.0\.1:[0-9]+ servers=\[127\.0\.0\.1:[0-9]+ ok ' "$work/err-file" &&
  grep -qE ' client=127\.0\.0\.2:[0-9]+ .*客户端不在允许列表中' "$work/err-file" &&
  grep -q '用户名或密码被拒绝' "$work/pw.log" || leak_ok=0
if [[ $leak_ok -eq 1 ]] && ! grep -q -- "$secret" "$work"/out-* "$work"/err-* "$work/pw.log"; then
  passed=$((passed + 1))
else
  failed=$((failed + 1)); echo "FAIL: the proxy password showed, or --allow did not admit exactly 127.0.0.1"
  grep -H . "$work"/out-* "$work"/err-* "$work/pw.log"
fi

if [[ -n $kova ]]; then
  # No display and the X11 plugin forced: had Qt started, these would abort instead of answering.
  # The private runtime folder shows that the single-instance lock is never taken.
  mkdir "$work/runtime"
  run_kova=(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$work/runtime" "$kova")
  expect 0 "^kova $v\$" "${run_kova[@]}" --version
  expect 0 '^Usage: kova ' "${run_kova[@]}" --help
  expect 2 "^kova: unknown argument '--bogus' \(see kova --help\)\$" "${run_kova[@]}" --bogus
  expect 2 '^kova: -platform needs a value$' "${run_kova[@]}" -platform
  expect 2 "^kova: unknown argument 'file.txt'" "${run_kova[@]}" -reverse file.txt
  if [[ -n $(ls -A "$work/runtime") ]]; then
    failed=$((failed + 1)); echo "FAIL: kova touched its lock folder: $(ls -A "$work/runtime")"
  fi
fi

echo "commands: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
