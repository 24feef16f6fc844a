#!/usr/bin/env bash
# The main job: builds what is needed, starts the agent peer (qdvp-dch) with a fresh SQLite
# database and a FILE data provider with the example metafiles listed in its startup
# configuration, appends realistic lines to the monitored files for a while, shows what arrived
# at the agent, and shuts both down cleanly.
# Usage: scripts/demo.sh [SECONDS]   (how long lines are written; default 30)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
root="$PWD"

scripts/bootstrap.sh
cmake --preset default -DQDVP_BUILD_BENCH=OFF >/dev/null
cmake --build --preset default --target qdvp_host qdvp_dch qdvp >/dev/null
bin="$root/build/default/bin"

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

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

echo "== starting the agent peer on port $QDVA_DCH_PORT (database $run/dch.db)"
"$bin/qdvp-dch" --port "$QDVA_DCH_PORT" --db "$run/dch.db" --jsonl "$run/dch.jsonl" \
  --ready-file "$run/dch.ready" 2>"$run/dch.err" &
dch_pid=$!
pids+=($dch_pid)
for _ in $(seq 50); do [[ -s "$run/dch.ready" ]] && break; sleep 0.1; done

for m in "${metafiles[@]}"; do
  echo "== qdvp validate $m: $(cd "$run" && "$bin/qdvp" validate "$run/metafiles/$m" | grep -E "QDVPV(00|88)")"
done

echo "== starting: qdvp start file"
(cd "$run" && exec "$bin/qdvp" start file >"$run/qdvp.out" 2>"$run/qdvp.err") &
qdvp_pid=$!
pids+=($qdvp_pid)
for _ in $(seq 100); do
  grep -q "file server process(es) started" "$run/trace.log" 2>/dev/null && break
  sleep 0.1
done
sleep 1

echo "== writing lines to $run/data for $seconds seconds"
scripts/gen-demo-data.sh "$run/data" "$seconds"
sleep 6

echo "== stopping the data provider"
kill -TERM "$qdvp_pid"
if wait "$qdvp_pid"; then echo "== data provider ended cleanly"; else echo "== data provider ended with $?"; fi
kill -TERM "$dch_pid"
wait "$dch_pid" 2>/dev/null || true
pids=()

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
