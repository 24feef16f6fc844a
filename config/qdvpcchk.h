// The configuration check behind `qdvp check`. It is not an entry point of libqdvp.so: the
// qdvp program links it (with what it calls) from the static library, so the library exports
// only its entry points.
#pragma once

// Checks the configuration a start of a data provider of type (0 APIS .. 8 HTTP) would read:
// the environment values, the product specification, the metafile directory, the startup
// configuration and every metafile it names, the ports the type binds, the directories it
// writes and whether the agent takes a connection. Prints one line per finding to standard
// output ("ok", "warning" or "error", then the finding) and a summary line; returns the number
// of errors (-1 for a type out of range). Writes no file.
int QDVP_CheckConfiguration(int type);
