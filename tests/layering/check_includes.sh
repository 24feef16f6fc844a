#!/usr/bin/env bash
# Fails when a folder includes the header of a folder above it. Dependencies run one way:
#   0 core (and its support layer, the shared model and the services the core asks for)
#   1 agentlink
#   2 records, logs
#   3 the servers that feed rows: filemon, sockets, snmp, http; metafile, which registers
#   4 console, actions, config, metaserver
# A header belongs to the layer of the folder it lives in, or, under include/, to the layer
# listed below. include/ itself never reaches into a folder. Only the HTTP client layer
# (core/support/htq1curl.cpp) includes curl.
# Usage: check_includes.sh SOURCE_DIR
set -euo pipefail
cd "${1:-.}"

declare -A folder=(
  [core]=0 [core/support]=0 [include]=0 [agentlink]=1 [records]=2 [logs]=2 [filemon]=3
  [sockets]=3 [snmp]=3 [http]=3 [metafile]=3 [console]=4 [actions]=4 [config]=4
  [metaserver]=4)
declare -A header=(
  [osv1.h]=0 [qdvp.h]=0 [qdvp_anchor.h]=0 [qdvp_core.h]=0 [qdvp_scan.h]=0
  [qdvp_services.h]=0 [qdvp_wire.h]=0 [qdvp_model.h]=0 [qdvp_agentlink.h]=1
  [qdvp_dchcomm.h]=1 [qdvp_request.h]=1 [qdvp_actions.h]=1 [qdvp_records.h]=2 [qdvp_dplog.h]=2
  [qdvp_stats.h]=0 [qdvp_snmp.h]=3 [qdvp_filemon.h]=3 [qdvp_metafile.h]=3 [qdvp_sockets.h]=3 [qdvp_http.h]=3
  [qdvp_console.h]=4 [qdvp_consauth.h]=4)

bad=0
for dir in "${!folder[@]}"; do
  for file in "$dir"/*.cpp "$dir"/*.h; do
    [[ -e "$file" ]] || continue
    mine=${folder[$dir]}
    if [[ "$dir" == include ]]; then mine=${header[${file##*/}]:-0}; fi
    while IFS= read -r included; do
      name=${included##*/}
      case "$included" in
        ../include/*|../../include/*|include/*) layer=${header[$name]:-} ;;
        ../*) # a folder's own header, seen from another folder
          owner=${included#../}; owner=${owner#../}; owner=${owner%/*}
          if [[ "$dir" == include ]]; then
            echo "$file: include/ includes $included from a folder"; bad=1; continue
          fi
          layer=${folder[$owner]:-} ;;
        */*) layer=${folder[$dir/${included%/*}]:-} ;;  # a subfolder's header
        *) if [[ "$dir" == include ]]; then layer=${header[$name]:-}; else continue; fi ;;
      esac
      if [[ -z "$layer" ]]; then
        echo "$file: $included has no layer in this check"; bad=1
      elif ((layer > mine)); then
        echo "$file (layer $mine) includes $included (layer $layer)"; bad=1
      fi
    done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
  done
done
# libcurl belongs to the HTTP client layer alone: every other file goes through htq1.h.
while IFS= read -r file; do
  [[ "$file" == ./core/support/htq1curl.cpp ]] && continue
  echo "${file#./}: includes curl (only core/support/htq1curl.cpp may)"; bad=1
done < <(grep -rlE --include='*.cpp' --include='*.h' --include='*.c' --include='*.hpp' \
           '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]curl/' . \
           --exclude-dir='build*' --exclude-dir=.git || true)

if ((bad)); then
  echo "FAILED: a lower folder includes a higher one's header, or a file other than the HTTP"
  echo "client layer includes curl"
  exit 1
fi
echo "include layering: clean"
