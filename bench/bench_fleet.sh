#!/bin/bash
# The fleet benchmark in one run: 1,000 simulated SNMP agents (100 dead) polled by the real
# `qdvp start snmp` with version 1 and 2c, and 1,000 URLs (10 on servers that never answer) sampled
# by `qdvp start http` at a short and at the default interval, each beside its references in
# the same run: net-snmp's snmpget (one agent, one request), prometheus-snmp-exporter and
# prometheus-blackbox-exporter (Debian packages, black boxes; left out when not installed).
# Every figure is one key=value line per run in $OUT/NAME.log; the summary gives each figure's
# median over the runs.
#
# usage: bench/bench_fleet.sh        (from the checkout, after a build with the benchmarks)
#   BIN   our programs (default build/default/bin); RUNS runs of each (default 3)
#   OUT   the logs (default /tmp/qdvp-fleet); LONG=0 leaves out the 60-second URL interval
set -u
checkout=$(cd "$(dirname "$0")/.." && pwd)
BIN=${BIN:-$checkout/build/default/bin}
RUNS=${RUNS:-3}
OUT=${OUT:-/tmp/qdvp-fleet}
fleet=$BIN/qdvp_fleet
[ -x "$fleet" ] || { echo "no $fleet: build with the benchmarks" >&2; exit 2; }
mkdir -p "$OUT"
rm -f "$OUT"/*.log
load() { echo "$1: $(cut -d' ' -f1-3 /proc/loadavg) (load average 1, 5, 15 min), $(nproc) cores"; }
load start | tee "$OUT/load.txt"
# One program's run: its line goes to its log, a failure is told and the rest goes on.
run() {
  local log=$1
  shift
  "$fleet" "$@" >> "$OUT/$log.log" || echo "failed: $*" >&2
}
for r in $(seq "$RUNS"); do
  echo "run $r of $RUNS" >&2
  for v in v1 v2c; do
    run "snmp-qdvp-$v" snmp "$v" 1000 100 10
    run "snmpget-$v" snmpget "$v" 200
    [ -x /usr/bin/prometheus-snmp-exporter ] && run "snmp-exporter-$v" snmp-exporter "$v" 1000 100
  done
  run url-qdvp-10s url 10 1000 10 5
  [ -x /usr/bin/prometheus-blackbox-exporter ] && run url-blackbox-10s blackbox 10 1000 10 3
  [ "${LONG:-1}" = 1 ] && run url-qdvp-60s url 60 1000 10 3
done
load end | tee -a "$OUT/load.txt"
# The median of each figure over a log's lines.
python3 - "$OUT"/*.log <<'PY' | tee "$OUT/summary.txt"
import os, statistics, sys
for path in sys.argv[1:]:
    runs = [dict(f.split("=", 1) for f in line.split()[1:]) for line in open(path) if "=" in line]
    keys = [k for k in (runs[0] if runs else {})]
    med = {k: statistics.median(float(r[k]) for r in runs if k in r) for k in keys}
    print(os.path.basename(path)[:-4], "(%d runs):" % len(runs),
          " ".join("%s=%.4g" % (k, v) for k, v in med.items()))
PY
exit 0
