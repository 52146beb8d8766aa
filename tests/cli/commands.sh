#!/usr/bin/env bash
# The command lines of kova-relay and kova, and kova-relay's service unit, as one table: every
# setting is settled before anything listens, a bad one is one line on stderr and exit 2, a
# listen that fails says where and why with exit 1. Loopback only; 198.51.100.7 is no address
# of this machine, so binding it fails before anything is sent.
#   commands.sh VERSION KOVA_RELAY UNIT_FILE [KOVA]
set -uo pipefail
version=$1 relay=$2 unit=$3 kova=${4:-}
work=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; rm -rf "$work"' EXIT
passed=0 failed=0

# peer MODE VAR: a one-shot loopback peer in the background, its port in VAR. "hold" only
# keeps its port, "echo" sends back what it gets, "first" writes the first bytes it gets to
# $work/first in hex (what a proxy is asked first).
peer() {
  rm -f "$work/$2"
  python3 -u -c '
import socket, sys, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(1); s.settimeout(60)
print(s.getsockname()[1])
if sys.argv[1] == "hold": time.sleep(120)
c, _ = s.accept(); c.settimeout(20)
if sys.argv[1] == "first":
    with open(sys.argv[2], "w") as f: f.write(c.recv(100)[:7].hex())
    sys.exit()  # closing only now: the client returns once the bytes are on record
while (d := c.recv(4096)): c.sendall(d)
' "$1" "$work/first" >"$work/$2" &
  pids+=($!)
  for _ in $(seq 100); do [[ -s $work/$2 ]] && break; sleep 0.1; done
  printf -v "$2" '%s' "$(cat "$work/$2")"
}

# One client through a listening relay on loopback; true when its bytes come back.
client() {
  python3 -c '
import socket, sys
c = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=20)
c.sendall(b"logged"); c.shutdown(socket.SHUT_WR)
got = b""
while (d := c.recv(100)): got += d
sys.exit(got != b"logged")
' "$1"
}

# row KIND PATTERN CMD...; KIND:
#   0  exits 0 with PATTERN (grep -E) on stdout; an empty PATTERN: nothing on stdout or stderr
#   1  cannot listen / 2 bad setting: that exit code, one line on stderr matching, nothing on stdout
#   L  listens: its "listening" line matches PATTERN; SIGTERM then ends it with status 0
#   C  like L, and a client's bytes come back through it first
#   P  like L, then a client: the first bytes the proxy peer gets, in hex, start with PATTERN
#   S  like C, then a line on stderr matching PATTERN within 5 seconds
row() {
  local kind=$1 pattern=$2 got=0 ok=1 pid
  shift 2
  : >"$work/out"; : >"$work/err"; rm -f "$work/first"
  if [[ $kind == [012] ]]; then
    timeout 10 "$@" >"$work/out" 2>"$work/err" || got=$?
    if [[ $got -ne $kind ]]; then ok=0
    elif [[ $kind -eq 0 && -z $pattern ]]; then [[ ! -s $work/out && ! -s $work/err ]] || ok=0
    elif [[ $kind -eq 0 ]]; then grep -qE -- "$pattern" "$work/out" || ok=0
    else [[ ! -s $work/out && $(wc -l <"$work/err") -eq 1 ]] && grep -qE -- "$pattern" "$work/err" || ok=0
    fi
  else
    "$@" >"$work/out" 2>"$work/err" &
    pid=$!
    for _ in $(seq 100); do grep -q '^listening' "$work/out" && break; kill -0 $pid 2>/dev/null || break; sleep 0.1; done
    read -r _ addr lport <"$work/out"
    if [[ $addr != 127.0.0.1 ]]; then ok=0  # never connect anywhere else
    elif grep -qa Argv-Secret "/proc/$pid/cmdline"; then ok=0  # a --password is wiped once read
    elif [[ $kind == P ]]; then client "$lport"; [[ $(cat "$work/first" 2>/dev/null) == "$pattern"* ]] || ok=0
    elif [[ $kind == S ]]; then
      client "$lport" || ok=0
      for _ in $(seq 50); do grep -qE -- "$pattern" "$work/err" && break; sleep 0.1; done
      grep -qE -- "$pattern" "$work/err" || ok=0
    else grep -qE -- "$pattern" "$work/out" && { [[ $kind == L ]] || client "$lport"; } || ok=0
    fi
    kill -TERM $pid 2>/dev/null; wait $pid || ok=0
  fi
  if [[ $ok -eq 1 ]]; then passed=$((passed + 1)); else
    failed=$((failed + 1))
    echo "FAIL: ${*//$work/WORK} -> exit $got (want $kind, /$pattern/)"
    sed 's/^/  out: /' "$work/out"; sed 's/^/  err: /' "$work/err"
  fi
}

v=${version//./\\.}
lo=(--listen-address 127.0.0.1 --port 0 --servers 127.0.0.1:9 --sweep 0)
peer hold busy                    # a loopback port already taken
touch "$work/plain"               # a file where a folder is wanted
conf() { local f=$work/$1 mode=$2; shift 2; printf '%s\n' "$@" >"$f"; chmod "$mode" "$f"; }
conf ok.conf 600 'listen-address = 198.51.100.7' 'port = 0' 'servers = "127.0.0.1:9"' 'password = pw' \
  'no-switch = true' 'sweep = 0'
conf open.conf 644 'servers = 127.0.0.1:9' 'password = pw'
conf open-plain.conf 644 'listen-address = 127.0.0.1' 'port = 0' 'servers = 127.0.0.1:9'
conf badport.conf 644 'port = 65536' 'servers = 127.0.0.1:9' 'proxy-type = socks5'
conf typo.conf 644 'prot = 0'
conf notarget.conf 644 'port = 0' 'idle = 1'
conf allow 644 '# lab' 127.0.0.1 1.2.3.4/
conf pw-open 640 Open-Secret
conf pw-closed 600 Closed-Secret

row 0 "^kova-relay $v\$" "$relay" --version
row 0 '^  --idle MIN +clear connections idle this many minutes; 0 never$' "$relay" --help
row 0 'socks4 \(host$' "$relay" -h
row 0 '^ +names go out as SOCKS 4a\) or socks5' "$relay" --help
row 0 '\(default: 1080\)$' "$relay" --help
row 0 '^  --config FILE' "$relay" --help
row 2 "^kova-relay: unknown option '--bogus' \(see kova-relay --help\)\$" "$relay" --bogus
row 2 "^kova-relay: unknown option 'extra'" "$relay" extra
row 2 '^kova-relay: --port needs a value: a port number 0\.\.65535$' "$relay" --port
row 2 "^kova-relay: --port: invalid value '65536' \(expected a port number 0\.\.65535\)\$" "$relay" --port 65536
row 2 "--port: invalid value 'http'" "$relay" --port http
row 2 "--port: invalid value '-1'" "$relay" --port=-1
row 2 "--proxy-type: invalid value '4' \(expected none, http, socks4, socks5 or 0\.\.3\)" "$relay" --proxy-type 4
row 2 "--proxy-type: invalid value 'socks4a'" "$relay" --proxy-type socks4a
row 2 '--proxy-type socks5 needs --proxy HOST:PORT' "$relay" "${lo[@]}" --proxy-type 3
row 2 "--proxy: invalid value '127\.0\.0\.1:0'" "$relay" --proxy 127.0.0.1:0
row 2 "--proxy: invalid value 'ftp://127\.0\.0\.1:9'" "$relay" --proxy ftp://127.0.0.1:9
row 2 "--proxy: invalid value 'none://127\.0\.0\.1:9'" "$relay" --proxy none://127.0.0.1:9
row 2 "--idle: invalid value '601' \(expected minutes 0\.\.600\)" "$relay" --idle 601
row 2 "--sweep: invalid value '1\.5' \(expected seconds 0\.\.600\)" "$relay" --sweep 1.5
row 2 "--stats: invalid value '3601' \(expected seconds 0\.\.3600\)" "$relay" --stats 3601
row 2 "--servers: invalid value '127\.0\.0\.1:80,nocolon'" "$relay" --servers 127.0.0.1:80,nocolon
row 2 "--servers: invalid value '\\[::1\\]'" "$relay" --servers "[::1]"
row 2 "--server-text: invalid value ':80'" "$relay" --server-text :80
row 2 "--no-switch: invalid value 'maybe' \(expected true or false\)" "$relay" --no-switch=maybe
row 2 '^kova-relay: --listen-address needs a value' "$relay" --listen-address=
row 2 "^kova-relay: --allow: invalid entry '300\.1\.1\.1' \(expected an IPv4 or IPv6 address or a CIDR range\)\$" \
  "$relay" --allow 127.0.0.1 --allow 300.1.1.1
row 2 "^kova-relay: --allow: invalid entry '192\.0\.2\.0/33'" "$relay" --allow ::1,192.0.2.0/33
row 2 "^kova-relay: --allow: invalid value ','" "$relay" --allow ,
row 2 "^kova-relay: --allow-file: cannot open $work/none: No such file or directory\$" "$relay" --allow-file "$work/none"
row 2 "^kova-relay: --allow-file: $work/allow: invalid entry '1\.2\.3\.4/'" "$relay" --allow-file "$work/allow"
row 2 "^kova-relay: --password-file: $work/pw-open can be read by other users \(mode 0640\); chmod 600 it\$" \
  "$relay" --password-file "$work/pw-open"
row 2 "^kova-relay: --password-file: $work: not a file\$" "$relay" --password-file "$work"
row 2 "^kova-relay: --idle: invalid value '99999'" "$relay" --password-file <(printf 'Pipe-Secret\n') --idle 99999
row 2 '^kova-relay: give the proxy password once: --password or --password-file$' \
  "$relay" "${lo[@]}" --password x --password-file "$work/pw-closed"
row 0 'prefer --password-file or the environment' "$relay" --help
row 0 '^ +variable KOVA_PROXY_PASSWORD' "$relay" --help
row 0 '^  --allow LIST \.\.\. +let in only these clients' "$relay" --help
row 2 '^kova-relay: --log and --log-file cannot be combined$' "$relay" "${lo[@]}" --log --log-file "$work/c.log"
row 2 "^kova-relay: --log-file: cannot open $work/plain/c\.log: Not a directory\$" "$relay" "${lo[@]}" --log-file "$work/plain/c.log"
row 2 '^kova-relay: no target: give --servers or --server-text' "$relay" --listen-address 127.0.0.1 --port 0
row 2 '^kova-relay: no target' "$relay" --config "$work/notarget.conf" --listen-address 127.0.0.1
row 2 "--idle: invalid value '99999'" "$relay" "${lo[@]}" --idle 99999  # late on the line, still before listening
row 2 "^kova-relay: --config: $work/open\.conf holds --password but group or others can read it" "$relay" --config "$work/open.conf"
row 2 "--config: unknown setting 'prot'" "$relay" --config "$work/typo.conf" "${lo[@]}"
row 2 'was not readable' "$relay" --config "$work/missing.conf" "${lo[@]}"
row 2 "--port: invalid value '65536'" "$relay" --config "$work/badport.conf" --proxy 127.0.0.1:9 --listen-address 127.0.0.1
row 2 '--proxy-type socks5 needs --proxy' "$relay" --config "$work/badport.conf" --port 0 --listen-address 127.0.0.1
row 1 "^kova-relay: cannot listen on 127\.0\.0\.1 port $busy: Address already in use\$" "$relay" "${lo[@]}" --port "$busy"
row 1 '^kova-relay: cannot listen on 198\.51\.100\.7 port 0: Cannot assign requested address$' "$relay" --config "$work/ok.conf"
row 1 '^kova-relay: cannot listen on 127\.0\.0\.1 port 1: Permission denied$' \
  setpriv --bounding-set=-net_bind_service "$relay" "${lo[@]}" --port 1
row 1 'cannot listen on 127\.1 port 0: not an address of this machine' "$relay" "${lo[@]}" --listen-address 127.1  # no lookup
# Every option valid, both spellings; the command line wins over the file.
row L '^listening 127\.0\.0\.1 [1-9][0-9]*$' "$relay" --listen-address=127.0.0.1 --port 0 --servers 127.0.0.1:9,[::1]:10 \
  --server-text=[::1]:10 --no-switch --proxy-type 3 --proxy 127.0.0.1:9 --user u --password Argv-Secret-7 --idle 0 --sweep 0
row L '^listening 127\.0\.0\.1 ' "$relay" --config "$work/ok.conf" --listen-address 127.0.0.1
row L '^listening 127\.0\.0\.1 ' "$relay" --config "$work/open-plain.conf" --server-text 127.0.0.1:10 --log
row L '^listening 127\.0\.0\.1 ' "$relay" --config "$work/badport.conf" --port 0 --listen-address 127.0.0.1 --proxy-type none
peer echo echo_port
row C '^listening 127\.0\.0\.1 ' "$relay" "${lo[@]}" --servers "127.0.0.1:$echo_port" --log-file "$work/logs/c.log"
row 0 "^20[0-9-]{8}T[0-9:.]{12}[+-][0-9:]{5} client=127\.0\.0\.1:[0-9]+ servers=\[127\.0\.0\.1:$echo_port ok .* received=6 sent=6 " \
  cat "$work/logs/c.log"
# Statistics while relaying: the client's 6 bytes each way are in the totals.
peer echo stats_port
row S '^kova-relay: stats active=[01] down=[0-9.]+[KM]?B/s up=[0-9.]+[KM]?B/s bytes_down=6 bytes_up=6$' \
  "$relay" "${lo[@]}" --servers "127.0.0.1:$stats_port" --stats 1
# The proxy type by name, number or URL scheme: what the proxy is asked first.
for proxy in "http://127.0.0.1:PORT 434f4e4e454354" "socks4://127.0.0.1:PORT/ 0401" "socks5://127.0.0.1:PORT 05" \
             "127.0.0.1:PORT --proxy-type socks4 0401" "127.0.0.1:PORT --proxy-type 1 434f4e4e454354"; do
  set -- $proxy
  peer first port
  row P "${!#}" "$relay" "${lo[@]}" --proxy "${1/PORT/$port}" "${@:2:$#-2}"
done

# The service: the unit verifies, and its ExecStart, with the built program and a config file
# handed over as systemd hands it, listens on loopback and ends on SIGTERM.
sed "s|@KOVA_BINDIR@/kova-relay|$relay|" "$unit" >"$work/kova-relay@check.service"
row 0 '' systemd-analyze verify --man=no "$work/kova-relay@check.service"
mkdir -m 700 "$work/credentials"
conf credentials/kova.conf 400 'listen-address = 127.0.0.1' 'port = 0' 'servers = 127.0.0.1:9' 'password = pw'
exec_start=$(sed -n 's/^ExecStart=//p' "$work/kova-relay@check.service")
row L '^listening 127\.0\.0\.1 ' env CREDENTIALS_DIRECTORY="$work/credentials" bash -c "exec ${exec_start//%i/check}"

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
pids+=($!)
ms_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
/usr/bin/microsocks -i 127.0.0.1 -p "$ms_port" -u kova -P "$secret" >/dev/null 2>&1 &
pids+=($!)
client_from() {  # client_from PORT FROM: prints what came back for "through", or "refused"
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
  relay_pid=$!; pids+=($relay_pid)
  for _ in $(seq 100); do grep -qs '^listening' "$work/out-$run" && break; kill -0 $relay_pid 2>/dev/null || break; sleep 0.1; done
  read -r _ addr lport <"$work/out-$run"
  [[ $addr == 127.0.0.1 ]] || leak_ok=0
  if [[ $run == file ]]; then
    [[ $(client_from "$lport" 127.0.0.1) == through && $(client_from "$lport" 127.0.0.2) == refused ]] || leak_ok=0
  else
    [[ $(client_from "$lport" 127.0.0.1) == refused ]] || leak_ok=0
  fi
  kill -TERM $relay_pid && wait $relay_pid || leak_ok=0
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
  row 0 "^kova $v\$" "${run_kova[@]}" --version
  row 0 '^Usage: kova ' "${run_kova[@]}" --help
  row 2 "^kova: unknown argument '--bogus' \(see kova --help\)\$" "${run_kova[@]}" --bogus
  row 2 '^kova: -platform needs a value$' "${run_kova[@]}" -platform
  row 2 "^kova: unknown argument 'file.txt'" "${run_kova[@]}" -reverse file.txt
  row 0 '' ls -A "$work/runtime"  # the single-instance lock never taken
fi

echo "commands: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
