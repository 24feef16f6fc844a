// The exported entry points of libqdvp.so, for host programs.
//
// A host loads the library, optionally calls QDVP_SetDPprogramStart, and then calls
// QDVP_StartDataProvider in a thread of its own; that thread belongs to the data provider until
// shutdown and ends inside the library. QDVP_ImmediateDPshutdown may be called from any other
// host thread (a signal handler's helper thread, for example) to ask for a shutdown.
#pragma once

#if defined(__GNUC__)
#define QDVP_EXPORT __attribute__((visibility("default")))
#else
#define QDVP_EXPORT
#endif

struct DPAB;

extern "C" {
// Runs a data provider of *pType (0 APIS .. 8 HTTP). Returns 0 at once for a type out of range
// or a failed startup initialization; otherwise the calling thread ends inside the library
// when the data provider has shut down.
QDVP_EXPORT int QDVP_StartDataProvider(int *pType);
QDVP_EXPORT void QDVP_SetDPprogramStart(void);
QDVP_EXPORT int QDVP_IsIndependentDPenvironment(void);
// Asks every task to end and sets the shutdown request; does not wait.
QDVP_EXPORT void QDVP_ImmediateDPshutdown(void);
// Validates a metafile, writing the validation messages to standard output. 0 when a
// validation ran, -1 when no name was given or initialization failed.
QDVP_EXPORT int QDVP_ValidateMetaFile(const char *name);
// Writes the deciphered text of a metafile beside it. 0 on success, -1 on failure.
QDVP_EXPORT int QDVP_UnpackMetafileToText(const char *metafileName);
// Checks the configuration a start of a data provider of type (0 APIS .. 8 HTTP) would read:
// the environment values, the product specification, the metafile directory, the startup
// configuration and every metafile it names, the ports the type binds, the directories it
// writes and whether the agent takes a connection. Prints one line per finding to standard
// output ("ok", "warning" or "error", then the finding) and a summary line; returns the number
// of errors (-1 for a type out of range). Writes no file.
QDVP_EXPORT int QDVP_CheckConfiguration(int type);
// Builds the registration message of a metafile's application; returns its length word or 0.
QDVP_EXPORT int QDVP_ConstructDPregisterBuffer(const char *metafileName, unsigned char **message);
QDVP_EXPORT extern DPAB *Main_DPAB;
}
