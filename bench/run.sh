#!/usr/bin/env bash
# Measures the KOVA relay against socat, rinetd, haproxy (tcp mode, with and without splicing) and
# the direct path, all on loopback, and prints one table with KOVA/peer ratios from the same run,
# plain and as a Markdown table ready for bench/README.md. See bench/README.md.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=bench/lib.sh
source "$ROOT/bench/lib.sh"

# Sizes. BENCH_QUICK=1 shrinks everything to check the harness itself in a few seconds.
BULK_SECS=5
REQ_SECS=3
CHURN_CLIENTS=8
IDLE_RELAYS=50
IDLE_SECS=10
LAT_REQUESTS=20000
ROUNDS=${BENCH_ROUNDS:-2}
if [[ ${BENCH_QUICK:-0} == 1 ]]; then
  BULK_SECS=1 REQ_SECS=1 IDLE_SECS=2 ROUNDS=1 LAT_REQUESTS=2000
fi
LOOP=127.0.0.1
PEERS=(direct kova socat rinetd haproxy hapsplice)
RELAYS=(kova socat rinetd haproxy hapsplice)
MEM_STREAMS=49 # with iperf3's control connection, 50 relays: every connection slot of a host

die() {
  echo "bench: $*" >&2
  exit 2
}

for tool in g++ iperf3 redis-server redis-benchmark redis-cli socat rinetd haproxy microsocks proxychains4 python3 ss setsid pgrep; do
  command -v "$tool" >/dev/null || die "$tool is missing; run: bash scripts/setup.sh bench"
done

# The harness checks its own verdict logic and loopback guard before it trusts a single figure.
if [[ ${BENCH_SKIP_SELFTEST:-0} != 1 ]]; then
  bash "$ROOT/bench/selftest.sh" >/dev/null || die "bench/selftest.sh failed; run it to see why"
fi

BENCH_DIR=$(mktemp -d /tmp/kova-bench.XXXXXX)
declare -A KOVA_NAMES # pid -> name of every relay host started
finish() {
  local rc=$? p
  # The relay hosts go first and one by one: each must end on SIGTERM by itself.
  for p in "${!KOVA_NAMES[@]}"; do
    stop_group "$p" || echo "bench: ${KOVA_NAMES[$p]} did not end within 3 s of SIGTERM and was killed" >&2
  done
  stop_all
  if ((rc == 0)) && [[ ${BENCH_KEEP:-0} != 1 ]]; then
    rm -rf "$BENCH_DIR"
  else
    echo "bench: logs kept in $BENCH_DIR" >&2
  fi
}
trap finish EXIT
trap 'exit 130' INT TERM

# --- the relay under test: a release build of the headless host ------------------------------

# start_kova NAME ARGS...: starts a headless relay on a kernel-chosen port; sets KOVA_HOST/KOVA_PORT.
# BENCH_NO_LISTEN_ADDRESS=1 leaves out --listen-address for builds that predate it; the check
# of the reported address below is what keeps traffic on loopback then.
start_kova() {
  local name=$1 line addr port
  local -a listen=(--listen-address "$LOOP")
  [[ ${BENCH_NO_LISTEN_ADDRESS:-0} == 1 ]] && listen=()
  shift
  start_bg "$name" stdbuf -oL "$KOVA_BIN" "${listen[@]}" --port 0 "$@"
  KOVA_PID=$LAST_PID
  KOVA_NAMES[$KOVA_PID]=$name
  line=$(wait_line "$BENCH_DIR/$name.log" '^listening ' 10) || die "$name did not report listening (see $BENCH_DIR/$name.log)"
  read -r addr port < <(parse_listening "$line") || die "$name: unexpected line: $line"
  # The host listens on the machine's first address; anything but loopback is never a target here.
  is_loopback "$addr" || die "$name listens on $addr, which is not loopback; refusing to send traffic there"
  KOVA_HOST=${addr#[}
  KOVA_HOST=${KOVA_HOST%]}
  KOVA_PORT=$port
}

# --- targets and peers --------------------------------------------------------------------------

declare -A HOST PORT PID
# HOST/PORT["peer:target"]: where a client connects to reach TARGET (iperf or redis) through PEER.

start_targets() {
  IPERF_PORT=$(free_port)
  start_bg iperf3-server iperf3 -s -B $LOOP -p "$IPERF_PORT"
  REDIS_PORT=$(free_port)
  start_bg redis-server redis-server --bind $LOOP --port "$REDIS_PORT" --save '' --appendonly no \
    --daemonize no --dir "$BENCH_DIR" --maxclients 2000 --logfile ''
  MS_PORT=$(free_port)
  start_bg microsocks microsocks -i $LOOP -p "$MS_PORT"
  wait_listen "$IPERF_PORT" 10 || die "iperf3 server did not start"
  wait_listen "$REDIS_PORT" 10 || die "redis-server did not start"
  wait_listen "$MS_PORT" 10 || die "microsocks did not start"
  HOST[direct:iperf]=$LOOP PORT[direct:iperf]=$IPERF_PORT
  HOST[direct:redis]=$LOOP PORT[direct:redis]=$REDIS_PORT
}

start_peers() {
  local t tport p
  local rinetd_conf=$BENCH_DIR/rinetd.conf haproxy_conf=$BENCH_DIR/haproxy.cfg
  local splice_conf=$BENCH_DIR/hapsplice.cfg
  : >"$rinetd_conf"
  cat >"$haproxy_conf" <<EOF
global
  maxconn 4000
defaults
  mode tcp
  timeout connect 5s
  timeout client 120s
  timeout server 120s
EOF
  # The same haproxy told to move bytes socket to socket through pipes, in a process of its own so
  # that its CPU time is its own.
  sed 's/^  mode tcp$/  mode tcp\n  option splice-request\n  option splice-response/' "$haproxy_conf" >"$splice_conf"
  for t in iperf redis; do
    tport=${PORT[direct:$t]}

    start_kova "kova-$t" --server-text "$LOOP:$tport" --servers "$LOOP:$tport"
    HOST[kova:$t]=$KOVA_HOST PORT[kova:$t]=$KOVA_PORT PID[kova:$t]=$KOVA_PID

    p=$(free_port)
    start_bg "socat-$t" socat "TCP-LISTEN:$p,bind=$LOOP,fork,reuseaddr,backlog=128" "TCP:$LOOP:$tport"
    HOST[socat:$t]=$LOOP PORT[socat:$t]=$p PID[socat:$t]=$LAST_PID

    p=$(free_port)
    echo "$LOOP $p $LOOP $tport" >>"$rinetd_conf"
    HOST[rinetd:$t]=$LOOP PORT[rinetd:$t]=$p

    p=$(free_port)
    printf 'frontend f_%s\n  bind %s:%s\n  default_backend b_%s\nbackend b_%s\n  server s1 %s:%s\n' \
      "$t" $LOOP "$p" "$t" "$t" $LOOP "$tport" >>"$haproxy_conf"
    HOST[haproxy:$t]=$LOOP PORT[haproxy:$t]=$p

    p=$(free_port)
    printf 'frontend f_%s\n  bind %s:%s\n  default_backend b_%s\nbackend b_%s\n  server s1 %s:%s\n' \
      "$t" $LOOP "$p" "$t" "$t" $LOOP "$tport" >>"$splice_conf"
    HOST[hapsplice:$t]=$LOOP PORT[hapsplice:$t]=$p
  done
  start_bg rinetd rinetd -f -c "$rinetd_conf"
  PID[rinetd:iperf]=$LAST_PID PID[rinetd:redis]=$LAST_PID
  start_bg haproxy haproxy -db -f "$haproxy_conf"
  PID[haproxy:iperf]=$LAST_PID PID[haproxy:redis]=$LAST_PID
  start_bg hapsplice haproxy -db -f "$splice_conf"
  PID[hapsplice:iperf]=$LAST_PID PID[hapsplice:redis]=$LAST_PID
  for p in socat rinetd haproxy hapsplice; do
    for t in iperf redis; do
      wait_listen "${PORT[$p:$t]}" 10 || die "$p did not listen on ${PORT[$p:$t]} (see $BENCH_DIR)"
    done
  done
}

# --- measurements ---------------------------------------------------------------------------------

# bulk HOST PORT STREAMS RELAY_PID [WRAPPER...]: "GBIT/S CPU" where CPU is the relay process's
# user + system seconds per GiB received ("-" without a relay process), or "fail fail".
bulk() {
  local host=$1 port=$2 streams=$3 pid=$4 out t0=0 t1=0 cpu=-
  shift 4
  for _ in 1 2 3; do
    [[ $pid == - ]] || t0=$(proc_ticks "$pid")
    # The server takes one test at a time and may still be closing the previous one.
    if out=$(timeout $((BULK_SECS + 30)) "$@" iperf3 -c "$host" -p "$port" -t "$BULK_SECS" \
      -P "$streams" -J --connect-timeout 5000 2>>"$BENCH_DIR/iperf3-client.log") &&
      parse_iperf_gbps <<<"$out" >/dev/null; then
      [[ $pid == - ]] || t1=$(proc_ticks "$pid")
      [[ $pid == - ]] || cpu=$(cpu_per_gib "$t0" "$t1" "$(parse_iperf_bytes <<<"$out")")
      echo "$(parse_iperf_gbps <<<"$out") $cpu"
      return 0
    fi
    echo "$out" >>"$BENCH_DIR/iperf3-client.log"
    sleep 1
  done
  echo fail fail
}

# ping_rps HOST PORT CLIENTS KEEPALIVE [WRAPPER...]: requests/s of one REQ_SECS run, or "fail".
# Bounded by time, not count: a slow peer must not stretch the run.
ping_rps() {
  local host=$1 port=$2 clients=$3 keep=$4 out
  shift 4
  # Cut short by its time limit on purpose, so its status says nothing; the output does.
  out=$(timeout -s INT "$REQ_SECS" "$@" redis-benchmark -h "$host" -p "$port" -t ping_inline \
    -n 1000000000 -c "$clients" -k "$keep" -q 2>>"$BENCH_DIR/redis-benchmark.log") || true
  parse_redis_rps <<<"$out" && return 0
  echo "$out" >>"$BENCH_DIR/redis-benchmark.log"
  echo fail
}

# latency HOST PORT: "P50 P99" in ms of LAT_REQUESTS single PINGs, one at a time over one
# connection (bench/pingtime.cpp), or "fail fail".
latency() {
  local out
  if out=$(timeout 120 "$PINGTIME" "$1" "$2" "$LAT_REQUESTS" 2>>"$BENCH_DIR/pingtime.log") &&
    [[ $out =~ ^[0-9.]+\ [0-9.]+$ ]]; then
    echo "$out"
  else
    echo "fail fail"
  fi
}

declare -A R # R["metric:peer"] = value

measure_all() {
  local peer r order n gbps cpu
  # Rounds alternate the order of the peers so that a drifting machine load favours none of them.
  for ((r = 0; r < ROUNDS; r++)); do
    order=("${PEERS[@]}")
    ((r % 2)) && mapfile -t order < <(printf '%s\n' "${PEERS[@]}" | tac)
    for peer in "${order[@]}"; do
      for n in 1 8; do
        progress "round $((r + 1)): bulk $n stream(s) via $peer"
        read -r gbps cpu < <(bulk "${HOST[$peer:iperf]}" "${PORT[$peer:iperf]}" $n "${PID[$peer:iperf]:--}")
        R[bulk$n:$peer]=$(best "${R[bulk$n:$peer]:-fail}" "$gbps")
        # The cost of the faster round: a round slowed by other work also spreads its CPU thinner.
        [[ ${R[bulk$n:$peer]} == "$gbps" ]] && R[cpu$n:$peer]=$cpu
      done
    done
  done
  for ((r = 0; r < ROUNDS; r++)); do
    order=("${PEERS[@]}")
    ((r % 2)) && mapfile -t order < <(printf '%s\n' "${PEERS[@]}" | tac)
    for peer in "${order[@]}"; do
      local h=${HOST[$peer:redis]} p=${PORT[$peer:redis]}
      progress "round $((r + 1)): PING 1 client, 40 clients, churn via $peer"
      R[ping1:$peer]=$(best "${R[ping1:$peer]:-fail}" "$(ping_rps "$h" "$p" 1 1)")
      R[ping40:$peer]=$(best "${R[ping40:$peer]:-fail}" "$(ping_rps "$h" "$p" 40 1)")
      R[churn:$peer]=$(best "${R[churn:$peer]:-fail}" "$(ping_rps "$h" "$p" $CHURN_CLIENTS 0)")
      progress "round $((r + 1)): latency of $LAT_REQUESTS single requests via $peer"
      local l50 l99
      read -r l50 l99 < <(latency "$h" "$p")
      R[lat50:$peer]=$(least "${R[lat50:$peer]:-fail}" "$l50")
      R[lat99:$peer]=$(least "${R[lat99:$peer]:-fail}" "$l99")
    done
  done
  # What each relay adds to a request's median, in microseconds.
  for peer in "${PEERS[@]}"; do
    [[ $peer == direct ]] && continue
    R[added:$peer]=$(minus "${R[lat50:$peer]}" "${R[lat50:direct]}")
  done
}

redis_clients() {
  redis-cli -h $LOOP -p "$REDIS_PORT" info clients 2>/dev/null | sed -n 's/^connected_clients:\([0-9]*\).*/\1/p'
}

# Idle cost: IDLE_RELAYS idle relays through each relay at once, CPU and wake-ups of each relay
# process over the same IDLE_SECS. KOVA gets a fresh host so that nothing from earlier runs is
# counted.
measure_idle() {
  local peer base want deadline t1 w0 w1 secs
  local -A tick0 wake0 holder
  start_kova kova-idle --server-text "$LOOP:$REDIS_PORT" --servers "$LOOP:$REDIS_PORT"
  HOST[kova:idle]=$KOVA_HOST PORT[kova:idle]=$KOVA_PORT PID[kova:idle]=$KOVA_PID
  base=$(redis_clients)
  for peer in "${RELAYS[@]}"; do
    local key=$peer:redis
    [[ $peer == kova ]] && key=kova:idle
    start_bg "hold-$peer" "$PY" "$ROOT/bench/hold.py" "${HOST[$key]}" "${PORT[$key]}" $IDLE_RELAYS $((IDLE_SECS + 40))
    holder[$peer]=$LAST_PID
  done
  # Every relay is idle only once its upstream side is connected too: count them at the target.
  want=$((base + ${#RELAYS[@]} * IDLE_RELAYS))
  deadline=$((SECONDS + 20))
  while (($(redis_clients) < want)); do
    ((SECONDS <= deadline)) || {
      echo "bench: only $(($(redis_clients) - base)) of $((${#RELAYS[@]} * IDLE_RELAYS)) idle relays reached the target" >&2
      break
    }
    sleep 0.1
  done
  w0=$(date +%s.%N)
  for peer in "${RELAYS[@]}"; do
    local key=$peer:redis
    [[ $peer == kova ]] && key=kova:idle
    tick0[$peer]=$(proc_ticks "${PID[$key]}")
    wake0[$peer]=$(proc_wakeups "${PID[$key]}")
  done
  sleep "$IDLE_SECS"
  w1=$(date +%s.%N)
  secs=$(awk -v a="$w0" -v b="$w1" 'BEGIN { print b - a }')
  for peer in "${RELAYS[@]}"; do
    local key=$peer:redis
    [[ $peer == kova ]] && key=kova:idle
    t1=$(proc_ticks "${PID[$key]}")
    R[idle:$peer]=$(cpu_percent "${tick0[$peer]}" "$t1" "$secs")
    R[wake:$peer]=$(per_second "${wake0[$peer]}" "$(proc_wakeups "${PID[$key]}")" "$secs")
    if ! kill -0 "${holder[$peer]}" 2>/dev/null; then
      # the holder ends early only when the relay dropped an idle client
      R[idle:$peer]=fail R[wake:$peer]=fail
    fi
  done
  R[idle:direct]=- R[wake:direct]=-
  for peer in "${RELAYS[@]}"; do stop_group "${holder[$peer]}"; done
}

# Through a SOCKS 5 proxy: client -> KOVA -> microsocks -> target, against the same client made
# to speak SOCKS 5 to microsocks itself (proxychains4 wraps its connect calls).
measure_socks() {
  local pc=$BENCH_DIR/proxychains.conf
  printf 'strict_chain\nquiet_mode\ntcp_read_time_out 15000\ntcp_connect_time_out 8000\n[ProxyList]\nsocks5 %s %s\n' \
    $LOOP "$MS_PORT" >"$pc"
  start_kova kova-socks-iperf --proxy-type 3 --proxy "$LOOP:$MS_PORT" --server-text "$LOOP:$IPERF_PORT" --servers "$LOOP:$IPERF_PORT"
  local kh=$KOVA_HOST kp=$KOVA_PORT
  start_kova kova-socks-redis --proxy-type 3 --proxy "$LOOP:$MS_PORT" --server-text "$LOOP:$REDIS_PORT" --servers "$LOOP:$REDIS_PORT"
  local rh=$KOVA_HOST rp=$KOVA_PORT
  local r gbps cpu
  for ((r = 0; r < ROUNDS; r++)); do
    progress "SOCKS 5 bulk round $((r + 1)), client speaking SOCKS and via KOVA"
    read -r gbps cpu < <(bulk $LOOP "$IPERF_PORT" 1 - proxychains4 -q -f "$pc")
    S[bulk:direct]=$(best "${S[bulk:direct]:-fail}" "$gbps")
    read -r gbps cpu < <(bulk "$kh" "$kp" 1 -)
    S[bulk:kova]=$(best "${S[bulk:kova]:-fail}" "$gbps")
  done
  for ((r = 0; r < ROUNDS; r++)); do
    progress "SOCKS 5 PING round $((r + 1)), client speaking SOCKS and via KOVA"
    if ((r % 2 == 0)); then
      S[ping1:direct]=$(best "${S[ping1:direct]:-fail}" "$(ping_rps $LOOP "$REDIS_PORT" 1 1 proxychains4 -q -f "$pc")")
      S[ping1:kova]=$(best "${S[ping1:kova]:-fail}" "$(ping_rps "$rh" "$rp" 1 1)")
    else
      S[ping1:kova]=$(best "${S[ping1:kova]:-fail}" "$(ping_rps "$rh" "$rp" 1 1)")
      S[ping1:direct]=$(best "${S[ping1:direct]:-fail}" "$(ping_rps $LOOP "$REDIS_PORT" 1 1 proxychains4 -q -f "$pc")")
    fi
  done
}
declare -A S

# Memory and descriptors under load: a fresh host carries MEM_STREAMS + 1 relays (iperf3's
# streams and its control connection) moving bulk at once; its peak resident size (VmHWM) counts,
# and its descriptors while they run, against the same host before the load.
measure_memory() {
  local pid fds0 fds1
  start_kova kova-mem --server-text "$LOOP:$IPERF_PORT" --servers "$LOOP:$IPERF_PORT"
  pid=$KOVA_PID
  fds0=$(proc_fds "$pid")
  timeout $((BULK_SECS + 30)) iperf3 -c "$KOVA_HOST" -p "$KOVA_PORT" -t $((BULK_SECS + 2)) -P $MEM_STREAMS -J \
    --connect-timeout 5000 >"$BENCH_DIR/iperf3-memory.json" 2>>"$BENCH_DIR/iperf3-client.log" &
  local client=$! deadline=$((SECONDS + BULK_SECS))
  # Sampled once every relay stands and moves: each holds its two sockets by then.
  while ((SECONDS <= deadline)) && (($(proc_fds "$pid") < fds0 + 2 * (MEM_STREAMS + 1))); do sleep 0.1; done
  sleep 1
  fds1=$(proc_fds "$pid")
  if wait "$client" && parse_iperf_gbps <"$BENCH_DIR/iperf3-memory.json" >/dev/null; then
    R[mem:kova]=$(proc_peak_mib "$pid")
    R[fds:kova]=$(awk -v a="$fds0" -v b="$fds1" -v n=$((MEM_STREAMS + 1)) 'BEGIN { printf "%.1f\n", (b - a) / n }')
  else
    R[mem:kova]=fail R[fds:kova]=fail
  fi
}

progress() { printf '  .. %s\n' "$*" >&2; }

# --- report ---------------------------------------------------------------------------------------

# row ROW: sets label, unit, kind and limit of one table row. The best peer is the better of
# rinetd and haproxy (tcp mode, as it comes). kind: bulk = at least LIMIT x the best peer and at
# least 1.0x haproxy with splicing; more = at least LIMIT x the best peer; less = a cost, at most
# LIMIT x the best peer's; cap = an absolute ceiling; info = no target.
ROWS=(bulk1 bulk8 cpu1 cpu8 ping1 ping40 churn lat50 lat99 added idle wake mem fds)
row() {
  case $1 in
    bulk1) label="bulk, 1 stream" unit=Gbit/s kind=bulk limit=1.2 ;;
    bulk8) label="bulk, 8 streams" unit=Gbit/s kind=bulk limit=1.2 ;;
    cpu1) label="CPU per GiB, 1 stream" unit=s/GiB kind=info ;;
    cpu8) label="CPU per GiB, 8 streams" unit=s/GiB kind=info ;;
    ping1) label="PING, 1 client" unit=req/s kind=more limit=1.0 ;;
    ping40) label="PING, 40 clients" unit=req/s kind=more limit=0.8 ;;
    churn) label="churn -k 0, $CHURN_CLIENTS clients" unit=req/s kind=more limit=0.8 ;;
    lat50) label="latency p50, 1 client" unit=ms kind=info ;;
    lat99) label="latency p99, 1 client" unit=ms kind=info ;;
    added) label="latency added, p50" unit=us kind=less limit=1.0 ;;
    idle) label="idle, $IDLE_RELAYS relays ${IDLE_SECS}s" unit=%core kind=cap limit=0 ;;
    wake) label="idle wake-ups" unit=1/s kind=cap limit=3 ;;
    mem) label="RSS, $((MEM_STREAMS + 1)) bulk relays" unit=MiB kind=cap limit=16 ;;
    fds) label="descriptors per bulk relay" unit=fds kind=info ;;
  esac
}

# verdict ROW: sets kb (KOVA against the peer the target names), target and verdict.
verdict() {
  local k=${R[$1:kova]:-fail} other
  kb=- target=- verdict=-
  case $kind in
    bulk)
      other=$(best "${R[$1:rinetd]:-fail}" "${R[$1:haproxy]:-fail}")
      kb=$(ratio "$k" "$other") target=">=${limit}x best, >=1.0x hap+spl"
      verdict=$(at_least "$k" "$other" "$limit")
      [[ $verdict == PASS ]] && verdict=$(at_least "$k" "${R[$1:hapsplice]:-fail}" 1.0) ;;
    more)
      other=$(best "${R[$1:rinetd]:-fail}" "${R[$1:haproxy]:-fail}")
      kb=$(ratio "$k" "$other") target=">=${limit}x best peer" verdict=$(at_least "$k" "$other" "$limit") ;;
    less)
      other=$(least "${R[$1:rinetd]:-fail}" "${R[$1:haproxy]:-fail}")
      kb=$(ratio "$k" "$other") target="<=${limit}x best peer" verdict=$(at_most "$k" "$other" "$limit") ;;
    cap) target="<=${limit}" verdict=$(not_above "$k" "$limit") ;;
  esac
}

report() {
  local r label unit kind limit kb target verdict peer
  local fmt='%-26s %-6s | %8s %8s %8s %8s %8s %8s | %6s %6s %6s %6s %6s | %6s | %-30s %s\n'
  printf "$fmt" metric unit direct KOVA socat rinetd haproxy hap+spl K/dir K/soc K/rin K/hap K/hsp K/best target result
  printf '%.0s-' {1..150}
  echo
  for r in "${ROWS[@]}"; do
    row "$r"
    verdict "$r"
    local k=${R[$r:kova]:-fail} rs=()
    for peer in direct socat rinetd haproxy hapsplice; do rs+=("$(ratio "$k" "${R[$r:$peer]:-}")"); done
    printf "$fmt" "$label" "$unit" "${R[$r:direct]:--}" "$k" "${R[$r:socat]:--}" "${R[$r:rinetd]:--}" \
      "${R[$r:haproxy]:--}" "${R[$r:hapsplice]:--}" "${rs[@]}" "$kb" "$target" "$verdict"
  done
  echo
  echo "Through a SOCKS 5 proxy (microsocks): KOVA -> microsocks -> target, against the client speaking SOCKS 5 itself"
  local sfmt='%-26s %-6s | %16s %16s | %8s | %-10s %s\n'
  printf "$sfmt" metric unit "client->SOCKS" "KOVA->SOCKS" K/client target result
  printf "$sfmt" "bulk, 1 stream" Gbit/s "${S[bulk:direct]}" "${S[bulk:kova]}" "$(ratio "${S[bulk:kova]}" "${S[bulk:direct]}")" \
    ">=1.0x" "$(at_least "${S[bulk:kova]}" "${S[bulk:direct]}" 1.0)"
  printf "$sfmt" "PING, 1 client" req/s "${S[ping1:direct]}" "${S[ping1:kova]}" "$(ratio "${S[ping1:kova]}" "${S[ping1:direct]}")" - -
}

# The same figures as Markdown rows for the results table of bench/README.md.
report_markdown() {
  local r label unit kind limit kb target verdict
  echo "| row | unit | direct | KOVA | socat | rinetd | haproxy | haproxy + splice | KOVA / target's peer | target | result |"
  echo "|---|---|---|---|---|---|---|---|---|---|---|"
  for r in "${ROWS[@]}"; do
    row "$r"
    verdict "$r"
    printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$label" "$unit" "${R[$r:direct]:--}" \
      "${R[$r:kova]:-fail}" "${R[$r:socat]:--}" "${R[$r:rinetd]:--}" "${R[$r:haproxy]:--}" "${R[$r:hapsplice]:--}" \
      "$kb" "${target//|/\\|}" "$verdict"
  done
  printf '| %s | %s | %s (client speaking SOCKS 5) | %s | | | | | %s | %s | %s |\n' "SOCKS 5 path, bulk 1 stream" Gbit/s \
    "${S[bulk:direct]}" "${S[bulk:kova]}" "$(ratio "${S[bulk:kova]}" "${S[bulk:direct]}")" ">=1.0x" \
    "$(at_least "${S[bulk:kova]}" "${S[bulk:direct]}" 1.0)"
  printf '| %s | %s | %s (client speaking SOCKS 5) | %s | | | | | %s | - | - |\n' "SOCKS 5 path, PING 1 client" req/s \
    "${S[ping1:direct]}" "${S[ping1:kova]}" "$(ratio "${S[ping1:kova]}" "${S[ping1:direct]}")"
}

# --- main -----------------------------------------------------------------------------------------

main() {
  local stamp results
  stamp=$(date -u +%Y%m%dT%H%M%SZ)
  mkdir -p "$ROOT/bench/results"
  results=$ROOT/bench/results/$stamp.txt

  echo "bench: building kova-relay" >&2
  build_kova "$ROOT" || exit 2
  build_pingtime "$ROOT" || exit 2
  start_targets
  start_peers
  local load
  load=$(cut -d' ' -f1 /proc/loadavg)
  if awk -v l="$load" 'BEGIN { exit !(l >= 1) }'; then
    echo "bench: load average is $load: other work on the machine will distort the figures" >&2
  fi
  echo "bench: measuring (about 8 minutes)" >&2
  measure_all
  measure_socks
  progress "memory and descriptors with $((MEM_STREAMS + 1)) bulk relays"
  measure_memory
  progress "idle cost"
  measure_idle

  {
    echo "KOVA relay benchmark, $stamp, $(uname -r), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "relay: $KOVA_BIN"
    echo "bulk: iperf3 ${BULK_SECS}s; PING: redis-benchmark PING_INLINE ${REQ_SECS}s runs, best of $ROUNDS;" \
      "latency: $LAT_REQUESTS requests, lowest of $ROUNDS"
    echo
    report
  } | tee "$results.tmp"
  mv "$results.tmp" "$results"
  {
    echo "Measured $stamp, $(uname -r), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg) at the end:"
    echo
    report_markdown
  } >"${results%.txt}.md"
  echo
  echo "For bench/README.md (also in ${results#"$ROOT"/}, .md):"
  cat "${results%.txt}.md"
  local pass=0 miss=0 v
  for v in $(grep -oE ' (PASS|MISS|n/a)$' "$results"); do
    case $v in PASS) pass=$((pass + 1)) ;; *) miss=$((miss + 1)) ;; esac
  done
  echo
  echo "targets: $pass PASS, $miss MISS or not measured; written to ${results#"$ROOT"/}"
}

main "$@"
