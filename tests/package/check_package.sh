#!/usr/bin/env bash
# Builds the Debian package from a build directory, unpacks it into a scratch root and checks
# what it installs: the programs, the library where the host finds it, the client library and
# header, examples, docs, manual pages, units and configuration; the package's control files;
# that the installed qdvp runs from the scratch root; and, when systemd-analyze is there, that
# the units verify.
# Usage: check_package.sh BUILD_DIR
set -euo pipefail
build="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/out/qdvp_*.deb 2>/dev/null | head -1)
[[ -n "$deb" ]] || fail "no package in $work/out"
root="$work/root"
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$work/control"

for f in usr/bin/qdvp usr/bin/qdvp-dch usr/lib/qdvp/libqdvp.so usr/include/qdvp_client.h \
         usr/share/man/man1/qdvp.1.gz usr/share/man/man1/qdvp-dch.1.gz \
         usr/share/doc/qdvp/README.md usr/share/doc/qdvp/configuration.md \
         usr/share/qdvp/examples/metafiles/syslog.mdl usr/share/qdvp/examples/api/feed.c \
         usr/lib/systemd/system/qdvp@.service usr/lib/systemd/system/qdvp-dch.service \
         etc/qdvp/qdvp.env etc/qdvp/file.env etc/qdvp/product.cfg etc/qdvp/qdvp-dch.env; do
  [[ -e "$root/$f" ]] || fail "missing /$f"
done
[[ -d "$root/etc/qdvp/metafiles" ]] || fail "missing /etc/qdvp/metafiles"
ls "$root"/usr/lib/libqdvpclient.so* >/dev/null 2>&1 || fail "missing the client library"
# Nothing of the build or the tests is shipped.
if dpkg-deb -c "$deb" | grep -E 'tests?/|_test|fuzz|\.o$|bench' ; then fail "build files shipped"; fi

for f in conffiles postinst prerm postrm; do [[ -e "$work/control/$f" ]] || fail "no $f"; done
grep -qx /etc/qdvp/qdvp.env "$work/control/conffiles" || fail "qdvp.env is no conffile"
grep -q '^Package: qdvp$' "$work/control/control" || fail "package name"
[[ -x "$work/control/postinst" ]] || fail "postinst not executable"

# The installed host finds its library in ../lib/qdvp, and its manual page reads.
"$root/usr/bin/qdvp" version >/dev/null || fail "installed qdvp does not run"
env -u QDVP_LIBRARY "$root/usr/bin/qdvp" validate "$root/usr/share/qdvp/examples/metafiles/syslog.mdl" \
  >"$work/validate.out" 2>&1 || { cat "$work/validate.out"; fail "installed qdvp cannot validate"; }
zcat "$root/usr/share/man/man1/qdvp.1.gz" | grep -q '^\.TH QDVP 1' || fail "manual page"

if command -v systemd-analyze >/dev/null; then
  # The units as they will run, with the programs of the scratch root and an instance name.
  units="$work/units"
  mkdir -p "$units"
  sed "s|/usr/bin/|$root/usr/bin/|g" "$root/usr/lib/systemd/system/qdvp@.service" >"$units/qdvp@file.service"
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
echo "package ok: $(basename "$deb"), $(dpkg-deb -c "$deb" | wc -l) entries"
