#!/usr/bin/env bash
# Checks the README's promise on a machine that has nothing installed: builds a fresh Debian 12
# root with mmdebstrap, clones this repository at COMMIT into it (/root/qdvp), and runs
# scripts/demo.sh and then scripts/test.sh there as root, as an operator would on a new
# machine; then installs the packages test.sh's build makes, runs a data provider from them
# and purges them (scripts/package-install-check.sh). Prints each step's time and result; the
# exit status is 0 only when all pass.
# Whatever it mounted is unmounted, and whatever was started inside the root is ended, also
# when a command fails or the script is interrupted.
#
# Usage (as root; needs the network to reach the Debian mirror):
#   scripts/fresh-root-check.sh [--keep] [--only demo|test|package] [COMMIT] [DIR]
#     COMMIT  what to check (default HEAD of this repository)
#     DIR     where the root is made (default a new directory under /var/tmp); an existing
#             root there (one kept with --keep) is used again instead of being made anew
#     --keep  leave the root in place afterwards (its logs: DIR/root/fresh-*.log)
#     --only  run only that step (package needs the build of an earlier test step, --keep)
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
keep=0
only=""
while [[ $# -gt 0 && "$1" == --* ]]; do
  case "$1" in
    --keep) keep=1; shift ;;
    --only) only="${2:-}"; shift 2 ;;
    *) echo "fresh-root-check: unknown option $1" >&2; exit 2 ;;
  esac
done
commit="${1:-HEAD}"
dir="${2:-}"
if [[ $(id -u) -ne 0 ]]; then echo "fresh-root-check: run it as root" >&2; exit 2; fi
if [[ -n "$only" && "$only" != demo && "$only" != test && "$only" != package ]]; then
  echo "fresh-root-check: --only takes demo, test or package" >&2; exit 2
fi
commit_id=$(git -C "$repo" rev-parse --verify "$commit^{commit}") || {
  echo "fresh-root-check: no commit $commit" >&2; exit 2; }
if ! command -v mmdebstrap >/dev/null; then
  echo "fresh-root-check: installing mmdebstrap"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends mmdebstrap >/dev/null
fi
made_dir=0
if [[ -z "$dir" ]]; then
  dir=$(mktemp -d /var/tmp/qdvp-fresh-XXXXXX)
  made_dir=1
fi
dir="$(cd "$dir" && pwd)"

mounted=()
# Ends what still runs inside the root (a service a package started, a test's leftover), then
# unmounts in reverse order; the root itself goes unless --keep.
cleanup() {
  local status=$? pid
  for pid in $(ls /proc | grep -E '^[0-9]+$'); do
    if [[ "$(readlink "/proc/$pid/root" 2>/dev/null)" == "$dir" ]]; then
      kill -KILL "$pid" 2>/dev/null || true
    fi
  done
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[$i]}" 2>/dev/null || umount -l "${mounted[$i]}" || true
  done
  if ((keep == 0)); then
    if findmnt -rn -o TARGET | grep -q "^$dir/"; then
      echo "fresh-root-check: $dir still has mounts; left in place" >&2
    else
      rm -rf "$dir"
    fi
  else
    echo "fresh-root-check: root kept in $dir"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

elapsed() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }

if [[ ! -x "$dir/bin/bash" ]]; then
  start=$SECONDS
  rmdir "$dir" 2>/dev/null || true
  mmdebstrap --quiet --variant=apt bookworm "$dir" >"/var/tmp/qdvp-fresh-mmdebstrap.log" 2>&1 || {
    cat /var/tmp/qdvp-fresh-mmdebstrap.log >&2
    echo "fresh-root-check: mmdebstrap failed" >&2
    exit 1
  }
  echo "root: mmdebstrap --variant=apt bookworm in $(elapsed $((SECONDS - start)))"
fi
# Packages installed in the root must not start their services there.
printf '#!/bin/sh\nexit 101\n' >"$dir/usr/sbin/policy-rc.d"
chmod 0755 "$dir/usr/sbin/policy-rc.d"
cp /etc/resolv.conf "$dir/etc/resolv.conf"

mount_into() {  # mount_into TARGET MOUNT-ARGUMENTS...
  local target="$dir/$1"
  shift
  mkdir -p "$target"
  mount "$@" "$target"
  mounted+=("$target")
}
mount_into proc -t proc proc
mount_into sys -t sysfs sysfs
mount_into dev --bind /dev
mount_into dev/pts --bind /dev/pts
# A machine has its POSIX shared memory here (PostgreSQL's clusters in the tests need it); the
# bind of /dev above does not carry the host's own.
mount_into dev/shm -t tmpfs -o mode=1777,nosuid,nodev tmpfs

if [[ "$only" != package ]]; then
  rm -rf "$dir/root/qdvp"
  git clone --quiet --no-checkout "$repo" "$dir/root/qdvp"
  git -C "$dir/root/qdvp" checkout --quiet --detach "$commit_id"
fi
echo "commit: $(git -C "$dir/root/qdvp" log -1 --format='%h %s')"

failed=0
run() {  # run NAME COMMAND: runs COMMAND inside the root, its output to DIR/root/fresh-NAME.log
  local name="$1" command="$2" start=$SECONDS rc=0
  chroot "$dir" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin TERM=dumb \
    bash -c "cd /root/qdvp && $command" >"$dir/root/fresh-$name.log" 2>&1 || rc=$?
  local took=$((SECONDS - start))
  if ((rc == 0)); then
    echo "$name: passed in $(elapsed $took)"
  else
    echo "$name: FAILED (exit status $rc) after $(elapsed $took); the last lines:"
    tail -25 "$dir/root/fresh-$name.log" | sed 's/^/  | /'
    failed=1
  fi
}
[[ -n "$only" && "$only" != demo ]] || run demo scripts/demo.sh
[[ -n "$only" && "$only" != test ]] || run test scripts/test.sh
if [[ -z "$only" && "$failed" == 0 || "$only" == package ]]; then
  run package "QDVP_THROWAWAY_ROOT=1 scripts/package-install-check.sh"
fi
exit "$failed"
