#!/usr/bin/env bash
# The lock marks are what the compiler checks: each case below is a few lines that take the
# data provider's locks the way a task would, compiled by clang with the clang preset's
# analysis flags against the real headers. A case marked "ok" must compile; every other case
# is a fault the analysis must reject, with the diagnostic named (a lock taken against the
# order of include/qdvp_anchor.h, a guarded field touched without its lock). Skipped (77)
# without clang.
# Usage: check_lock_marks.sh SOURCE_DIR
set -uo pipefail
cd "${1:-.}"
command -v clang++ >/dev/null || { echo "clang++ not found: skipped"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
flags=(-std=c++20 -fsyntax-only -I. -Wthread-safety -Wthread-safety-beta -Werror=thread-safety
       -Werror=thread-safety-beta)
bad=0

# check NAME EXPECT BODY: EXPECT is "ok" or the text the diagnostic must contain.
check() {
  local name=$1 expect=$2 body=$3
  cat >"$work/case.cpp" <<CASE
#include "include/qdvp_actions.h"
#include "include/qdvp_console.h"
#include "include/qdvp_dchcomm.h"
#include "include/qdvp_model.h"
void Case(DPAB *anchor, ApplEntry *appl, TableEntry *table, SourceEntry *source,
          IOEntry *io, DCHcomm *comm, ProcessEntry *pe, ConsoleBlock *area) {
  (void)anchor; (void)appl; (void)table; (void)source; (void)io; (void)comm; (void)pe;
  (void)area;
  $body
}
CASE
  local out
  out=$(clang++ "${flags[@]}" "$work/case.cpp" 2>&1)
  local rc=$?
  if [[ "$expect" == ok ]]; then
    if [[ $rc -ne 0 ]]; then echo "FAIL $name: rejected"; echo "$out" | head -5; bad=1; fi
  elif [[ $rc -eq 0 ]]; then
    echo "FAIL $name: compiled, expected: $expect"; bad=1
  elif ! grep -q -- "$expect" <<<"$out"; then
    echo "FAIL $name: rejected without \"$expect\""; echo "$out" | head -5; bad=1
  fi
}

check "the client's order" ok '
  OSV1_Guard entry(&source->EntryLock);
  OSV1_Guard attrs(&source->AttrLock);
  OSV1_Guard link(&comm->LinkLock);
  OSV1_Guard status(&comm->StatusMutex);'
check "a model walk" ok '
  OSV1_Guard list(&anchor->ApplListLock);
  OSV1_Guard tables(&appl->TableListLock);
  OSV1_Guard sources(&table->SourceListLock);
  OSV1_Guard counts(&table->TableLock);
  OSV1_Guard attrs(&source->AttrLock);
  AttrEntry *a = source->pAttrList;
  (void)a;'
check "a requester's wait" ok '
  OSV1_Guard request(&pe->RequestLock);
  OSV1_Guard wake(&pe->TaskIOmutex);
  OSV1_Guard queue(&anchor->DCHqueueLock);'
check "the entry lock under the attribute lock" "must be acquired before" '
  OSV1_Guard attrs(&source->AttrLock);
  OSV1_Guard entry(&source->EntryLock);'
check "the application list under a table's sources" "must be acquired before" '
  OSV1_Guard sources(&table->SourceListLock);
  OSV1_Guard list(&anchor->ApplListLock);'
check "the select lock under the application list" "must be acquired before" '
  OSV1_Guard list(&anchor->ApplListLock);
  OSV1_Guard select(&anchor->SelectLock);'
check "a source's entry lock under a request's lock" "must be acquired before" '
  OSV1_Guard request(&pe->RequestLock);
  OSV1_Guard entry(&source->EntryLock);'
check "a partner's binding under a source's row" "must be acquired before" '
  OSV1_Guard attrs(&source->AttrLock);
  OSV1_Guard bind(&io->IOLock);'
check "the console hand-over under the select lock" "must be acquired before" '
  OSV1_Guard select(&anchor->SelectLock);
  OSV1_Guard handOver(&area->Mutex);'
check "a source's attributes without their lock" "requires holding mutex" '
  AttrEntry *a = source->pAttrList;
  (void)a;'
check "a table's sources without their lock" "requires holding mutex" '
  SourceEntry *s = table->pSourceList;
  (void)s;'
check "the connection's pending flag without the status mutex" "requires holding mutex" '
  comm->Pending = 1;'
check "a partner's socket without its lock" "requires holding mutex" '
  io->TCPsocket = -1;'
check "the console's command buffer without the hand-over" "requires holding mutex" '
  char *c = area->pCommandBuffer;
  (void)c;'
check "the task count under the chain lock alone" "requires holding mutex" '
  OSV1_Guard chain(&anchor->ProcessListLock);
  int n = anchor->ActiveTasks;
  (void)n;'
exit $bad
