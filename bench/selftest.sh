#!/usr/bin/env bash
# Checks the benchmark's own helpers: the loopback guard, parsers, ratios and verdicts, and the
# process handling that must leave nothing running. Loopback only; finishes in a few seconds.
set -uo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ROOT/bench/lib.sh"

passed=0 failed=0
check() { # check NAME EXPECTED ACTUAL
  if [[ $2 == "$3" ]]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAIL %s: expected [%s], got [%s]\n' "$1" "$2" "$3"
  fi
}
BENCH_DIR=$(mktemp -d /tmp/kova-bench-selftest.XXXXXX)
trap 'stop_all; rm -rf "$BENCH_DIR"' EXIT

# Loopback guard: only 127.0.0.0/8 and ::1 pass; names and look-alikes do not.
while read -r addr want; do
  if is_loopback "$addr"; then got=yes; else got=no; fi
  check "is_loopback $addr" "$want" "$got"
done <<'EOF'
127.0.0.1 yes
127.1.2.3 yes
127.255.255.255 yes
::1 yes
[::1] yes
0:0:0:0:0:0:0:1 yes
192.0.2.1 no
198.51.100.7 no
0.0.0.0 no
1127.0.0.1 no
127.0.0.256 no
127.0.0 no
127.0.0.1.5 no
127.0.0.1.example.com no
127.evil.com no
localhost no
::ffff:192.0.2.1 no
:: no
EOF
if is_loopback ""; then check "is_loopback empty" no yes; else check "is_loopback empty" no no; fi

# The host's one line; anything else must not be taken for a port.
while IFS='|' read -r line want; do
  got=$(parse_listening "$line" || echo REJECT)
  check "parse_listening '$line'" "$want" "$got"
done <<'EOF'
listening 127.0.0.1 40123|127.0.0.1 40123
listening ::1 1080|::1 1080
listening 127.0.0.1 0|REJECT
listening 127.0.0.1 65536|REJECT
listening 127.0.0.1|REJECT
listening 127.0.0.1 80 extra|REJECT
listening 127.0.0.1 8x|REJECT
started 127.0.0.1 80|REJECT
EOF

# iperf3: the receiver's figure counts; an error report or an empty run is a failure, not zero.
check "iperf ok" "9.500" "$(parse_iperf_gbps <<<'{"end":{"sum_sent":{"bits_per_second":9.9e9},"sum_received":{"bits_per_second":9.5e9}}}')"
check "iperf bytes" 5937500000 "$(parse_iperf_bytes <<<'{"end":{"sum_sent":{"bytes":6e9},"sum_received":{"bytes":5.9375e9}}}')"
check "iperf bytes error" fail "$(parse_iperf_bytes <<<'{"error":"busy","end":{"sum_received":{"bytes":5}}}' || echo fail)"
check "iperf error" fail "$(parse_iperf_gbps <<<'{"error":"the server is busy running a test","end":{}}' || echo fail)"
check "iperf no data" fail "$(parse_iperf_gbps <<<'{"end":{"sum_received":{"bits_per_second":0}}}' || echo fail)"
check "iperf garbage" fail "$(parse_iperf_gbps <<<'iperf3: error - unable to connect' || echo fail)"

# redis-benchmark -q: the summary line when the run completed, else the last progress figure.
check "redis summary" 21739 "$(parse_redis_rps <<<'PING_INLINE: 21739.13 requests per second, p50=0.039 msec')"
progress=$'PING_INLINE: rps=0.0 (overall: -nan) avg_msec=-nan (overall: -nan)\rPING_INLINE: rps=7079.7 (overall: 7302.3) avg_msec=0.129 (overall: 0.125)\rPING_INLINE: rps=5523.8 (overall: 7047.2) avg_msec=0.170 (overall: 0.131)\r'
check "redis cut short" 7047 "$(parse_redis_rps <<<"$progress")"
check "redis summary wins" 6000 "$(parse_redis_rps <<<"${progress}PING_INLINE: 6000.00 requests per second")"
check "redis only nan" fail "$(parse_redis_rps <<<'PING_INLINE: rps=0.0 (overall: -nan) avg_msec=-nan (overall: -nan)' || echo fail)"
check "redis other test" fail "$(parse_redis_rps <<<'PING_MBULK: 50000.00 requests per second' || echo fail)"
check "redis error text" fail "$(parse_redis_rps <<<'Could not connect to Redis at 127.0.0.1:1: Connection refused' || echo fail)"

# The latency client: percentiles of real round trips, and no target but loopback.
if ! build_pingtime "$ROOT"; then
  check "pingtime compiles" ok failed
else
  "$PINGTIME" 192.0.2.1 9 10 2>/dev/null
  check "pingtime refuses non-loopback" 2 $?
  port=$(free_port)
  start_bg pong "$PY" -c '
import socket, sys
s = socket.socket(); s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(1); s.settimeout(10)
c, _ = s.accept()
while True:
    d = c.recv(64)
    if not d: break
    c.sendall(b"+PONG\r\n" * d.count(b"\n"))
' "$port"
  wait_listen "$port" 5
  out=$(timeout 20 "$PINGTIME" 127.0.0.1 "$port" 200)
  [[ $out =~ ^[0-9]+\.[0-9]{4}\ [0-9]+\.[0-9]{4}$ ]] && awk -v a="${out% *}" -v b="${out#* }" 'BEGIN { exit !(a > 0 && b >= a) }' &&
    got=ok || got="[$out]"
  check "pingtime measures" ok "$got"
  stop_group "$LAST_PID"
fi

# Ratios and verdicts: a failed peer or KOVA run must never read as a pass.
while read -r a b min want_ratio want_verdict; do
  check "ratio $a/$b" "$want_ratio" "$(ratio "$a" "$b")"
  check "at_least $a/$b>=$min" "$want_verdict" "$(at_least "$a" "$b" "$min")"
done <<'EOF'
8 10 0.8 0.80 PASS
7.96 10 0.8 0.80 MISS
9000 10000 0.9 0.90 PASS
4999 10000 0.5 0.50 MISS
20000 10000 0.8 2.00 PASS
fail 10000 0.8 - n/a
10000 fail 0.8 - n/a
10000 0 0.8 - n/a
EOF
# Costs (added latency) against the peer's: lower is better, and a peer with no cost compares with nothing.
while read -r a b max want; do check "at_most $a<=$max*$b" "$want" "$(at_most "$a" "$b" "$max")"; done <<'EOF'
22.0 20.0 1.1 PASS
22.1 20.0 1.1 MISS
-1.0 20.0 1.1 PASS
5.0 0.0 1.1 n/a
5.0 -2.0 1.1 n/a
fail 20.0 1.1 n/a
20.0 fail 1.1 n/a
EOF
while read -r v max want; do check "not_above $v<=$max" "$want" "$(not_above "$v" "$max")"; done <<'EOF'
0.00 0.1 PASS
0.10 0.1 PASS
0.11 0.1 MISS
5.0 5 PASS
5.1 5 MISS
fail 5 n/a
- 5 n/a
EOF
while read -r a b want_best want_least want_minus; do
  check "best $a $b" "$want_best" "$(best "$a" "$b")"
  check "least $a $b" "$want_least" "$(least "$a" "$b")"
  check "minus $a $b" "$want_minus" "$(minus "$a" "$b")"
done <<'EOF'
5 7 7 5 -2000.0
7 5 7 5 2000.0
fail 5 5 5 fail
5 fail 5 5 fail
fail fail fail fail fail
10000 9999.5 10000 9999.5 500.0
0.061 0.023 0.061 0.023 38.0
EOF
check "per_second" 4.5 "$(per_second 100 145 10)"
check "cpu_percent" 10.00 "$(cpu_percent 100 200 10 100)"
check "cpu_percent 1/3" 33.33 "$(cpu_percent 0 100 3 100)"
check "cpu_per_gib" 0.25 "$(cpu_per_gib 100 200 4294967296 100)"
check "cpu_per_gib nothing moved" fail "$(cpu_per_gib 100 200 0 100)"

# CPU of a forking relay lives in its children: a busy grandchild must be counted.
start_bg busy bash -c 'timeout 5 bash -c "while :; do :; done" & wait'
busy=$LAST_PID
deadline=$((SECONDS + 5))
while (($(proc_ticks "$busy") < 20)) && ((SECONDS < deadline)); do sleep 0.1; done
if (($(proc_ticks "$busy") >= 20)); then got=counted; else got=missed; fi
check "proc_ticks counts descendants" counted "$got"
stop_group "$busy"

# Wake-ups are counted over every thread: two threads that each wake 20 times a second.
start_bg sleeper "$PY" -c '
import threading, time
def nap():
    while True: time.sleep(0.05)
threading.Thread(target=nap, daemon=True).start()
nap()'
sleeper=$LAST_PID
deadline=$((SECONDS + 5))
while (($(ls /proc/"$sleeper"/task 2>/dev/null | wc -l) < 2)) && ((SECONDS < deadline)); do sleep 0.05; done
w0=$(proc_wakeups "$sleeper")
sleep 1
w1=$(proc_wakeups "$sleeper")
# 40 expected; a loaded machine delays wake-ups, but counting the main thread alone gives <= 20.
if ((w1 - w0 >= 26 && w1 - w0 <= 60)); then got=both; else got="$((w1 - w0))"; fi
check "proc_wakeups counts every thread" both "$got"
stop_group "$sleeper"

# Stopping a started process stops its whole group, children included.
start_bg tree bash -c 'sleep 30 & sleep 30 & wait'
tree=$LAST_PID
deadline=$((SECONDS + 5))
while [[ -z $(pgrep -g "$tree" -x sleep) ]] && ((SECONDS < deadline)); do sleep 0.05; done
check "tree started" 2 "$(pgrep -g "$tree" -x sleep | wc -l)"
stop_group "$tree"
check "group stopped on TERM" "0 0" "$? $(pgrep -g "$tree" | wc -l)"

# A process that ignores TERM is killed after the bounded wait, and the caller is told.
start_bg stubborn bash -c 'trap "" TERM; sleep 30 & wait; wait'
stubborn=$LAST_PID
deadline=$((SECONDS + 5))
while [[ -z $(pgrep -g "$stubborn" -x sleep) ]] && ((SECONDS < deadline)); do sleep 0.05; done
stop_group "$stubborn"
rc=$?
# The killed grandchild is reaped by init, not by us: give that a moment.
deadline=$((SECONDS + 3))
while [[ -n $(pgrep -g "$stubborn") ]] && ((SECONDS < deadline)); do sleep 0.05; done
check "stubborn group killed" "3 0" "$rc $(pgrep -g "$stubborn" | wc -l)"

# The idle holder refuses a non-loopback target before any connect, and reports a dropped client.
"$PY" "$ROOT/bench/hold.py" 192.0.2.1 9 1 1 2>/dev/null
check "hold.py refuses non-loopback" 2 $?
port=$(free_port)
start_bg closer "$PY" -c '
import socket, sys
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(8); s.settimeout(10)
for _ in range(2):
    c, _ = s.accept(); c.close()
' "$port"
wait_listen "$port" 5
timeout 15 "$PY" "$ROOT/bench/hold.py" 127.0.0.1 "$port" 2 5 >/dev/null 2>&1
check "hold.py reports a dropped connection" 1 $?

# The whole harness, given a host that claims a non-loopback address: it must refuse before any
# traffic and leave none of the processes it started (they all carry the marker in their environment).
fake=$BENCH_DIR/fake-host
printf '#!/bin/sh\necho "listening 192.0.2.1 1080"\nexec sleep 30\n' >"$fake"
chmod +x "$fake"
mark=kova-selftest-$$-$RANDOM
out=$(BENCH_MARK=$mark BENCH_SKIP_SELFTEST=1 KOVA_BIN=$fake timeout 60 bash "$ROOT/bench/run.sh" 2>&1)
check "run.sh refuses a non-loopback host" 2 $?
[[ $out == *"192.0.2.1, which is not loopback"* ]] && got=said || got=silent
check "run.sh says why" said "$got"
left=$(grep -l "BENCH_MARK=$mark" /proc/[0-9]*/environ 2>/dev/null | wc -l)
check "run.sh leaves no process behind" 0 "$left"
kept=$(sed -n 's|^bench: logs kept in \(/tmp/kova-bench\.[A-Za-z0-9]*\)$|\1|p' <<<"$out")
[[ -n $kept ]] && rm -rf "$kept"

echo "bench selftest: $passed passed, $failed failed"
((failed == 0))
