#!/usr/bin/env bash
# Where KOVA's time goes in a bulk transfer: iperf3 through the headless host, once under perf
# (hot functions, context switches) and once under strace -c (system calls per relayed chunk).
# Usage: bash bench/profile.sh [SECONDS [STREAMS]]   (KOVA_BIN may name the binary; default: build it)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ROOT/bench/lib.sh"
SECS=${1:-5}
STREAMS=${2:-1}
[[ $SECS =~ ^[0-9]+$ && $STREAMS =~ ^[0-9]+$ ]] && ((SECS >= 1 && SECS <= 30 && STREAMS >= 1 && STREAMS <= 16)) || {
  echo "profile: SECONDS must be 1..30 and STREAMS 1..16" >&2
  exit 2
}
LOOP=127.0.0.1
for tool in iperf3 perf strace; do
  command -v "$tool" >/dev/null || {
    echo "profile: $tool is missing (apt-get install linux-perf strace iperf3)" >&2
    exit 2
  }
done

BENCH_DIR=$(mktemp -d /tmp/kova-profile.XXXXXX)
trap 'stop_all; rm -rf "$BENCH_DIR"' EXIT
trap 'exit 130' INT TERM

build_kova "$ROOT" || exit 2

IPERF_PORT=$(free_port)
start_bg iperf3-server iperf3 -s -B $LOOP -p "$IPERF_PORT"
wait_listen "$IPERF_PORT" 10 || exit 1
start_bg kova stdbuf -oL "$KOVA_BIN" --listen-address "$LOOP" --port 0 --server-text "$LOOP:$IPERF_PORT"
KOVA_PID=$LAST_PID
line=$(wait_line "$BENCH_DIR/kova.log" '^listening ' 10)
read -r addr port < <(parse_listening "$line")
is_loopback "$addr" || {
  echo "profile: KOVA listens on $addr, not loopback" >&2
  exit 2
}

run_iperf() { timeout $((SECS + 30)) iperf3 -c "$addr" -p "$port" -t "$SECS" -P "$STREAMS" -J --connect-timeout 5000 | parse_iperf_gbps || echo fail; }

stamp=$(date -u +%Y%m%dT%H%M%SZ)
mkdir -p "$ROOT/bench/results"
out=$ROOT/bench/results/profile-$stamp.txt
{
  echo "KOVA bulk profile, $stamp, ${SECS}s, iperf3 with $STREAMS stream(s), load $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "plain run: $(run_iperf) Gbit/s"
  echo
  echo "== perf: hottest symbols of kova-relay (children excluded) =="
  timeout $((SECS + 40)) perf record -q -o "$BENCH_DIR/perf.data" -g -p "$KOVA_PID" -- sleep $((SECS + 2)) 2>/dev/null &
  perf_pid=$!
  sleep 0.5
  echo "under perf: $(run_iperf) Gbit/s"
  wait "$perf_pid" || true
  perf report -q -i "$BENCH_DIR/perf.data" --no-children --stdio -F overhead,sym -g none 2>/dev/null |
    sed "s/[[:space:]]*$//" |
    grep -v "^$" | head -30 || true
  echo
  echo "== perf stat: scheduling of kova-relay during one run =="
  timeout $((SECS + 40)) perf stat -e task-clock,context-switches,cpu-migrations -p "$KOVA_PID" \
    -o "$BENCH_DIR/stat.txt" -- sleep $((SECS + 1)) 2>/dev/null &
  stat_pid=$!
  sleep 0.5
  echo "under perf stat: $(run_iperf) Gbit/s"
  wait "$stat_pid" || true
  grep -E 'task-clock|context-switches|cpu-migrations|elapsed' "$BENCH_DIR/stat.txt" || true
  echo
  echo "== strace -c: system calls of all KOVA threads during one run =="
  timeout $((SECS + 40)) strace -c -f -q -p "$KOVA_PID" -o "$BENCH_DIR/strace.txt" &
  strace_pid=$!
  sleep 0.5
  echo "under strace: $(run_iperf) Gbit/s (strace slows every call; look at the counts, not the rate)"
  kill -INT "$strace_pid" 2>/dev/null || true
  wait "$strace_pid" || true
  head -25 "$BENCH_DIR/strace.txt" || true
} | tee "$out"
echo "written to ${out#"$ROOT"/}"
