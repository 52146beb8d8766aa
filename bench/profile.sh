#!/usr/bin/env bash
# Where KOVA's time goes. Three loads through the headless host, each once under perf (hottest
# functions), once counted from /proc (context switches) and once under strace -c (system calls):
#   bulk  iperf3 with STREAMS streams; calls per relayed 8 KiB chunk
#   ping  redis-benchmark PING, N keep-alive clients (1); calls per request
#   churn redis-benchmark PING, N clients (8), a new connection (a new relay) per request; calls per relay
# Usage: bash bench/profile.sh [bulk|ping|churn] [SECONDS [N]]   (N: streams or clients; default: bulk 5 1)
# KOVA_BIN may name the binary (default: build it); BENCH_NO_LISTEN_ADDRESS=1 as in run.sh.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ROOT/bench/lib.sh"
MODE=bulk
[[ ${1:-} =~ ^(bulk|ping|churn)$ ]] && { MODE=$1; shift; }
SECS=${1:-5}
N=${2:-}
[[ -z $N ]] && N=$([[ $MODE == churn ]] && echo 8 || echo 1)
[[ $SECS =~ ^[0-9]+$ && $N =~ ^[0-9]+$ ]] && ((SECS >= 1 && SECS <= 30 && N >= 1 && N <= 64)) || {
  echo "profile: usage: profile.sh [bulk|ping|churn] [SECONDS 1..30 [STREAMS or CLIENTS 1..64]]" >&2
  exit 2
}
STREAMS=$N
LOOP=127.0.0.1
tools=(perf strace)
if [[ $MODE == bulk ]]; then tools+=(iperf3); else tools+=(redis-server redis-benchmark); fi
for tool in "${tools[@]}"; do
  command -v "$tool" >/dev/null || {
    echo "profile: $tool is missing; run: bash scripts/setup.sh bench" >&2
    exit 2
  }
done

BENCH_DIR=$(mktemp -d /tmp/kova-profile.XXXXXX)
trap 'stop_all; rm -rf "$BENCH_DIR"' EXIT
trap 'exit 130' INT TERM

build_kova "$ROOT" || exit 2

TARGET_PORT=$(free_port)
if [[ $MODE == bulk ]]; then
  start_bg iperf3-server iperf3 -s -B $LOOP -p "$TARGET_PORT"
else
  start_bg redis-server redis-server --bind $LOOP --port "$TARGET_PORT" --save '' --appendonly no \
    --daemonize no --dir "$BENCH_DIR" --maxclients 2000 --logfile ''
fi
wait_listen "$TARGET_PORT" 10 || exit 1
listen=(--listen-address "$LOOP")
[[ ${BENCH_NO_LISTEN_ADDRESS:-0} == 1 ]] && listen=()
start_bg kova stdbuf -oL "$KOVA_BIN" "${listen[@]}" --port 0 --server-text "$LOOP:$TARGET_PORT"
KOVA_PID=$LAST_PID
line=$(wait_line "$BENCH_DIR/kova.log" '^listening ' 10)
read -r addr port < <(parse_listening "$line")
is_loopback "$addr" || {
  echo "profile: KOVA listens on $addr, not loopback" >&2
  exit 2
}

# run_timed: the load for SECS seconds; prints its rate.
# run_counted: a fixed amount of work; prints its size (chunks, requests or relays) for the division.
case $MODE in
  bulk)
    run_timed() { timeout $((SECS + 30)) iperf3 -c "$addr" -p "$port" -t "$SECS" -P "$STREAMS" -J --connect-timeout 5000 | parse_iperf_gbps || echo fail; }
    UNIT="8 KiB chunk"
    RATE=Gbit/s
    ;;
  ping | churn)
    CLIENTS=$N KEEP=1 COUNT=20000
    [[ $MODE == churn ]] && KEEP=0 COUNT=4000
    run_timed() {
      local out
      out=$(timeout -s INT "$SECS" redis-benchmark -h "$addr" -p "$port" -t ping_inline -n 1000000000 \
        -c $CLIENTS -k $KEEP -q 2>/dev/null) || true
      parse_redis_rps <<<"$out" || echo fail
    }
    UNIT=$([[ $MODE == ping ]] && echo request || echo "relay (one request)")
    RATE=req/s
    ;;
esac
# The counted run of ping and churn is a fixed number of requests; bulk divides by the bytes.
run_counted() {
  if [[ $MODE == bulk ]]; then
    local out
    out=$(timeout $((SECS + 30)) iperf3 -c "$addr" -p "$port" -t "$SECS" -P "$STREAMS" -J --connect-timeout 5000)
    "$PY" -c 'import json,sys; print(int(json.load(sys.stdin)["end"]["sum_received"]["bytes"] / 8192))' <<<"$out"
  else
    timeout 120 redis-benchmark -h "$addr" -p "$port" -t ping_inline -n $COUNT -c $CLIENTS -k $KEEP -q >/dev/null 2>&1
    echo $COUNT
  fi
}
# Context switches of every thread of the host, voluntary (a sleep ended) and involuntary.
switches() {
  local v=0 n=0 f a b
  for f in /proc/"$KOVA_PID"/task/*/status; do
    read -r a b < <(awk '/^voluntary_ctxt_switches/ { v = $2 } /^nonvoluntary_ctxt_switches/ { n = $2 } END { print v + 0, n + 0 }' "$f" 2>/dev/null) || continue
    v=$((v + a)) n=$((n + b))
  done
  echo "$v $n"
}

stamp=$(date -u +%Y%m%dT%H%M%SZ)
mkdir -p "$ROOT/bench/results"
out=$ROOT/bench/results/profile-$MODE-$stamp.txt
{
  echo "KOVA $MODE profile, $stamp, ${SECS}s, $N $([[ $MODE == bulk ]] && echo "stream(s)" || echo "client(s)"), load $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "relay: $KOVA_BIN"
  run_timed >/dev/null # warms up: worker threads are created once and kept
  echo "plain run: $(run_timed) $RATE"
  echo
  echo "== perf: hottest symbols of kova-relay, kernel included (children excluded) =="
  timeout $((SECS + 40)) perf record -q -o "$BENCH_DIR/perf.data" -g -p "$KOVA_PID" -- sleep $((SECS + 1)) 2>/dev/null &
  perf_pid=$!
  sleep 0.5
  echo "under perf: $(run_timed) $RATE"
  wait "$perf_pid" || true
  perf report -q -i "$BENCH_DIR/perf.data" --no-children --stdio -F overhead,sym -g none 2>/dev/null |
    sed "s/[[:space:]]*$//" | grep -v "^$" | head -40 || true
  echo
  echo "== context switches of every kova-relay thread per $UNIT =="
  read -r v0 n0 < <(switches)
  units=$(run_counted)
  read -r v1 n1 < <(switches)
  awk -v v=$((v1 - v0)) -v n=$((n1 - n0)) -v u="$units" 'BEGIN {
    printf "%d units: voluntary %d (%.2f each), involuntary %d (%.2f each)\n", u, v, v / u, n, n / u }'
  echo
  echo "== strace -c: system calls of every kova-relay thread per $UNIT =="
  timeout 200 strace -c -f -q -p "$KOVA_PID" -o "$BENCH_DIR/strace.txt" &
  strace_pid=$!
  sleep 1
  units=$(run_counted)
  kill -INT "$strace_pid" 2>/dev/null || true
  wait "$strace_pid" || true
  echo "$units units under strace (strace slows every call; look at the counts, not the time)"
  awk -v u="$units" '
    /^------/ { next }
    $NF == "syscall" { printf "%-16s %10s %10s\n", "syscall", "calls", "per unit"; next }
    NF >= 5 && $4 ~ /^[0-9]+$/ { printf "%-16s %10d %10.2f\n", $NF, $4, $4 / u }' "$BENCH_DIR/strace.txt" | head -30
} | tee "$out"
echo "written to ${out#"$ROOT"/}"
