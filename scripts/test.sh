#!/usr/bin/env bash
# Sets up the machine, checks the formatting, builds everything and runs the whole test suite;
# with the default preset (what CI runs) also every fuzz target for a few seconds from its seeds
# (scripts/fuzz-smoke.sh; QDVP_FUZZ_SMOKE_SECONDS sets the seconds per target, 0 leaves it out).
# Usage: scripts/test.sh [PRESET]   (default, asan or tsan; default: default)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
scripts/bootstrap.sh
# Every C and C++ file is formatted with the checked-in .clang-format; the run fails, naming
# the files, when one is not (scripts/check-format.sh --fix formats them).
scripts/check-format.sh
cmake --preset "$preset" -DQDVP_BUILD_BENCH=OFF >/dev/null
cmake --build --preset "$preset"
# The lock marks and the lock order are checked by clang's thread-safety analysis, as errors,
# in every target clang builds (the library, qdvp, qdvp-dch, the client library and its example).
if [[ "$preset" == default ]]; then
  cmake --preset clang >/dev/null
  cmake --build --preset clang
fi
ctest --preset "$preset"
fuzz_seconds="${QDVP_FUZZ_SMOKE_SECONDS:-5}"
if [[ "$preset" == default && "$fuzz_seconds" != 0 ]]; then
  scripts/fuzz-smoke.sh "$fuzz_seconds"
fi
