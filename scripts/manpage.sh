#!/usr/bin/env bash
# Writes a manual page (roff) for PROGRAM from its --help text, on standard output.
# Usage: scripts/manpage.sh PROGRAM-PATH NAME VERSION
set -euo pipefail
program="$1" name="$2" version="$3"
help=$("$program" --help 2>&1 || true)
summary=$(printf '%s\n' "$help" | head -1 | sed -e "s/^$name: //" -e 's/\..*$//' -e 's/^usage: .*/the data provider host program and operator command line/')
# roff: a backslash is written twice, and a line must not begin with a dot or a quote.
escape() { sed -e 's/\\/\\\\/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"; }
cat <<ROFF
.TH $(printf '%s' "$name" | tr a-z A-Z) 1 "" "qdvp $version" "User Commands"
.SH NAME
$name \\- $(printf '%s' "$summary" | escape)
.SH DESCRIPTION
.nf
$(printf '%s\n' "$help" | escape)
.fi
.SH FILES
.TP
/etc/qdvp/
configuration: qdvp.env and TYPE.env (settings), product.cfg (product specification),
qdvpinit.cfg (startup configuration), metafiles/ (metafile directory)
.TP
/var/lib/qdvp/
state of the data providers, one directory per type
.SH SEE ALSO
The documentation in /usr/share/doc/qdvp/, the example metafiles in /usr/share/qdvp/examples/.
ROFF
