# shellcheck shell=bash
# Helpers of the relay benchmark: process control, free ports, parsers, ratios and verdicts.
# Sourced by bench/run.sh and bench/selftest.sh; defines functions only.

# The system interpreter: a version-manager shim in PATH costs half a second per call.
if [[ -x /usr/bin/python3 ]]; then PY=/usr/bin/python3; else PY=python3; fi

# Every process the benchmark starts, as a process-group id (each runs in its own session).
BENCH_PIDS=()

# Prints a free TCP port on the given loopback address (the kernel picks it).
free_port() {
  "$PY" - "${1:-127.0.0.1}" <<'EOF'
import socket, sys
host = sys.argv[1]
s = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET)
s.bind((host, 0))
print(s.getsockname()[1])
s.close()
EOF
}

# True when ADDR is a loopback address (127.0.0.0/8 or ::1); anything else must never be a target.
is_loopback() {
  local a=${1#[}
  a=${a%]}
  case $a in
    ::1 | 0:0:0:0:0:0:0:1) return 0 ;;
    127.*) ;;
    *) return 1 ;;
  esac
  # Four decimal octets, each 0..255: "127.evil.com" or "127.0.0.1.example" are host names, not loopback.
  local IFS=. o n=0
  for o in $a; do
    [[ $o =~ ^[0-9]{1,3}$ ]] && ((10#$o <= 255)) || return 1
    n=$((n + 1))
  done
  ((n == 4))
}

# build_kova ROOT: sets KOVA_BIN to an optimised kova-relay, building it unless KOVA_BIN is set.
build_kova() {
  local root=$1
  if [[ -n ${KOVA_BIN:-} ]]; then
    [[ -x $KOVA_BIN ]] || { echo "bench: KOVA_BIN=$KOVA_BIN is not executable" >&2; return 1; }
    return 0
  fi
  # Reuse build/ when it is an optimised, sanitizer-free build; otherwise keep a folder of our own.
  local dir=build cache=$root/build/CMakeCache.txt
  if ! { [[ -f $cache ]] && grep -qE '^CMAKE_BUILD_TYPE:STRING=(Release|RelWithDebInfo)$' "$cache" &&
    grep -qE '^KOVA_SANITIZE:STRING=$' "$cache"; }; then
    dir=build-bench
    if [[ ! -f $root/$dir/CMakeCache.txt ]]; then
      local gen=()
      command -v ninja >/dev/null && gen=(-G Ninja)
      cmake -S "$root" -B "$root/$dir" "${gen[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKOVA_BUILD_GUI=OFF -DBUILD_TESTING=OFF >"$BENCH_DIR/cmake.log" 2>&1 ||
        { echo "bench: configuring $dir failed:" >&2; tail -20 "$BENCH_DIR/cmake.log" >&2; return 1; }
    fi
  fi
  cmake --build "$root/$dir" -j 2 --target kova-relay >"$BENCH_DIR/build.log" 2>&1 ||
    { echo "bench: building kova-relay failed:" >&2; tail -30 "$BENCH_DIR/build.log" >&2; return 1; }
  KOVA_BIN=$root/$dir/src/app/kova-relay
  [[ -x $KOVA_BIN ]] || { echo "bench: no $KOVA_BIN after the build" >&2; return 1; }
}

# build_pingtime ROOT: sets PINGTIME to the latency client, compiled into $BENCH_DIR.
build_pingtime() {
  PINGTIME=$BENCH_DIR/pingtime
  g++ -std=c++20 -O2 -Wall -Wextra -o "$PINGTIME" "$1/bench/pingtime.cpp" 2>"$BENCH_DIR/pingtime-build.log" ||
    { echo "bench: compiling bench/pingtime.cpp failed:" >&2; cat "$BENCH_DIR/pingtime-build.log" >&2; return 1; }
}

# start_bg NAME CMD...: runs CMD in its own session with output in $BENCH_DIR/NAME.log.
start_bg() {
  local name=$1
  shift
  setsid "$@" >"$BENCH_DIR/$name.log" 2>&1 </dev/null &
  local pid=$!
  BENCH_PIDS+=("$pid")
  # shellcheck disable=SC2034 # read by the caller
  LAST_PID=$pid
}

# Stops one started process group: TERM, then KILL after a bounded wait. Status 3 when the group
# needed the KILL, so that a relay that hangs at exit does not go unnoticed.
stop_group() {
  local pid=$1 i
  kill -TERM -- "-$pid" 2>/dev/null || return 0
  for ((i = 0; i < 30; i++)); do
    if ! kill -0 -- "-$pid" 2>/dev/null; then
      wait "$pid" 2>/dev/null || true
      return 0
    fi
    sleep 0.1
  done
  kill -KILL -- "-$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  return 3
}

stop_all() {
  local p
  for p in "${BENCH_PIDS[@]}"; do
    stop_group "$p" || true
  done
  BENCH_PIDS=()
}

# wait_listen PORT SECONDS: true once something listens on PORT; checked without connecting,
# because a probe connection through a relay would reach the target as a stray client.
wait_listen() {
  local port=$1 deadline=$((SECONDS + $2))
  while ((SECONDS <= deadline)); do
    [[ -n $(ss -Hltn "sport = :$port" 2>/dev/null) ]] && return 0
    sleep 0.05
  done
  return 1
}

# wait_line FILE REGEX SECONDS: prints the first line of FILE matching REGEX once it appears.
wait_line() {
  local file=$1 re=$2 deadline=$((SECONDS + $3)) line
  while ((SECONDS <= deadline)); do
    line=$(grep -m1 -E "$re" "$file" 2>/dev/null || true)
    if [[ -n $line ]]; then
      printf '%s\n' "$line"
      return 0
    fi
    sleep 0.05
  done
  return 1
}

# parse_listening LINE: "listening <address> <port>" -> "<address> <port>", or failure.
parse_listening() {
  local w1 addr port rest
  read -r w1 addr port rest <<<"$1"
  [[ $w1 == listening && -n $addr && -z $rest && $port =~ ^[0-9]+$ ]] && ((port > 0 && port < 65536)) || return 1
  printf '%s %s\n' "$addr" "$port"
}

# iperf3 JSON (-J) on stdin -> what the receiving end counted: Gbit/s (parse_iperf_gbps) or bytes
# (parse_iperf_bytes); fails on an error report or no data.
parse_iperf_sum() {
  "$PY" -c '
import json, sys
try:
    d = json.load(sys.stdin)
except ValueError:
    sys.exit(1)
v = 0 if d.get("error") else d.get("end", {}).get("sum_received", {}).get(sys.argv[1], 0)
if not v > 0:
    sys.exit(1)
print("%.3f" % (v / 1e9) if sys.argv[1] == "bits_per_second" else int(v))
' "$1"
}
parse_iperf_gbps() { parse_iperf_sum bits_per_second; }
parse_iperf_bytes() { parse_iperf_sum bytes; }

# redis-benchmark -q output on stdin -> requests per second of PING_INLINE. A run cut short by its
# time limit has no summary line: its last progress line ("overall: N") is the figure then.
parse_redis_rps() {
  "$PY" -c '
import re, sys
text = sys.stdin.read().replace("\r", "\n")
final = re.findall(r"^PING_INLINE: ([0-9.]+) requests per second", text, re.M)
progress = re.findall(r"^PING_INLINE: rps=[^ ]* \(overall: ([0-9.]+)\)", text, re.M)
for v in (final[-1:] or progress[-1:]):
    if float(v) > 0:
        print("%.0f" % float(v))
        sys.exit(0)
sys.exit(1)
'
}

# proc_wakeups PID: voluntary context switches (each one a sleep that ended in a wake-up) of
# every thread of PID and of its live descendants. /proc/PID/status alone counts only the
# main thread, which in a relay with a thread per direction sleeps in a signal wait.
proc_wakeups() {
  local total=0 p t v
  local -a todo=("$1")
  while ((${#todo[@]})); do
    p=${todo[0]}
    todo=("${todo[@]:1}")
    for t in /proc/"$p"/task/*/status; do
      v=$(sed -n 's/^voluntary_ctxt_switches:[[:space:]]*//p' "$t" 2>/dev/null) || continue
      [[ $v =~ ^[0-9]+$ ]] && total=$((total + v))
    done
    local c
    for c in $(pgrep -P "$p" 2>/dev/null); do todo+=("$c"); done
  done
  echo "$total"
}

# per_second COUNT_BEFORE COUNT_AFTER SECONDS -> events per second, one decimal.
per_second() {
  awk -v a="$1" -v b="$2" -v s="$3" 'BEGIN { printf "%.1f\n", (b - a) / s }'
}

# proc_ticks PID: CPU clock ticks (user + system) of PID and all its live descendants, and of the
# children they have already reaped (socat forks one per connection, which ends with it).
proc_ticks() {
  local total=0 p stat rest t
  local -a todo=("$1") f
  while ((${#todo[@]})); do
    p=${todo[0]}
    todo=("${todo[@]:1}")
    stat=$(cat "/proc/$p/stat" 2>/dev/null) || continue
    # The command name may hold spaces and parentheses: the fields start after the last ")".
    rest=${stat##*) }
    read -ra f <<<"$rest"
    t=$((f[11] + f[12] + f[13] + f[14]))
    total=$((total + t))
    local c
    for c in $(pgrep -P "$p" 2>/dev/null); do todo+=("$c"); done
  done
  echo "$total"
}

# cpu_percent TICKS_BEFORE TICKS_AFTER SECONDS [CLK_TCK] -> % of one core.
cpu_percent() {
  local hz=${4:-$(getconf CLK_TCK)}
  awk -v a="$1" -v b="$2" -v s="$3" -v hz="$hz" 'BEGIN { printf "%.2f\n", (b - a) / hz / s * 100 }'
}

# cpu_per_gib TICKS_BEFORE TICKS_AFTER BYTES [CLK_TCK] -> CPU seconds per GiB, two decimals.
cpu_per_gib() {
  local hz=${4:-$(getconf CLK_TCK)}
  awk -v a="$1" -v b="$2" -v n="$3" -v hz="$hz" 'BEGIN {
    if (n !~ /^[0-9]+$/ || n + 0 == 0) { print "fail"; exit }
    printf "%.2f\n", (b - a) / hz / (n / 1073741824) }'
}

# proc_fds PID: open descriptors of PID.
proc_fds() {
  local fds=(/proc/"$1"/fd/*)
  echo "${#fds[@]}"
}

# proc_peak_mib PID: the highest resident size PID has had (VmHWM), in MiB with one decimal.
proc_peak_mib() {
  awk '/^VmHWM:/ { printf "%.1f\n", $2 / 1024 }' "/proc/$1/status"
}

# best A B -> the higher of two measurements; "fail" (or anything not a number) never wins.
best() {
  awk -v a="$1" -v b="$2" 'BEGIN {
    na = a ~ /^[0-9.]+$/; nb = b ~ /^[0-9.]+$/
    if (na && nb) print (a + 0 >= b + 0) ? a : b
    else if (na) print a
    else if (nb) print b
    else print "fail" }'
}

# least A B -> the lower of two measurements (latencies); "fail" never wins.
least() {
  awk -v a="$1" -v b="$2" 'BEGIN {
    na = a ~ /^-?[0-9.]+$/; nb = b ~ /^-?[0-9.]+$/
    if (na && nb) print (a + 0 <= b + 0) ? a : b
    else if (na) print a
    else if (nb) print b
    else print "fail" }'
}

# minus A B -> (A - B) * SCALE with one decimal (default scale 1000: milliseconds to
# microseconds), or "fail" when either is missing.
minus() {
  awk -v a="$1" -v b="$2" -v k="${3:-1000}" 'BEGIN {
    if (a !~ /^-?[0-9.]+$/ || b !~ /^-?[0-9.]+$/) { print "fail"; exit }
    printf "%.1f\n", (a - b) * k }'
}

# ratio A B -> A/B with two decimals, or "-" when either is missing or B is zero.
ratio() {
  awk -v a="$1" -v b="$2" 'BEGIN {
    if (a !~ /^[0-9.]+$/ || b !~ /^[0-9.]+$/ || b + 0 == 0) { print "-"; exit }
    printf "%.2f\n", a / b }'
}

# at_least A B MIN -> PASS when A/B >= MIN (unrounded), MISS when below, "n/a" when not measured.
at_least() {
  awk -v a="$1" -v b="$2" -v m="$3" 'BEGIN {
    if (a !~ /^[0-9.]+$/ || b !~ /^[0-9.]+$/ || b + 0 == 0) { print "n/a"; exit }
    print (a / b >= m + 0) ? "PASS" : "MISS" }'
}

# at_most A B MAX -> PASS when A <= MAX * B (a cost, such as added latency, against the peer's).
# A peer that measured no cost at all (B <= 0) leaves nothing to compare with: "n/a".
at_most() {
  awk -v a="$1" -v b="$2" -v m="$3" 'BEGIN {
    if (a !~ /^-?[0-9.]+$/ || b !~ /^-?[0-9.]+$/ || b + 0 <= 0) { print "n/a"; exit }
    print (a + 0 <= m * b) ? "PASS" : "MISS" }'
}

# not_above VALUE MAX -> PASS when VALUE <= MAX.
not_above() {
  awk -v v="$1" -v m="$2" 'BEGIN {
    if (v !~ /^[0-9.]+$/) { print "n/a"; exit }
    print (v + 0 <= m + 0) ? "PASS" : "MISS" }'
}
