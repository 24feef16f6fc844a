// Directory listing calls of the configuration library.
//
// zglqpopd is given the name of an environment variable (or the words QDVP_META_PATH, which
// also name a variable) whose value is the directory to list; zglqprdd hands out the entries
// one by one, without "." and "..", and returns nonzero at the end; zglqpcld closes the
// listing. A handle belongs to one thread at a time.
#pragma once

#include <stddef.h>

typedef struct ZGLQ_DIR ZGLQ_DIR;

// Opens the directory named by the variable; null when it is unset or cannot be read.
ZGLQ_DIR *zglqpopd(const char *variableName, int *rc);
// Copies the next entry's name (at most size-1 bytes) and returns 0, or nonzero at the end.
int zglqprdd(ZGLQ_DIR *handle, char *entry, size_t size);
int zglqpcld(ZGLQ_DIR *handle);
