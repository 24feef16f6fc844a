#!/usr/bin/env bash
# Writes a manual page (roff) for PROGRAM from its --help text, on standard output, with a
# section for each COMMAND made from `PROGRAM COMMAND --help`.
# Usage: scripts/manpage.sh PROGRAM-PATH NAME VERSION [COMMAND...]
set -euo pipefail
program="$1" name="$2" version="$3"
shift 3
help=$("$program" --help 2>&1 || true)
summary=$(printf '%s\n' "$help" | head -1 | sed -e "s/^$name: //" -e 's/\..*$//')
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
ROFF
if (($# > 0)); then
  printf '.SH COMMANDS\n'
  for command in "$@"; do
    printf '.SS %s\n.nf\n' "$command"
    "$program" "$command" --help 2>&1 | escape || true
    printf '.fi\n'
  done
fi
cat <<ROFF
.SH FILES
.TP
/etc/qdvp/
configuration, root's and only read by the services: qdvp.env and TYPE.env (settings),
product.cfg (product specification), qdvp-dch.env (the agent peer's options),
metafiles/TYPE/ (each type's metafile directory)
.TP
/var/lib/qdvp/TYPE/
what the data provider of a type writes: its startup configuration qdvpinit.cfg, console key
qdvpcons.key, action log and saved read positions
.SH SEE ALSO
The documentation in /usr/share/doc/qdvp/, the example metafiles in /usr/share/qdvp/examples/.
ROFF
