#!/usr/bin/env bash
# Sets up the machine, builds everything and runs the whole test suite.
# Usage: scripts/test.sh [PRESET]   (default, asan or tsan; default: default)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
scripts/bootstrap.sh
cmake --preset "$preset" -DQDVP_BUILD_BENCH=OFF >/dev/null
cmake --build --preset "$preset"
# The lock annotations are checked by clang's thread-safety analysis, as errors (the library).
if [[ "$preset" == default ]]; then
  cmake --preset clang >/dev/null
  cmake --build --preset clang --target qdvp
fi
ctest --preset "$preset"
