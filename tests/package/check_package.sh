#!/usr/bin/env bash
# Builds the Debian packages from a build directory and checks them without installing them:
# lintian finds no error; every file is root's and the configuration is only readable by
# others (the service cannot rewrite it); each type of the qdvp@ template has its metafile
# directory and its settings pointing at its own state directory; nothing the data provider
# writes is shipped under /etc; the units, conffiles, maintainer scripts, changelog, shlibs
# and triggers say what they should; the binaries are stripped and qdvp-dbgsym holds the debug
# information of each by its build identifier; the installed feed.c compiles and links with
# the command docs/api.md gives, against the pkg-config file; and the installed qdvp runs.
# (The maintainer scripts run for real in scripts/fresh-root-check.sh, which installs and
# purges the package in a fresh Debian root.)
# Usage: check_package.sh BUILD_DIR
set -euo pipefail
build="$1"
source_dir="$(cd "$(dirname "$0")/../.." && pwd)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[[ -n "$version" ]] || fail "no project version in $build/CMakeCache.txt"
deb="$work/out/qdvp_${version}_amd64.deb"
dev="$work/out/qdvp-dev_${version}_amd64.deb"
dbg="$work/out/qdvp-dbgsym_${version}_amd64.deb"
for p in "$deb" "$dev" "$dbg"; do [[ -f "$p" ]] || fail "no package $(basename "$p")"; done

command -v lintian >/dev/null || fail "lintian is not installed (scripts/bootstrap.sh installs it)"
lintian --tag-display-limit 0 "$deb" "$dev" "$dbg" >"$work/lintian.log" 2>&1 || true
if grep -E '^E: ' "$work/lintian.log"; then fail "lintian reports errors"; fi

root="$work/root"
for p in "$deb" "$dev" "$dbg"; do
  dpkg-deb -x "$p" "$root"
  dpkg-deb -c "$p" >"$p.list"
done
dpkg-deb -e "$deb" "$work/control"
dpkg-deb -e "$dev" "$work/control-dev"

# Ownership and modes: root's, nothing writable by group or others, configuration included.
for p in "$deb" "$dev" "$dbg"; do
  if awk '$2 != "root/root"' "$p.list" | grep .; then fail "$(basename "$p"): files not root's"; fi
  if awk '$1 !~ /^l/ && substr($1, 6, 1) == "w" || $1 !~ /^l/ && substr($1, 9, 1) == "w"' "$p.list" | grep .; then
    fail "$(basename "$p"): files writable by group or others"
  fi
done
if awk '$6 ~ /^\.\/etc\// && $1 ~ /^-/ && $1 != "-rw-r--r--"' "$deb.list" | grep .; then
  fail "configuration not 0644"
fi
# What the data provider writes is not configuration: not in the package's /etc at all.
if grep -E 'etc/qdvp/.*(qdvpinit\.cfg|qdvpcons\.key|\.positions)' "$deb.list"; then
  fail "state shipped under /etc/qdvp"
fi

for f in usr/bin/qdvp usr/bin/qdvp-dch usr/lib/qdvp/libqdvp.so usr/lib/libqdvpclient.so.1 \
         usr/share/man/man1/qdvp.1.gz usr/share/man/man1/qdvp-dch.1.gz \
         usr/share/doc/qdvp/README.md usr/share/doc/qdvp/configuration.md \
         usr/share/doc/qdvp/copyright usr/share/doc/qdvp/changelog.gz \
         usr/share/doc/qdvp-dev/copyright usr/share/doc/qdvp-dbgsym/copyright \
         usr/share/qdvp/examples/metafiles/syslog.mdl usr/lib/systemd/system/qdvp@.service \
         usr/lib/systemd/system/qdvp-dch.service etc/qdvp/qdvp.env etc/qdvp/product.cfg \
         etc/qdvp/qdvp-dch.env; do
  [[ -e "$root/$f" ]] || fail "missing /$f"
done
# The development files are in qdvp-dev, not in the runtime package.
for f in usr/include/qdvp_client.h usr/lib/libqdvpclient.so usr/lib/libqdvpclient.a \
         usr/lib/pkgconfig/qdvpclient.pc usr/share/qdvp/examples/api/feed.c; do
  grep -q " \./$f\( \|$\)" "$dev.list" || fail "/$f is not in qdvp-dev"
  if grep -q " \./$f\( \|$\)" "$deb.list"; then fail "/$f is in the runtime package"; fi
done
# Nothing of the build or the tests is shipped.
if grep -E 'tests?/|_test|fuzz|\.o$|bench' "$deb.list"; then fail "build files shipped"; fi

# One metafile directory and one settings file per type; each type's settings point at its
# own metafiles and at its own directory for what it writes.
for type in apis file sock asfs post snmp http; do
  [[ -d "$root/etc/qdvp/metafiles/$type" ]] || fail "no /etc/qdvp/metafiles/$type"
  env="$root/etc/qdvp/$type.env"
  [[ -f "$env" ]] || fail "no /etc/qdvp/$type.env"
  for setting in "QDVP_META_PATH=/etc/qdvp/metafiles/$type" "QDVP_HOME=/var/lib/qdvp/$type" \
                 "QDVP_INIT_CONFIG_PATH=/var/lib/qdvp/$type" "QDVP_STATE_DIR=/var/lib/qdvp/$type"; do
    grep -qx "$setting" "$env" || fail "$type.env lacks $setting"
  done
  grep -qx "/etc/qdvp/$type.env" "$work/control/conffiles" || fail "$type.env is no conffile"
done
if grep -hE '^QDVP_(META_PATH|INIT_CONFIG_PATH|STATE_DIR|HOME)=' "$root/etc/qdvp/qdvp.env"; then
  fail "qdvp.env shares a directory between the types"
fi

# The units: the data provider may write only its state directory; nothing unused or hidden.
unit="$root/usr/lib/systemd/system/qdvp@.service"
grep -qx 'StateDirectory=qdvp qdvp/%i' "$unit" || fail "qdvp@.service: no state directory per type"
grep -qx 'ProtectSystem=strict' "$unit" || fail "qdvp@.service: ProtectSystem"
for forbidden in '^ReadWritePaths=' '^LogsDirectory=' '^PrivateTmp='; do
  if grep -E "$forbidden" "$unit"; then fail "qdvp@.service: $forbidden"; fi
done
grep -q '^RestartPreventExitStatus=1 2$' "$unit" || fail "qdvp@.service restarts a refused start"

# Control files: maintainer scripts, conffiles, shlibs and the ldconfig trigger, depends.
for f in conffiles postinst prerm postrm shlibs triggers md5sums; do
  [[ -e "$work/control/$f" ]] || fail "no $f"
done
[[ -x "$work/control/postinst" ]] || fail "postinst not executable"
grep -qx 'activate-noawait ldconfig' "$work/control/triggers" || fail "no ldconfig trigger"
grep -q "^libqdvpclient 1 qdvp (>= $version)$" "$work/control/shlibs" || fail "shlibs: $(cat "$work/control/shlibs")"
grep -q '^Depends: adduser, .*libcurl4' "$work/control/control" || fail "depends: $(grep Depends "$work/control/control")"
if grep -q 'systemd-standalone-sysusers' "$work/control/control"; then fail "depends on sysusers"; fi
grep -q '^Depends: qdvp (= '"$version"')$' "$work/control-dev/control" || fail "qdvp-dev depends"
grep -q '^Maintainer: .*@.*\..*>$' "$work/control/control" || fail "maintainer"
if grep -q 'localhost' "$work/control/control"; then fail "maintainer at localhost"; fi
grep -q "^ qdvp collects records" "$work/control/control" || fail "no extended description"
if grep -E 'chown -R|qdvp:qdvp /etc' "$work/control/postinst"; then fail "postinst gives /etc/qdvp away"; fi
grep -q "try-restart 'qdvp@\*.service' qdvp-dch.service" "$work/control/postinst" ||
  fail "postinst does not restart the units on upgrade"
for gone in /var/lib/qdvp /var/lib/private/qdvp-dch /etc/qdvp/metafiles; do
  grep -q "rm -rf.* $gone\( \|$\)" "$work/control/postrm" || fail "purge leaves $gone"
done
zcat "$root/usr/share/doc/qdvp/changelog.gz" | head -1 | grep -q "^qdvp ($version) " ||
  fail "the changelog's latest entry is not $version"

# Stripped, with the debug information in qdvp-dbgsym under each binary's build identifier.
for f in usr/bin/qdvp usr/bin/qdvp-dch usr/lib/qdvp/libqdvp.so usr/lib/libqdvpclient.so.1; do
  file -L "$root/$f" | grep -q ', stripped' || fail "/$f is not stripped"
  id=$(readelf -n "$root/$f" | sed -n 's/.*Build ID: \([0-9a-f]*\).*/\1/p')
  [[ -n "$id" ]] || fail "/$f has no build identifier"
  [[ -f "$root/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" ]] || fail "no debug file for /$f"
done

# The feed example as docs/api.md says to build it, against the pkg-config file.
build_line=$(grep -m1 '^cc /usr/share/qdvp/examples/api/feed.c \$(pkg-config' "$source_dir/docs/api.md") ||
  fail "docs/api.md gives no command for the installed feed.c"
export PKG_CONFIG_PATH="$root/usr/lib/pkgconfig"
[[ "$(pkg-config --modversion qdvpclient)" == "$version" ]] || fail "qdvpclient.pc version"
(cd "$work" && eval "${build_line//\/usr\/share/$root/usr/share}") >"$work/cc.log" 2>&1 ||
  { cat "$work/cc.log"; fail "feed.c does not build with: $build_line"; }
set +e
LD_LIBRARY_PATH="$root/usr/lib" "$work/feed" >/dev/null 2>"$work/feed.err"
status=$?
set -e
((status == 1)) && grep -q '^usage: feed' "$work/feed.err" || fail "the built feed does not run"

# The installed host finds its library in ../lib/qdvp, knows its version, and validates.
[[ "$("$root/usr/bin/qdvp" --version)" == "qdvp $version" ]] || fail "installed qdvp --version"
[[ "$("$root/usr/bin/qdvp-dch" --version)" == "qdvp-dch $version" ]] || fail "installed qdvp-dch --version"
env -u QDVP_LIBRARY "$root/usr/bin/qdvp" validate --report-dir "$work" \
  "$root/usr/share/qdvp/examples/metafiles/syslog.mdl" >"$work/validate.out" 2>&1 ||
  { cat "$work/validate.out"; fail "installed qdvp cannot validate"; }
[[ -f "$work/syslog.rpt" ]] || fail "no validation report in --report-dir"
zcat "$root/usr/share/man/man1/qdvp.1.gz" | grep -q '^\.TH QDVP 1' || fail "manual page"
zcat "$root/usr/share/man/man1/qdvp.1.gz" | grep -q '^\.SS check' || fail "manual page: no command sections"

if command -v systemd-analyze >/dev/null; then
  # The units as they will run, with the programs of the scratch root and an instance name.
  units="$work/units"
  mkdir -p "$units"
  sed "s|/usr/bin/|$root/usr/bin/|g" "$unit" >"$units/qdvp@file.service"
  sed "s|/usr/bin/|$root/usr/bin/|g" "$root/usr/lib/systemd/system/qdvp-dch.service" >"$units/qdvp-dch.service"
  if ! SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --man=no "$units/qdvp@file.service" \
      "$units/qdvp-dch.service" >"$work/verify.log" 2>&1; then
    # Outside a booted systemd (a container) verify cannot load the unit dependencies; only
    # complaints about our own units count.
    if grep -E 'qdvp(@file|-dch)\.service' "$work/verify.log" | grep -v -E 'Failed to|not found|bus'; then
      cat "$work/verify.log"; fail "systemd-analyze verify"
    fi
  fi
fi
echo "packages ok: $(cd "$work/out" && ls *.deb | tr '\n' ' ')"
