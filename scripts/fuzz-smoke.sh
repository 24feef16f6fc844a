#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset, clang with ASan and UBSan) and runs each for
# a few seconds from its seed corpus in tests/fuzz/corpus/<target>/, so that a parser change
# that crashes, leaks or meets undefined behaviour on real inputs (or near them) fails the
# tests. What a run finds goes to a temporary working corpus, named first, before the seed
# folders: libFuzzer writes new inputs only to its first folder, so the checked-in corpus never
# grows. An input that fails is kept in build/fuzz/fuzz-artifacts/ to reproduce it:
#   build/fuzz/bin/TARGET build/fuzz/fuzz-artifacts/TARGET-crash-...
# Usage: scripts/fuzz-smoke.sh [SECONDS]   (seconds per target, default 5)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds="${1:-5}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || ((seconds < 1)); then
  echo "usage: scripts/fuzz-smoke.sh [SECONDS]" >&2
  exit 2
fi

scripts/bootstrap.sh --fuzz
cmake --preset fuzz -DQDVP_BUILD_BENCH=OFF >/dev/null
cmake --build build/fuzz --target fuzzers

bin=build/fuzz/bin
artifacts=build/fuzz/fuzz-artifacts
mkdir -p "$artifacts"
work=$(mktemp -d /tmp/qdvp-fuzz-smoke-XXXXXX)
trap 'rm -rf "$work"' EXIT

# Every report is fatal: an ASan error or leak, and a UBSan report with its stack.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:${UBSAN_OPTIONS:-}"

passed=0 failed=0
while read -r target; do
  [[ -n "$target" ]] || continue
  seeds=(tests/fuzz/corpus/"$target")
  # The metafile reader's corpus is the example metafiles, the golden corpus and the records
  # target's tables as well.
  if [[ "$target" == fuzz_metafile ]]; then
    seeds+=(examples/metafiles tests/metafile/corpus tests/fuzz/tables)
  fi
  if [[ ! -d "${seeds[0]}" ]] || [[ -z "$(ls -A "${seeds[0]}")" ]]; then
    echo "fuzz-smoke: $target has no seed corpus in ${seeds[0]}" >&2
    failed=$((failed + 1))
    continue
  fi
  corpus="$work/$target"
  mkdir -p "$corpus"
  log="$work/$target.log"
  # The target runs in the temporary folder, so that any file it writes beside it stays there.
  if (cd "$work" && "$root/$bin/$target" -max_total_time="$seconds" -timeout=30 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$root/$artifacts/$target-" \
        "$corpus" "${seeds[@]/#/$root/}") >"$log" 2>&1 &&
     ! grep -qE "runtime error:|ERROR: (Address|Leak)Sanitizer" "$log"; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz-smoke: $target ok (${runs:-?} runs in ${seconds}s)"
    passed=$((passed + 1))
  else
    echo "fuzz-smoke: $target FAILED; its report:" >&2
    grep -nE "ERROR|runtime error|SUMMARY|^    #[0-9]+ |Test unit written" "$log" | head -60 >&2
    failed=$((failed + 1))
  fi
done <build/fuzz/fuzz-targets.txt

echo "fuzz: $passed passed, $failed failed"
((failed == 0))
