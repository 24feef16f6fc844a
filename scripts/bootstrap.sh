#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when any is missing
# (postgresql and chromium are for qdvp-dch's tests: a private cluster, and its page in a browser).
# Usage: scripts/bootstrap.sh [--fuzz]   (--fuzz adds clang's fuzzer runtime)
set -euo pipefail

# libssl-dev is named although libcurl4-openssl-dev only suggests it: without recommends the
# OpenSSL headers would be missing. dpkg-dev (dpkg-shlibdeps), file and lintian serve the
# package's build and its check (tests/package).
# clang-format checks that every source file is formatted with the tree's .clang-format.
packages=(cmake ninja-build g++ make pkg-config binutils googletest libgtest-dev libgmock-dev
          libbenchmark-dev libcurl4-openssl-dev libssl-dev libsqlite3-dev sqlite3
          nlohmann-json3-dev libcli11-dev clang snmpd snmp snmptrapd nginx-light openssl
          dpkg-dev file lintian libpq-dev postgresql libmicrohttpd-dev chromium clang-format)
if [[ "${1:-}" == "--fuzz" ]]; then
  packages+=(libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "bootstrap: installing ${missing[*]}"
sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
