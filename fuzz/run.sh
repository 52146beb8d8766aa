#!/usr/bin/env bash
# fuzz/run.sh BUILD_DIR SECONDS: runs each fuzz target for SECONDS, one after the other (one core),
# starting from its checked-in corpus; SECONDS 0 only replays that corpus, failing on any finding.
# New inputs go to BUILD_DIR/fuzz-work/<target>, findings to BUILD_DIR/fuzz-findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?build folder}
seconds=${2:-60}
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

max_len() {  # the longest input worth trying per target
  case $1 in socks) echo 1024 ;; http) echo 8192 ;; texts) echo 512 ;; allow) echo 2048 ;; *) echo 4096 ;; esac
}

ran=0
for dir in fuzz/corpus/*/; do
  name=$(basename "$dir")
  bin=$build/fuzz/fuzz_$name
  log=$build/fuzz-$name.log
  if [[ ! -x $bin ]]; then
    # Every corpus has its target; a replay that silently skips one guards nothing.
    echo "fuzz: $bin not built"
    exit 1
  fi
  status=0
  if [[ $seconds -eq 0 ]]; then
    "$bin" "$dir"* >"$log" 2>&1 || status=$?
    [[ $status -eq 0 ]] && echo "fuzz: $name: $(ls "$dir" | wc -l) corpus inputs replayed clean"
  else
    work=$build/fuzz-work/$name findings=$build/fuzz-findings
    mkdir -p "$work" "$findings"
    "$bin" -max_total_time="$seconds" -max_len="$(max_len "$name")" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$findings/$name-" "$work" "$dir" >"$log" 2>&1 || status=$?
    echo "fuzz: $name: $(grep -E '^Done ' "$log" || echo 'stopped'), corpus $(ls "$work" | wc -l) inputs"
  fi
  if [[ $status -ne 0 ]]; then
    tail -n 40 "$log"
    echo "fuzz: $name failed (log: $log); a finding's input is named in the lines above"
    exit 1
  fi
  ran=$((ran + 1))
done
[[ $ran -gt 0 ]] || { echo "fuzz: no target built"; exit 1; }
echo "fuzz: $ran passed, 0 failed"
