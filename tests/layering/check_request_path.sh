#!/usr/bin/env bash
# Fails when a request to the agent bypasses the one request path. Only the path itself
# (agentlink/qdvpdreq.cpp) and the queue under it (agentlink/qdvpwdol.cpp, which also queues the
# delayed offlines) call the DCH client's queue directly; every other file asks through
# QDVP_Request with a verb and a policy (or QDVP_RequestDCHnoWait from the core). Tests and
# benchmarks, which measure the queue itself, are not looked at.
# Usage: check_request_path.sh SOURCE_DIR
set -euo pipefail
cd "${1:-.}"

bad=0
while IFS= read -r hit; do
  file=${hit%%:*}
  case "$file" in
    ./agentlink/qdvpdreq.cpp|./agentlink/qdvpwdol.cpp) continue ;;
  esac
  rest=${hit#*:}
  echo "${file#./}:${rest%%:*}: queues to the DCH client outside the one request path"
  bad=1
done < <(grep -rnE --include='*.cpp' \
           '(QDVP_QueueAndWaitDCHstatus|QDVP_EnqueueSourceToDCH)[[:space:]]*\(' . \
           --exclude-dir='build*' --exclude-dir=.git --exclude-dir=tests --exclude-dir=bench || true)
exit $bad
