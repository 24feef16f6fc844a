#!/usr/bin/env bash
# The main job: builds everything, then runs the agent peer (qdvp-dch) and a FILE data provider
# with the example metafiles for a short while, and shows what happened.
# Usage: scripts/demo.sh [SECONDS]   (how long the data provider runs; default 10)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-10}"
root="$PWD"

scripts/bootstrap.sh
cmake --preset default -DQDVP_BUILD_BENCH=OFF >/dev/null
cmake --build --preset default >/dev/null
bin="$root/build/default/bin"

run="$root/demo-run"
rm -rf "$run"
mkdir -p "$run"
cp -r "$root/examples/metafiles" "$run/metafiles" 2>/dev/null || mkdir -p "$run/metafiles"

port_base=$((17000 + RANDOM % 2000))
export QDVP_HOME="$run" QDVP_META_PATH="$run/metafiles" QDVP_INIT_CONFIG_PATH="$run"
export QDVP_DPCONSOLE_PORT="$port_base" QDVA_DCH_PORT=$((port_base + 100))
export QDVP_TRACE=detail QDVP_TRACE_FILE="$run/trace.log"

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

if [[ -x "$bin/qdvp-dch" ]]; then
  echo "== starting the agent peer on port $QDVA_DCH_PORT"
  "$bin/qdvp-dch" --port "$QDVA_DCH_PORT" --db "$run/dch.db" --jsonl "$run/dch.jsonl" \
    2>"$run/dch.err" &
  pids+=($!)
fi

shopt -s nullglob
for m in "$run"/metafiles/*.mdl; do
  echo "== qdvp validate $(basename "$m")"
  (cd "$run" && "$bin/qdvp" validate "$m" | tail -1) || true
done

echo "== starting: qdvp start file (for $seconds seconds)"
"$bin/qdvp" start file >"$run/qdvp.out" 2>"$run/qdvp.err" &
qdvp_pid=$!
pids+=($qdvp_pid)
sleep "$seconds"
kill -TERM "$qdvp_pid"
wait "$qdvp_pid" && echo "== data provider ended cleanly" || echo "== data provider ended with $?"

echo "== tasks the data provider ran (from its trace, $run/trace.log)"
grep -E "process started|Input DP Type|DP build type|Console service" "$run/trace.log" |
  sed -E 's/^[^ ]+ [^ ]+ [0-9A-F]+ //' || true

if [[ -f "$run/dch.db" ]]; then
  cleanup
  pids=()
  echo "== what the agent peer stored ($run/dch.db)"
  for t in applications attribute_groups sources; do
    echo "-- $t"
    sqlite3 -header -column "$run/dch.db" "select * from $t limit 20" || true
  done
  echo "-- rows per attribute group"
  sqlite3 -header -column "$run/dch.db" \
    "select application, attribute_group, count(*) as rows from rows group by 1,2" || true
fi
