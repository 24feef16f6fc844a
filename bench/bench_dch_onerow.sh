#!/bin/bash
# qdvp-dch's CPU per row with one row in flight (and at window 256), two builds of it side by
# side in one run: bench/rowroad.cpp's burst with each build's qdvp-dch and the same data
# provider, runs alternated, beside the minimal same-design program's agent (rowpath's forked
# child: recv, count, send an 8-byte ack, no store), whose CPU per row is read from
# /proc/PID/stat while it runs. Prints one key=value line per run (build=NAME), the load
# average at the start and at the end, and the medians (the harness's summarize.py).
#
# usage: bench/bench_dch_onerow.sh NAME=DCH NAME=DCH   (two qdvp-dch programs, e.g.
#          main=../main/build/default/bin/qdvp-dch now=build/default/bin/qdvp-dch)
#   BIN    where qdvp and qdvp_rowroad are taken from (default build/default/bin)
#   INPUT  the peers' input (default /tmp/qdvp-peers/data/lines_1m.csv, made by the harness)
#   ROWS   rows with one row in flight (default 50000); RUNS rounds (default 3)
#   WINDOWS  the windows measured (default "0 256")
#   PIN    where the programs run: "" (default) wherever the scheduler puts them; "one": all on
#          CPU 0 (each wake-up is local); "split": the data provider (and rowpath's parent) on
#          CPU 0, qdvp-dch (and rowpath's agent) on CPU 1 (each wake-up crosses to the other
#          core). Unpinned, a run falls into one of the two at random, and the figures with it.
set -u
checkout=$(cd "$(dirname "$0")/.." && pwd)
[ $# -eq 2 ] || { echo "usage: $0 NAME=DCH NAME=DCH" >&2; exit 2; }
BIN=${BIN:-$checkout/build/default/bin}
INPUT=${INPUT:-/tmp/qdvp-peers/data/lines_1m.csv}
ROWPATH=${ROWPATH:-/tmp/qdvp-peers/bin/rowpath}
ROWS=${ROWS:-50000}
RUNS=${RUNS:-3}
WINDOWS=${WINDOWS:-0 256}
PIN=${PIN:-}
QDVP_PEERS=${QDVP_PEERS:-$checkout/../shared/peers}
[ -f "$INPUT" ] || { echo "no $INPUT: run the peers' setup.sh (SKIP_APT=1)" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# rowroad starts the qdvp-dch beside itself: one folder per build, the same data provider.
names=()
for arg in "$1" "$2"; do
  name=${arg%%=*} dch=${arg#*=}
  [ -x "$dch" ] || { echo "no program $dch" >&2; exit 2; }
  mkdir -p "$work/$name"
  cp "$BIN/qdvp" "$BIN/libqdvp.so" "$BIN/qdvp_rowroad" "$work/$name/"
  cp "$dch" "$work/$name/qdvp-dch"
  names+=("$name")
done
load() { echo "load $1: $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min), $(nproc) cores"; }
# Runs a command on CPU 0 when pinned.
pinned() {
  if [ -n "$PIN" ]; then taskset -c 0 "$@"; else "$@"; fi
}
# With PIN=split, moves the first process named $2 below the process $1 whose parent is not
# named $2 too (rowpath's agent is a fork of rowpath) to CPU 1 as soon as it appears.
split_child() {
  [ "$PIN" = split ] || return 0
  local top=$1 name=$2 pid i
  for i in $(seq 2000); do
    pid=$(ps -eo pid=,ppid=,comm= | awk -v top="$top" -v name="$name" '
      { parent[$1] = $2; comm[$1] = $3 }
      END { for (p in comm) { if (comm[p] != name) continue
              if (name == "rowpath" && comm[parent[p]] != name) continue
              for (q = parent[p]; q > 1; q = parent[q]) if (q == top) { print p; exit } } }')
    [ -n "$pid" ] && { taskset -p -c 1 "$pid" > /dev/null; return 0; }
    kill -0 "$top" 2> /dev/null || return 0
    sleep 0.005
  done
}
# The agent child's user + system seconds, last seen while it ran.
rowpath_agent() {
  pinned "$ROWPATH" "$INPUT" threads "$ROWS" 1 proc 20 > "$work/rowpath.out" &
  local parent=$! child="" ticks=0 t
  split_child "$parent" rowpath
  while kill -0 "$parent" 2> /dev/null; do
    [ -z "$child" ] && child=$(cat "/proc/$parent/task/$parent/children" 2> /dev/null | cut -d' ' -f1)
    if [ -n "$child" ] && t=$(awk '{print $14 + $15}' "/proc/$child/stat" 2> /dev/null); then
      ticks=$t
    fi
    sleep 0.01
  done
  wait "$parent"
  awk -v ticks="$ticks" -v hz="$(getconf CLK_TCK)" '{ for (i = 1; i <= NF; i++) {
    split($i, kv, "="); if (kv[1] == "rows") rows = kv[2] }
    printf "%s agent_cpu_us_per_row=%.2f\n", $0, (rows > 0 ? ticks / hz / rows * 1e6 : 0) }' \
    "$work/rowpath.out"
}
load start
echo "pinned: ${PIN:-no}"
for run in $(seq "$RUNS"); do
  for window in $WINDOWS; do
    for name in "${names[@]}"; do
      # One row in flight without the spin before a sleep, as bench/bench_peers.sh runs it.
      lines=() env=""
      [ "$window" = 0 ] && lines=("$ROWS") env="QDVP_SPIN_WAIT_US=0"
      echo -n "build=$name "
      QDVP_ROWROAD_ENV="$env" pinned timeout 300 "$work/$name/qdvp_rowroad" burst \
        "$INPUT" "$window" "${lines[@]}" > "$work/run.out" &
      split_child $! qdvp-dch
      wait
      tee -a "$work/$name-window$window.log" < "$work/run.out"
    done
  done
  rowpath_agent | tee -a "$work/rowpath.log"
done
load end
if [ -f "$QDVP_PEERS/summarize.py" ]; then
  for log in "$work"/*.log; do
    echo "== $(basename "$log" .log)"
    python3 "$QDVP_PEERS/summarize.py" --warmup 0 "$log" 2> /dev/null |
      grep -E 'dch_cpu_us_per_line|steady_lines_per_s|dp_cpu_us_per_line|agent_cpu_us_per_row|rows_per_s|lost|dup'
  done
fi
