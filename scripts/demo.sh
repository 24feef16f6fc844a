#!/usr/bin/env bash
# The main job: builds what is needed (the `demo` preset, in build/demo), starts the agent peer
# (qdvp-dch) with a fresh SQLite database and a FILE data provider with the example metafiles
# listed in its startup configuration, appends realistic lines to the monitored files for a
# while, shows what arrived at the agent, and shuts both down cleanly. It waits for conditions,
# not fixed times: until every file server waits for its file before writing, and until the
# rows have stopped arriving before stopping. The agent peer serves its page (--http) the whole
# time; its address is printed at the end, and when the script runs on a terminal the peer and
# its page stay until Enter is pressed.
# Usage: scripts/demo.sh [SECONDS]   (how long lines are written; default 30)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
root="$PWD"

scripts/bootstrap.sh
# Only the three programs, in a build directory of their own (no tests, no benchmarks).
cmake --preset demo >/dev/null
cmake --build --preset demo --target qdvp_host qdvp_dch qdvp >/dev/null
bin="$root/build/demo/bin"

run="$root/demo-run"
rm -rf "$run"
mkdir -p "$run/metafiles" "$run/data"
# The example metafiles name files under /var: point them at the demo's own data directory.
metafiles=(weblog.mdl perfcsv.mdl syslog.mdl)
for m in "${metafiles[@]}"; do
  sed -E "s#^(//SOURCE FILE \"?)/var/([^/ \"]+/)*#\1$run/data/#" "examples/metafiles/$m" \
    >"$run/metafiles/$m"
done
printf '* the metafiles the demo data provider loads at start-up\n%s\n' "${metafiles[*]}" \
  >"$run/qdvpinit.cfg"
: >"$run/data/access_log"
: >"$run/data/messages"

port_base=$((17000 + RANDOM % 2000))
export QDVP_HOME="$run" QDVP_META_PATH="$run/metafiles" QDVP_INIT_CONFIG_PATH="$run"
export QDVP_DPCONSOLE_PORT="$port_base" QDVA_DCH_PORT=$((port_base + 100)) QDVP_DCH_HOST=127.0.0.1
export QDVP_DP_EVENT=1 QDVP_DP_FILE_SWITCH_CHECK_INTERVAL=5
export QDVP_TRACE=detail QDVP_TRACE_FILE="$run/trace.log"

# wait_for SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds; fails after SECONDS.
wait_for() {
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < end)) || return 1
    sleep 0.1
  done
}
# Every file server waits for its file: a plain file's server has reported the file missing or
# empty (its lines are then all new), a name pattern's server looks for a matching file.
servers_waiting() {
  local trace="$run/trace.log" plain patterns
  plain=$(grep -c "Log Message->.*Monitoring delayed" "$trace" 2>/dev/null) || true
  patterns=$(grep -c "Waiting for target monitoring file creation" "$trace" 2>/dev/null) || true
  ((${plain:-0} >= plain_files && (pattern_files == 0 || ${patterns:-0} >= 1)))
}
rows() { sqlite3 "$run/dch.db" "select count(*) from rows" 2>/dev/null || echo 0; }
# The rows count has not moved for 20 looks in a row, two seconds and more: longer than a scan
# interval (1 s) and the peer's commit delay together.
rows_settled() {
  local now
  now=$(rows)
  if [[ "$now" != "$last_rows" ]]; then
    last_rows=$now still=0
    return 1
  fi
  ((++still >= 20))
}

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

echo "== starting the agent peer on port $QDVA_DCH_PORT (database $run/dch.db)"
page="http://127.0.0.1:$((port_base + 200))/"
"$bin/qdvp-dch" --port "$QDVA_DCH_PORT" --db "$run/dch.db" --jsonl "$run/dch.jsonl" \
  --ready-file "$run/dch.ready" --http "$((port_base + 200))" 2>"$run/dch.err" &
dch_pid=$!
pids+=($dch_pid)
wait_for 10 test -s "$run/dch.ready" || { echo "qdvp-dch did not start" >&2; exit 1; }
echo "== the agent peer's page: $page"

for m in "${metafiles[@]}"; do
  echo "== qdvp validate $m: $(cd "$run" && "$bin/qdvp" validate "$run/metafiles/$m" | grep -E "QDVPV(00|88)")"
done

echo "== starting: qdvp start file"
(cd "$run" && exec "$bin/qdvp" start file >"$run/qdvp.out" 2>"$run/qdvp.err") &
qdvp_pid=$!
pids+=($qdvp_pid)
pattern_files=$(grep -l '^//SOURCE FILE .*{' "$run"/metafiles/*.mdl | wc -l)
plain_files=$((${#metafiles[@]} - pattern_files))
wait_for 20 servers_waiting || echo "== (not every file server is waiting yet; going on)"

echo "== writing lines to $run/data for $seconds seconds"
scripts/gen-demo-data.sh "$run/data" "$seconds"
last_rows=-1 still=0
wait_for 20 rows_settled || echo "== (rows still arriving; going on)"

echo "== stopping the data provider"
stop_started=$(date +%s.%N)
kill -TERM "$qdvp_pid"
if wait "$qdvp_pid"; then status="ended cleanly"; else status="ended with status $?"; fi
echo "== data provider $status in $(awk -v a="$stop_started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s"
db="$run/dch.db"
echo
echo "== lines written"
wc -l "$run"/data/* | sed 's#'"$run"'/data/##'
echo
echo "== rows per attribute group at the agent"
sqlite3 -header -column "$db" \
  "select application, attribute_group, count(*) as rows from rows group by 1,2 order by 1,2"
for group in $(sqlite3 "$db" "select distinct application || '.' || attribute_group from rows \
    where attribute_group <> 'DPLOG' order by 1"); do
  appl="${group%%.*}" table="${group#*.}"
  echo
  echo "-- $appl / $table: the last 5 rows"
  keys=$(sqlite3 "$db" "select group_concat(key, ' ') from (select distinct j.key from rows, \
    json_each(rows.attrs) j where application='$appl' and attribute_group='$table' limit 8)")
  cols=""
  for k in $keys; do cols+="${cols:+, }substr(json_extract(attrs, '\$.$k'), 1, 28) as \"$k\""; done
  sqlite3 -header -column "$db" "select $cols from (select * from rows where \
    application='$appl' and attribute_group='$table' order by id desc limit 5) order by id"
done
echo
echo "-- the data provider's log (DPLOG), last 8 messages"
sqlite3 -header -column "$db" "select json_extract(attrs,'\$.DP_Log_Category') as category, \
  substr(json_extract(attrs,'\$.DP_Log_Text'), 1, 100) as text from (select * from rows where \
  attribute_group='DPLOG' order by id desc limit 8) order by id"
echo
echo "(everything is in $run: trace.log, dch.db, dch.jsonl, qdvp.out)"
echo
echo "== the agent peer's page: $page"
if [[ -t 0 ]]; then
  read -r -p "== press Enter to stop the agent peer and its page " _ || true
fi
kill -TERM "$dch_pid"
wait "$dch_pid" 2>/dev/null || true
pids=()
