#!/usr/bin/env bash
# Appends realistic lines to the demo's monitored files for a while: a web server access log
# (common log format), CSV performance samples in a file named by today's date, and syslog
# events, a few of them errors.
# Usage: scripts/gen-demo-data.sh DIRECTORY SECONDS
set -euo pipefail
dir="$1"
seconds="${2:-30}"
mkdir -p "$dir"
access="$dir/access_log"
perf="$dir/perf$(date +%y%m%d).csv"
messages="$dir/messages"
clients=(10.1.4.17 10.1.4.23 10.1.7.2 192.168.3.40 10.1.9.118)
users=(- - alice bob -)
paths=(/ /index.html /shop/cart /shop/checkout /api/orders /img/logo.png /login)
codes=(200 200 200 304 404 500 302)
hosts=(dbhost1 dbhost2 dbhost3)
programs=("billing[4711]" "shipping[2201]" "auth[1033]")
events=("payment gateway timeout after 30s" "order 4711 accepted" "database error: deadlock detected"
        "session renewed" "connection pool at 80%" "request timeout talking to warehouse")
reads=(1000 2000 3000)
end=$((SECONDS + seconds))
i=0
while ((SECONDS < end)); do
  now_clf=$(date '+%d/%b/%Y:%H:%M:%S %z')
  for _ in 1 2 3 4 5; do
    c=${clients[RANDOM % 5]} u=${users[RANDOM % 5]} p=${paths[RANDOM % 7]} s=${codes[RANDOM % 7]}
    m=GET; ((RANDOM % 4 == 0)) && m=POST
    echo "$c - $u [$now_clf] \"$m $p HTTP/1.1\" $s $((RANDOM % 20000))" >>"$access"
  done
  stamp=$(date '+%Y-%m-%d %H:%M:%S')
  for h in 0 1 2; do
    reads[h]=$((reads[h] + RANDOM % 500))
    echo "${hosts[h]},$stamp,$((RANDOM % 100)),${reads[h]},$((4000000 + RANDOM * 10)),$((20 + RANDOM % 60))" >>"$perf"
  done
  if ((i % 2 == 0)); then
    echo "$(date '+%b %e %H:%M:%S') apphost$((RANDOM % 3 + 1)) ${programs[RANDOM % 3]}: ${events[RANDOM % 6]}" >>"$messages"
  fi
  i=$((i + 1))
  sleep 1
done
