#!/bin/bash
# Our row road and the reference peers in one run, on the same input and machine: the file data
# provider with qdvp-dch (bench/rowroad.cpp) beside syslog-ng and rsyslog as the harness in
# $QDVP_PEERS runs them (tail, split 8 fields, forward over TCP), and the one-row-in-flight link
# beside the harness's minimal program of the same design (rowpath). The harness is called where
# it is, not copied. Figures: one key=value line per run in a log per program and profile, then
# the median of the runs of each (the harness's summarize.py); the machine's load at the start
# and at the end.
#
# usage: bench/bench_peers.sh          (from the checkout, after a build with the benchmarks)
#   QDVP_PEERS   the harness (default: ../shared/peers beside the checkout)
#   PEERS_WORK   its work folder (default /tmp/qdvp-peers); OUT the logs (default PEERS_WORK/results)
#   BIN          our programs (default build/default/bin); RUNS runs of each (default 3)
#   SKIP_APT=1   the peers are installed already; NUMERIC=0 leaves out the numeric burst
set -u
checkout=$(cd "$(dirname "$0")/.." && pwd)
QDVP_PEERS=${QDVP_PEERS:-$checkout/../shared/peers}
export PEERS_WORK=${PEERS_WORK:-/tmp/qdvp-peers}
BIN=${BIN:-$checkout/build/default/bin}
RUNS=${RUNS:-3}
OUT=${OUT:-$PEERS_WORK/results}
INPUT=$PEERS_WORK/data/lines_1m.csv
[ -x "$QDVP_PEERS/run_peer.sh" ] || { echo "no harness in $QDVP_PEERS (set QDVP_PEERS)" >&2; exit 2; }
[ -x "$BIN/qdvp_rowroad" ] || { echo "no $BIN/qdvp_rowroad: build with the benchmarks" >&2; exit 2; }
if [ "${SKIP_APT:-0}" != 1 ] && command -v syslog-ng > /dev/null &&
   [ -x "$PEERS_WORK/rsyslog-pkg/root/usr/sbin/rsyslogd" ]; then
  export SKIP_APT=1
fi
"$QDVP_PEERS/setup.sh" || exit 1
mkdir -p "$OUT"
rm -f "$OUT"/*.log
load() { echo "$1: $(cut -d' ' -f1-3 /proc/loadavg) (load average 1, 5, 15 min), $(nproc) cores"; }
load start | tee "$OUT/load.txt"

for run in $(seq "$RUNS"); do
  echo "run $run of $RUNS" >&2
  "$BIN/qdvp_rowroad" burst "$INPUT" 256 >> "$OUT/qdvp-window256.log"
  # The sink on a port of its own in each run (the harness's default may be taken).
  for peer in "syslog-ng tuned" "syslog-ng default" "rsyslog default"; do
    port=$((20000 + RANDOM % 10000))
    # shellcheck disable=SC2086
    "$QDVP_PEERS/run_peer.sh" $peer "$INPUT" "$port" >> "$OUT/${peer// /-}.log"
  done
  # One row in flight, without the spin before a sleep, beside the minimal same-design program.
  QDVP_ROWROAD_ENV="QDVP_SPIN_WAIT_US=0" "$BIN/qdvp_rowroad" burst "$INPUT" 0 50000 \
    >> "$OUT/qdvp-window0.log"
  # Its CPU (both processes: the agent is its child) from /usr/bin/time, per row.
  /usr/bin/time -f "cpu_s=%U+%S" -o "$OUT/rowpath.time" \
    "$PEERS_WORK/bin/rowpath" "$INPUT" threads 50000 1 proc 20 > "$OUT/rowpath.out"
  awk -v t="$(cat "$OUT/rowpath.time")" '{
    split(t, a, "="); split(a[2], b, "+"); for (i = 1; i <= NF; i++) { split($i, kv, "=");
    if (kv[1] == "rows") rows = kv[2] } printf "%s cpu_us_per_row=%.2f\n", $0,
    (rows > 0 ? (b[1] + b[2]) / rows * 1e6 : 0) }' "$OUT/rowpath.out" >> "$OUT/rowpath-threads.log"
  # A line written at 1,000 lines a second, to its row in the database.
  "$BIN/qdvp_rowroad" latency "$INPUT" 1000 10 >> "$OUT/qdvp-latency.log"
done
if [ "${NUMERIC:-1}" = 1 ] && [ -x "$BIN/qdvp_bench_filemon" ]; then
  "$BIN/qdvp_bench_filemon" --benchmark_filter='BM_FileBurst/window:256' \
    --benchmark_repetitions="$RUNS" --benchmark_report_aggregates_only=true \
    > "$OUT/qdvp-numeric-window256.txt" 2>&1
fi
load end | tee -a "$OUT/load.txt"
python3 "$QDVP_PEERS/summarize.py" --warmup 0 "$OUT"/*.log | tee "$OUT/summary.txt"
[ -s "$OUT/qdvp-numeric-window256.txt" ] && grep -E 'median' "$OUT/qdvp-numeric-window256.txt"
exit 0
