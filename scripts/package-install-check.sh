#!/usr/bin/env bash
# Installs the packages built from build/default on THIS machine as an operator would, checks
# what the maintainer scripts made, runs a FILE data provider as the service user with the
# installed settings (with qdvp-dch as its agent) and lets an operator IMPORT and DELETE a
# metafile through the console, then purges the packages and checks what is gone. It changes
# the system (a user, /etc/qdvp, /var/lib/qdvp): scripts/fresh-root-check.sh runs it inside a
# throwaway Debian root, and it refuses to run anywhere else.
# Usage (in such a root, as root): QDVP_THROWAWAY_ROOT=1 scripts/package-install-check.sh
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ "${QDVP_THROWAWAY_ROOT:-}" != 1 || $(id -u) -ne 0 ]]; then
  echo "package-install-check: only as root in a throwaway root (QDVP_THROWAWAY_ROOT=1)" >&2
  exit 2
fi
fail() { echo "FAIL: $*" >&2; exit 1; }
pids=()
# shellcheck disable=SC2317
stop_all() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; }
trap stop_all EXIT
wait_for() {  # wait_for SECONDS COMMAND...: every 0.2 s until it succeeds
  local end=$((SECONDS + $1))
  shift
  until "$@" >/dev/null 2>&1; do
    ((SECONDS < end)) || return 1
    sleep 0.2
  done
}

out=$(mktemp -d)
(cd build/default && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log"; fail cpack; }
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq "$out"/qdvp_*.deb "$out"/qdvp-dev_*.deb >"$out/install.log" 2>&1 ||
  { cat "$out/install.log"; fail "apt-get install"; }

# What the maintainer scripts made: the user, root's configuration, each type's own directory.
getent passwd qdvp >/dev/null || fail "no user qdvp"
[[ -z "$(find /etc/qdvp \( -user qdvp -o -group qdvp \))" ]] || fail "qdvp owns files in /etc/qdvp"
if runuser -u qdvp -- test -w /etc/qdvp/qdvp-dch.env; then fail "qdvp can write its configuration"; fi
for type in apis file sock asfs post snmp http; do
  [[ "$(stat -c '%U:%G %a' "/var/lib/qdvp/$type")" == "qdvp:qdvp 750" ]] || fail "/var/lib/qdvp/$type"
  [[ "$(stat -c '%U' "/var/lib/qdvp/$type/qdvpinit.cfg")" == qdvp ]] || fail "$type has no startup configuration"
  [[ -d "/etc/qdvp/metafiles/$type" ]] || fail "no metafile directory for $type"
done
runuser -u qdvp -- qdvp check file >"$out/check.out" 2>&1 || { cat "$out/check.out"; fail "qdvp check file"; }

# A FILE data provider as the unit runs it, the agent peer beside it.
qdvp-dch --db "$out/dch.db" >"$out/dch.log" 2>&1 &
pids+=($!)
wait_for 20 grep -q 'listening on' "$out/dch.log" || { cat "$out/dch.log"; fail "qdvp-dch"; }
(
  set -a
  # shellcheck disable=SC1091
  . /etc/qdvp/qdvp.env
  . /etc/qdvp/file.env
  set +a
  cd /var/lib/qdvp/file
  exec runuser -u qdvp -- qdvp start file
) >"$out/dp.out" 2>"$out/dp.err" &
pids+=($!)
wait_for 60 qdvp console GETPORT || { cat "$out/dp.err"; fail "the data provider does not answer"; }
sed 's#^//SOURCE FILE .*#//SOURCE FILE /var/log/qdvp-check.log#' \
  /usr/share/qdvp/examples/metafiles/syslog.mdl >/etc/qdvp/metafiles/file/syslog.mdl
qdvp console IMPORT syslog.mdl >"$out/import.out" 2>&1 || { cat "$out/import.out" "$out/dp.err"; fail IMPORT; }
grep -q '^syslog.mdl$' /var/lib/qdvp/file/qdvpinit.cfg || fail "IMPORT is not kept"
qdvp console DELETE syslog.mdl >"$out/delete.out" 2>&1 || { cat "$out/delete.out"; fail DELETE; }
if grep -q 'syslog.mdl' /var/lib/qdvp/file/qdvpinit.cfg; then fail "DELETE is not kept"; fi
[[ -f /var/lib/qdvp/file/qdvpcons.key ]] || fail "no console key in the type's directory"
qdvp console SHUTDOWN >/dev/null 2>&1 || fail SHUTDOWN
wait "${pids[1]}" || fail "the data provider did not end cleanly"
grep -q '^<6>SYSTEM   DP ready$' "$out/dp.err" || { cat "$out/dp.err"; fail "no DP log lines on standard error"; }
kill "${pids[0]}"
wait "${pids[0]}" || true
pids=()

# Purge: the state, the metafiles, the configuration and the user are gone.
apt-get purge -y -qq qdvp-dev qdvp >"$out/purge.log" 2>&1 || { cat "$out/purge.log"; fail purge; }
for gone in /var/lib/qdvp /etc/qdvp /usr/bin/qdvp; do [[ ! -e "$gone" ]] || fail "purge left $gone"; done
if getent passwd qdvp >/dev/null; then fail "purge left the user qdvp"; fi
rm -rf "$out"
echo "package-install-check: installed, ran, imported and deleted, purged"
